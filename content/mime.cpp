// The MIME and extension tables and the type of a path.
#include "content/mime.h"

#include <cstring>

#include "config/lists.h"
#include "content/header.h"

namespace qm {

constexpr z_extension_t extension_table[] = {
    {"001", mime_of("application/x-7z-compressed")},
    {"3gp", mime_of("video/3gpp")},
    {"7z", mime_of("application/x-7z-compressed")},
    {"aac", mime_of("audio/aac")},
    {"ai", mime_of("application/postscript")},
    {"aif", mime_of("audio/x-aiff")},
    {"aifc", mime_of("audio/aiff")},
    {"aiff", mime_of("audio/aiff")},
    {"ani", mime_of("application/x-navi-animation")},
    {"apng", mime_of("image/apng")},
    {"application", mime_of("application/x-ms-application")},
    {"asf", mime_of("video/x-ms-asf")},
    {"asm", mime_of("text/plain")},
    {"asp", mime_of("text/asp")},
    {"asr", mime_of("video/x-ms-asf")},
    {"asx", mime_of("video/x-ms-asf")},
    {"au", mime_of("audio/basic")},
    {"avi", mime_of("video/avi")},
    {"avif", mime_of("image/avif")},
    {"avifs", mime_of("image/avifs")},
    {"avs", mime_of("video/avs-video")},
    {"bat", mime_of("text/plain")},
    {"bin", mime_of("application/octet-stream")},
    {"bmp", mime_of("image/bmp")},
    {"book", mime_of("application/book")},
    {"bz", mime_of("application/x-bzip")},
    {"bz2", mime_of("application/x-bzip2")},
    {"c", mime_of("text/plain")},
    {"c++", mime_of("text/plain")},
    {"cab", mime_of("application/vnd.ms-cab-compressed")},
    {"calx", mime_of("application/vnd.ms-office.calx")},
    {"cat", mime_of("application/vnd.ms-pki.seccat")},
    {"cc", mime_of("text/plain")},
    {"cer", mime_of("application/x-x509-ca-cert")},
    {"chat", mime_of("application/x-chat")},
    {"chm", mime_of("application/octet-stream")},
    {"class", mime_of("application/x-java-applet")},
    {"cmd", mime_of("text/plain")},
    {"com", mime_of("application/octet-stream")},
    {"conf", mime_of("text/xml")},
    {"config", mime_of("text/xml")},
    {"cpp", mime_of("text/plain")},
    {"crl", mime_of("application/pkix-crl")},
    {"crt", mime_of("application/x-x509-ca-cert")},
    {"csh", mime_of("application/x-csh")},
    {"css", mime_of("text/css")},
    {"csv", mime_of("application/octet-stream")},
    {"cur", mime_of("application/octet-stream")},
    {"def", mime_of("text/plain")},
    {"deploy", mime_of("application/octet-stream")},
    {"der", mime_of("application/x-x509-ca-cert")},
    {"dib", mime_of("image/bmp")},
    {"dll", mime_of("application/x-msdownload")},
    {"doc", mime_of("application/msword")},
    {"docx", mime_of("application/vnd.openxmlformats-officedocument.wordprocessingml.document")},
    {"dot", mime_of("application/msword")},
    {"dsp", mime_of("application/octet-stream")},
    {"dtd", mime_of("text/xml")},
    {"dump", mime_of("application/octet-stream")},
    {"eml", mime_of("message/rfc822")},
    {"eps", mime_of("application/postscript")},
    {"epub", mime_of("application/epub+zip")},
    {"exe", mime_of("application/octet-stream")},
    {"f", mime_of("text/x-fortran")},
    {"f77", mime_of("text/x-fortran")},
    {"f90", mime_of("text/x-fortran")},
    {"fla", mime_of("application/octet-stream")},
    {"flac", mime_of("audio/flac")},
    {"flv", mime_of("video/x-flv")},
    {"gif", mime_of("image/gif")},
    {"gtar", mime_of("application/x-gtar")},
    {"gz", mime_of("application/x-gzip")},
    {"h", mime_of("text/plain")},
    {"heic", mime_of("image/heic")},
    {"heics", mime_of("image/heic-sequence")},
    {"heif", mime_of("image/heif")},
    {"heifs", mime_of("image/heif-sequence")},
    {"hh", mime_of("text/plain")},
    {"hlp", mime_of("application/winhlp")},
    {"hta", mime_of("application/hta")},
    {"htm", mime_of("text/html")},
    {"html", mime_of("text/html")},
    {"ico", mime_of("image/x-icon")},
    {"ima", mime_of("application/x-ima")},
    {"img", mime_of("application/octet-stream")},
    {"indd", mime_of("application/x-indesign")},
    {"inf", mime_of("text/plain")},
    {"ini", mime_of("text/plain")},
    {"iso", mime_of("application/octet-stream")},
    {"jar", mime_of("application/java-archive")},
    {"java", mime_of("application/octet-stream")},
    {"jpe", mime_of("image/jpeg")},
    {"jpeg", mime_of("image/jpeg")},
    {"jpg", mime_of("image/jpeg")},
    {"js", mime_of("application/javascript")},
    {"json", mime_of("application/json")},
    {"jsx", mime_of("text/jscript")},
    {"jxl", mime_of("image/jxl")},
    {"lnk", mime_of("application/x-ms-shortcut")},
    {"log", mime_of("text/plain")},
    {"m", mime_of("text/plain")},
    {"m1v", mime_of("video/mpeg")},
    {"m2ts", mime_of("video/vnd.dlna.mpeg-tts")},
    {"m3u", mime_of("audio/x-mpegurl")},
    {"m3u8", mime_of("application/vnd.apple.mpegurl")},
    {"m4a", mime_of("audio/mp4")},
    {"m4r", mime_of("audio/x-m4r")},
    {"m4v", mime_of("video/mp4")},
    {"manifest", mime_of("text/xml")},
    {"map", mime_of("text/plain")},
    {"md", mime_of("text/markdown")},
    {"mht", mime_of("message/rfc822")},
    {"mhtml", mime_of("message/rfc822")},
    {"mid", mime_of("audio/mid")},
    {"midi", mime_of("audio/mid")},
    {"mjs", mime_of("text/javascript")},
    {"mka", mime_of("audio/x-matroska")},
    {"mkv", mime_of("video/x-matroska")},
    {"mov", mime_of("video/quicktime")},
    {"movie", mime_of("video/x-sgi-movie")},
    {"mp2", mime_of("video/mpeg")},
    {"mp3", mime_of("audio/mpeg")},
    {"mp4", mime_of("video/mp4")},
    {"mp4v", mime_of("video/mp4")},
    {"mpa", mime_of("audio/mpeg")},
    {"mpd", mime_of("application/dash+xml")},
    {"mpe", mime_of("video/mpeg")},
    {"mpeg", mime_of("video/mpeg")},
    {"mpg", mime_of("video/mpeg")},
    {"mpv2", mime_of("video/mpeg")},
    {"msi", mime_of("application/octet-stream")},
    {"nsc", mime_of("video/x-ms-asf")},
    {"nws", mime_of("message/rfc822")},
    {"o", mime_of("application/octet-stream")},
    {"oga", mime_of("audio/ogg")},
    {"ogg", mime_of("audio/ogg")},
    {"ogm", mime_of("video/ogg")},
    {"ogv", mime_of("video/ogg")},
    {"one", mime_of("application/onenote")},
    {"opus", mime_of("audio/ogg")},
    {"otf", mime_of("font/otf")},
    {"p", mime_of("text/pascal")},
    {"pas", mime_of("text/pascal")},
    {"pdf", mime_of("application/pdf")},
    {"pem", mime_of("application/x-pem-file")},
    {"png", mime_of("image/png")},
    {"pnz", mime_of("image/png")},
    {"pps", mime_of("application/vnd.ms-powerpoint")},
    {"ppsx", mime_of("application/vnd.openxmlformats-officedocument.presentationml.slideshow")},
    {"ppt", mime_of("application/vnd.ms-powerpoint")},
    {"pptx", mime_of("application/vnd.openxmlformats-officedocument.presentationml.presentation")},
    {"ps", mime_of("application/postscript")},
    {"psd", mime_of("image/psd")},
    {"py", mime_of("text/x-script.phyton")},
    {"ra", mime_of("audio/vnd.rn-realaudio")},
    {"ram,", mime_of("audio/vnd.rn-realaudio")},
    {"rar", mime_of("application/octet-stream")},
    {"raw", mime_of("application/octet-stream")},
    {"rc", mime_of("text/plain")},
    {"rm", mime_of("application/vnd.rn-realmedia")},
    {"rmi", mime_of("audio/mid")},
    {"rtf", mime_of("application/rtf")},
    {"rv", mime_of("video/vnd.rn-realvideo")},
    {"sh", mime_of("application/x-sh")},
    {"snd", mime_of("audio/basic")},
    {"spx", mime_of("audio/ogg")},
    {"srt", mime_of("application/x-subrip")},
    {"svg", mime_of("image/svg+xml")},
    {"svgz", mime_of("image/svg+xml")},
    {"swf", mime_of("application/x-shockwave-flash")},
    {"talk", mime_of("text/x-speech")},
    {"tar", mime_of("application/x-tar")},
    {"tcl", mime_of("application/x-tcl")},
    {"tex", mime_of("application/x-tex")},
    {"tgz", mime_of("application/x-compressed")},
    {"tiff", mime_of("image/tiff")},
    {"ts", mime_of("video/vnd.dlna.mpeg-tts")},
    {"ttf", mime_of("font/ttf")},
    {"txt", mime_of("text/plain")},
    {"url", mime_of("text/x-url")},
    {"vbs", mime_of("text/vbscript")},
    {"vml", mime_of("text/xml")},
    {"vsd", mime_of("application/vnd.visio")},
    {"vsx", mime_of("application/vnd.visio")},
    {"vtt", mime_of("text/vtt")},
    {"wasm", mime_of("application/wasm")},
    {"wav", mime_of("audio/wav")},
    {"weba", mime_of("audio/webm")},
    {"webm", mime_of("video/webm")},
    {"webmanifest", mime_of("application/manifest+json")},
    {"webp", mime_of("image/webp")},
    {"wma", mime_of("audio/x-ms-wma")},
    {"wmv", mime_of("video/x-ms-wmv")},
    {"woff", mime_of("font/woff")},
    {"woff2", mime_of("font/woff2")},
    {"wri", mime_of("application/x-mswrite")},
    {"xls", mime_of("application/vnd.ms-excel")},
    {"xml", mime_of("text/xml")},
    {"z", mime_of("application/x-compress")},
    {"zip", mime_of("application/x-zip-compressed")},
};

constexpr uint32_t extension_count = static_cast<uint32_t>(std::size(extension_table));

const char* const charsets[charset_count + 1] = {nullptr, "utf-8", "utf-16", "utf-16be", nullptr};

namespace {

// Only the last 15 units are searched for the dot, so an extension has at
// most 14 units; with its terminator it fits in 15.
constexpr uint64_t dot_window = 15;
// UTF-8 room for the extension: one that needs 16 bytes or more is none.
constexpr uint64_t ext_room = 16;

// ------------------------------------------------- checks of the tables ---
// The listing's icons go by band thresholds and the lookup by binary search:
// a row out of place would give wrong icons or make extensions unfindable
// without any test naming them, so the shapes are checked here, at compile
// time.

// Row 0 is the blocked marker; after it every row belongs to a band, bands
// follow in their order and rows within a band are in strict byte order,
// which also keeps every text unique.
constexpr bool type_rows_in_band_order() {
  if (mime_band(mime_types[0]) != band_blocked || mime_types[mime_type_count] != nullptr) return false;
  for (uint32_t i = 1; i < mime_type_count; ++i) {
    if (mime_types[i] == nullptr) return false;
    z_mime_band band = mime_band(mime_types[i]);
    z_mime_band before = mime_band(mime_types[i - 1]);
    if (band == band_blocked || band == band_none || band < before) return false;
    if (band == before && std::string_view(mime_types[i - 1]) >= std::string_view(mime_types[i])) return false;
  }
  return true;
}

// Strict byte order (as strcmp compares), so a binary search finds each row
// and no extension is listed twice.
constexpr bool extensions_in_byte_order() {
  for (uint32_t i = 1; i < extension_count; ++i) {
    if (std::string_view(extension_table[i - 1].ext) >= std::string_view(extension_table[i].ext)) return false;
  }
  return true;
}

// Every row can be chosen: the lookup lowers A to Z and takes at most 14
// units after the last dot, so a row with a capital, a dot or more bytes
// would never match; and it names a real type.
constexpr bool extensions_can_match() {
  for (const z_extension_t& row : extension_table) {
    std::string_view ext(row.ext);
    if (ext.empty() || ext.size() > dot_window - 1) return false;
    for (char c : ext) {
      if (c == '.' || (c >= 'A' && c <= 'Z')) return false;
    }
    if (row.mime == mime_blocked || row.mime >= mime_type_count) return false;
  }
  return true;
}

static_assert(type_rows_in_band_order(), "mime_types: a row out of its band or out of byte order");
static_assert(extensions_in_byte_order(), "extension_table: rows out of byte order");
static_assert(extensions_can_match(), "extension_table: a row that no name can match");
static_assert(mime_blocked == 0, "a path record that was never typed must read as blocked");

const char16_t* find_last_dot(const char16_t* start, const char16_t* end) {
  const char16_t* window = end - start > static_cast<int64_t>(dot_window) ? end - dot_window : start;
  for (const char16_t* p = end; p > window;) {
    if (*--p == u'.') return p;
  }
  return nullptr;
}

void lower_ascii(char* text) {
  for (char* p = text; *p != 0; ++p) {
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
  }
}

// The row's MIME index, or application/octet-stream when the table has no
// such extension.
uint32_t search_extension_table(const char* ext) {
  uint32_t low = 0;
  uint32_t high = extension_count;
  while (low < high) {
    uint32_t mid = low + (high - low) / 2;
    int order = std::strcmp(ext, extension_table[mid].ext);
    if (order == 0) return extension_table[mid].mime;
    if (order < 0) {
      high = mid;
    } else {
      low = mid + 1;
    }
  }
  return mime_octet_stream;
}

// Whether the configured list refuses ext.
bool refused_by_list(const char* ext) {
  if (ext_list.count == 0) return false;
  bool listed = ext_list_contains(ext);
  return ext_list.block_listed != 0 ? listed : !listed;
}

}  // namespace

uint32_t lookup_mime_type(const char16_t* start, const char16_t* end) {
  if (start == nullptr || end == nullptr || end < start) return mime_octet_stream;
  if (end > start && end[-1] == u'/') return mime_html;
  const char16_t* dot = find_last_dot(start, end);
  if (dot == nullptr) return ext_list.no_ext_block != 0 ? mime_blocked : mime_octet_stream;
  // The range need not be terminated: the extension is copied out first.
  char16_t wide[dot_window];
  uint64_t units = static_cast<uint64_t>(end - dot - 1);
  std::memcpy(wide, dot + 1, units * sizeof(char16_t));
  wide[units] = 0;
  char ext[ext_room];
  if (utf16_to_utf8(ext, sizeof ext, wide) == 0) return mime_octet_stream;
  lower_ascii(ext);
  if (refused_by_list(ext)) return mime_blocked;
  return search_extension_table(ext);
}

}  // namespace qm
