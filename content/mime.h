// The MIME and extension tables and the type of a path.
//
// Both tables are fixed and read-only, and their shape is checked when the
// server is compiled (content/mime.cpp): the type rows stay grouped in the
// bands that choose listing icons, and the extension table stays in byte
// order of its texts so that a binary search finds every row. Code names a
// type row by its text (mime_of), never by its number, so a row added to a
// band moves no name and no icon.
#pragma once
#include <cstdint>
#include <iterator>
#include <string_view>

namespace qm {

// Type texts indexed by MIME index, then a null end entry. Row 0 is no real
// type: it marks a name that must not be served or listed. The other rows are
// grouped in bands, in this order: application, audio, font, image, message
// and text, video; within a band they are in byte order.
inline constexpr const char* mime_types[] = {
    "access/blocked",
    "application/book",
    "application/dash+xml",
    "application/epub+zip",
    "application/hta",
    "application/java-archive",
    "application/javascript",
    "application/json",
    "application/manifest+json",
    "application/msword",
    "application/octet-stream",
    "application/onenote",
    "application/pdf",
    "application/pkix-crl",
    "application/postscript",
    "application/rtf",
    "application/vnd.apple.mpegurl",
    "application/vnd.ms-cab-compressed",
    "application/vnd.ms-excel",
    "application/vnd.ms-office.calx",
    "application/vnd.ms-pki.seccat",
    "application/vnd.ms-powerpoint",
    "application/vnd.openxmlformats-officedocument.presentationml.presentation",
    "application/vnd.openxmlformats-officedocument.presentationml.slideshow",
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
    "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
    "application/vnd.rn-realmedia",
    "application/vnd.visio",
    "application/wasm",
    "application/winhlp",
    "application/x-7z-compressed",
    "application/x-bzip",
    "application/x-bzip2",
    "application/x-chat",
    "application/x-compress",
    "application/x-compressed",
    "application/x-csh",
    "application/x-gtar",
    "application/x-gzip",
    "application/x-ima",
    "application/x-indesign",
    "application/x-java-applet",
    "application/x-ms-application",
    "application/x-ms-manifest",
    "application/x-ms-shortcut",
    "application/x-msdownload",
    "application/x-mswrite",
    "application/x-navi-animation",
    "application/x-pem-file",
    "application/x-sh",
    "application/x-shockwave-flash",
    "application/x-subrip",
    "application/x-tar",
    "application/x-tcl",
    "application/x-tex",
    "application/x-texinfo",
    "application/x-x509-ca-cert",
    "application/x-zip-compressed",
    "audio/aac",
    "audio/aiff",
    "audio/basic",
    "audio/flac",
    "audio/mid",
    "audio/mp4",
    "audio/mpeg",
    "audio/ogg",
    "audio/vnd.rn-realaudio",
    "audio/wav",
    "audio/webm",
    "audio/x-aiff",
    "audio/x-m4r",
    "audio/x-matroska",
    "audio/x-mpegurl",
    "audio/x-ms-wma",
    "font/otf",
    "font/ttf",
    "font/woff",
    "font/woff2",
    "image/apng",
    "image/avif",
    "image/avifs",
    "image/bmp",
    "image/gif",
    "image/heic",
    "image/heic-sequence",
    "image/heif",
    "image/heif-sequence",
    "image/jpeg",
    "image/jxl",
    "image/png",
    "image/psd",
    "image/svg+xml",
    "image/tiff",
    "image/webp",
    "image/x-icon",
    "message/http",
    "message/rfc822",
    "text/asp",
    "text/css",
    "text/html",
    "text/javascript",
    "text/jscript",
    "text/json",
    "text/markdown",
    "text/pascal",
    "text/plain",
    "text/vbscript",
    "text/vtt",
    "text/x-fortran",
    "text/x-script.phyton",
    "text/x-speech",
    "text/x-url",
    "text/xml",
    "video/3gpp",
    "video/avi",
    "video/avs-video",
    "video/mp4",
    "video/mpeg",
    "video/ogg",
    "video/quicktime",
    "video/vnd.dlna.mpeg-tts",
    "video/vnd.rn-realvideo",
    "video/webm",
    "video/x-flv",
    "video/x-matroska",
    "video/x-ms-asf",
    "video/x-ms-wmv",
    "video/x-sgi-movie",
    nullptr,
};

inline constexpr uint32_t mime_type_count = static_cast<uint32_t>(std::size(mime_types) - 1);

// The MIME index of a type text. Evaluated while compiling: a text that is
// not a row of mime_types does not compile.
consteval uint32_t mime_of(std::string_view type) {
  for (uint32_t i = 0; i < mime_type_count; ++i) {
    if (type == mime_types[i]) return i;
  }
  throw "not a row of mime_types";
}

// MIME indices other components name. Blocked is 0 so that a path record
// that was never typed refuses its name.
inline constexpr uint32_t mime_blocked = mime_of("access/blocked");
inline constexpr uint32_t mime_javascript = mime_of("application/javascript");
inline constexpr uint32_t mime_octet_stream = mime_of("application/octet-stream");
inline constexpr uint32_t mime_png = mime_of("image/png");
inline constexpr uint32_t mime_webp = mime_of("image/webp");
inline constexpr uint32_t mime_icon = mime_of("image/x-icon");
inline constexpr uint32_t mime_css = mime_of("text/css");
inline constexpr uint32_t mime_html = mime_of("text/html");
inline constexpr uint32_t mime_plain = mime_of("text/plain");

// The bands of the type table, in table order; a listing's icon follows the
// band of the entry's type.
enum z_mime_band : uint32_t {
  band_blocked,
  band_application,
  band_audio,
  band_font,
  band_image,
  band_text,  // message and text types
  band_video,
  band_none,  // a text of no band: never a row
};

constexpr z_mime_band mime_band(std::string_view type) {
  if (type == "access/blocked") return band_blocked;
  if (type.starts_with("application/")) return band_application;
  if (type.starts_with("audio/")) return band_audio;
  if (type.starts_with("font/")) return band_font;
  if (type.starts_with("image/")) return band_image;
  if (type.starts_with("message/") || type.starts_with("text/")) return band_text;
  if (type.starts_with("video/")) return band_video;
  return band_none;
}

// The first row of a band; a band without rows does not compile.
consteval uint32_t mime_band_start(z_mime_band band) {
  for (uint32_t i = 0; i < mime_type_count; ++i) {
    if (mime_band(mime_types[i]) == band) return i;
  }
  throw "no row in this band";
}

inline constexpr uint32_t mime_first_application = mime_band_start(band_application);
inline constexpr uint32_t mime_first_audio = mime_band_start(band_audio);
inline constexpr uint32_t mime_first_font = mime_band_start(band_font);
inline constexpr uint32_t mime_first_image = mime_band_start(band_image);
inline constexpr uint32_t mime_first_text = mime_band_start(band_text);
inline constexpr uint32_t mime_first_video = mime_band_start(band_video);

enum : uint32_t {
  charset_none = 0,
  charset_utf8 = 1,
  charset_utf16 = 2,
  charset_utf16be = 3,
};
inline constexpr uint32_t charset_count = 4;

struct z_extension_t {
  const char* ext;  // lower case, without the dot
  uint32_t mime;    // row of mime_types
};

// One row per extension, in byte order of ext.
extern const z_extension_t extension_table[];
extern const uint32_t extension_count;

// Indexed by charset index: null for charset_none (no charset parameter),
// then "utf-8", "utf-16", "utf-16be" and a null end entry.
extern const char* const charsets[charset_count + 1];

// The MIME index of the path [start, end) (UTF-16, need not be terminated):
// text/html for a path ending in '/', else by the extension after the last
// '.' among the last 15 units, applying ext_list; application/octet-stream
// when nothing decides. The caller holds the configuration gate, as ext_list
// is read.
uint32_t lookup_mime_type(const char16_t* start, const char16_t* end);

}  // namespace qm
