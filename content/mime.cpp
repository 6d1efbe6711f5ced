// The MIME and extension tables and the type of a path.
#include "content/mime.h"

#include <cstring>

#include "config/lists.h"
#include "content/header.h"

namespace qm {

const char* const mime_types[mime_type_count + 1] = {
    "access/blocked",  // 0
    "application/book",  // 1
    "application/epub+zip",  // 2
    "application/hta",  // 3
    "application/java-archive",  // 4
    "application/javascript",  // 5
    "application/json",  // 6
    "application/msword",  // 7
    "application/octet-stream",  // 8
    "application/onenote",  // 9
    "application/pdf",  // 10
    "application/pkix-crl",  // 11
    "application/postscript",  // 12
    "application/rtf",  // 13
    "application/vnd.ms-cab-compressed",  // 14
    "application/vnd.ms-excel",  // 15
    "application/vnd.ms-office.calx",  // 16
    "application/vnd.ms-pki.seccat",  // 17
    "application/vnd.ms-powerpoint",  // 18
    "application/vnd.openxmlformats-officedocument.presentationml.slideshow",  // 19
    "application/vnd.openxmlformats-officedocument.presentationml.presentation",  // 20
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",  // 21
    "application/vnd.openxmlformats-officedocument.wordprocessingml.document",  // 22
    "application/vnd.rn-realmedia",  // 23
    "application/vnd.visio",  // 24
    "application/winhlp",  // 25
    "application/x-7z-compressed",  // 26
    "application/x-bzip",  // 27
    "application/x-bzip2",  // 28
    "application/x-chat",  // 29
    "application/x-compress",  // 30
    "application/x-compressed",  // 31
    "application/x-csh",  // 32
    "application/x-gtar",  // 33
    "application/x-gzip",  // 34
    "application/x-ima",  // 35
    "application/x-indesign",  // 36
    "application/x-java-applet",  // 37
    "application/x-ms-application",  // 38
    "application/x-ms-manifest",  // 39
    "application/x-ms-shortcut",  // 40
    "application/x-msdownload",  // 41
    "application/x-mswrite",  // 42
    "application/x-navi-animation",  // 43
    "application/x-pem-file",  // 44
    "application/x-sh",  // 45
    "application/x-shockwave-flash",  // 46
    "application/x-tar",  // 47
    "application/x-tcl",  // 48
    "application/x-tex",  // 49
    "application/x-texinfo",  // 50
    "application/x-x509-ca-cert",  // 51
    "application/x-zip-compressed",  // 52
    "audio/aac",  // 53
    "audio/aiff",  // 54
    "audio/basic",  // 55
    "audio/mid",  // 56
    "audio/mp4",  // 57
    "audio/mpeg",  // 58
    "audio/ogg",  // 59
    "audio/vnd.rn-realaudio",  // 60
    "audio/wav",  // 61
    "audio/x-aiff",  // 62
    "audio/x-m4r",  // 63
    "audio/x-mpegurl",  // 64
    "audio/x-ms-wma",  // 65
    "font/otf",  // 66
    "font/ttf",  // 67
    "font/woff",  // 68
    "font/woff2",  // 69
    "image/apng",  // 70
    "image/avif",  // 71
    "image/avifs",  // 72
    "image/bmp",  // 73
    "image/gif",  // 74
    "image/heic",  // 75
    "image/heic-sequence",  // 76
    "image/heif",  // 77
    "image/heif-sequence",  // 78
    "image/jpeg",  // 79
    "image/png",  // 80
    "image/psd",  // 81
    "image/svg+xml",  // 82
    "image/tiff",  // 83
    "image/webp",  // 84
    "image/x-icon",  // 85
    "message/http",  // 86
    "message/rfc822",  // 87
    "text/asp",  // 88
    "text/css",  // 89
    "text/html",  // 90
    "text/jscript",  // 91
    "text/json",  // 92
    "text/pascal",  // 93
    "text/plain",  // 94
    "text/vbscript",  // 95
    "text/x-fortran",  // 96
    "text/x-script.phyton",  // 97
    "text/x-speech",  // 98
    "text/x-url",  // 99
    "text/xml",  // 100
    "video/avi",  // 101
    "video/avs-video",  // 102
    "video/mp4",  // 103
    "video/mpeg",  // 104
    "video/ogg",  // 105
    "video/quicktime",  // 106
    "video/vnd.dlna.mpeg-tts",  // 107
    "video/vnd.rn-realvideo",  // 108
    "video/webm",  // 109
    "video/x-flv",  // 110
    "video/x-matroska",  // 111
    "video/x-ms-asf",  // 112
    "video/x-ms-wmv",  // 113
    "video/x-sgi-movie",  // 114
    nullptr,
};

const z_extension_t extension_table[extension_count] = {
    {"001", 26},
    {"7z", 26},
    {"aac", 53},
    {"ai", 12},
    {"aif", 62},
    {"aifc", 54},
    {"aiff", 54},
    {"ani", 43},
    {"apng", 70},
    {"application", 38},
    {"asf", 112},
    {"asm", 94},
    {"asp", 88},
    {"asr", 112},
    {"asx", 112},
    {"au", 55},
    {"avi", 101},
    {"avif", 71},
    {"avifs", 72},
    {"avs", 102},
    {"bat", 94},
    {"bin", 8},
    {"bmp", 73},
    {"book", 1},
    {"bz", 27},
    {"bz2", 28},
    {"c", 94},
    {"c++", 94},
    {"cab", 14},
    {"calx", 16},
    {"cat", 17},
    {"cc", 94},
    {"cer", 51},
    {"chat", 29},
    {"chm", 8},
    {"class", 37},
    {"cmd", 94},
    {"com", 8},
    {"conf", 100},
    {"config", 100},
    {"cpp", 94},
    {"crl", 11},
    {"crt", 51},
    {"csh", 32},
    {"css", 89},
    {"csv", 8},
    {"cur", 8},
    {"def", 94},
    {"deploy", 8},
    {"der", 51},
    {"dib", 73},
    {"dll", 41},
    {"doc", 7},
    {"docx", 22},
    {"dot", 7},
    {"dsp", 8},
    {"dtd", 100},
    {"dump", 8},
    {"eml", 87},
    {"eps", 12},
    {"epub", 2},
    {"exe", 8},
    {"f", 96},
    {"f77", 96},
    {"f90", 96},
    {"fla", 8},
    {"flv", 110},
    {"gif", 74},
    {"gtar", 33},
    {"gz", 34},
    {"h", 94},
    {"heic", 75},
    {"heics", 76},
    {"heif", 77},
    {"heifs", 78},
    {"hh", 94},
    {"hlp", 25},
    {"hta", 3},
    {"htm", 90},
    {"html", 90},
    {"ico", 85},
    {"ima", 35},
    {"img", 8},
    {"indd", 36},
    {"inf", 94},
    {"ini", 94},
    {"iso", 8},
    {"jar", 4},
    {"java", 8},
    {"jpe", 79},
    {"jpeg", 79},
    {"jpg", 79},
    {"js", 5},
    {"json", 6},
    {"jsx", 91},
    {"lnk", 40},
    {"log", 94},
    {"m", 94},
    {"m1v", 104},
    {"m2ts", 107},
    {"m3u", 64},
    {"m4a", 57},
    {"m4r", 63},
    {"m4v", 103},
    {"manifest", 100},
    {"map", 94},
    {"mht", 87},
    {"mhtml", 87},
    {"mid", 56},
    {"midi", 56},
    {"mkv", 111},
    {"mov", 106},
    {"movie", 114},
    {"mp2", 104},
    {"mp3", 58},
    {"mp4", 103},
    {"mp4v", 103},
    {"mpa", 58},
    {"mpe", 104},
    {"mpeg", 104},
    {"mpg", 104},
    {"mpv2", 104},
    {"msi", 8},
    {"nsc", 112},
    {"nws", 87},
    {"o", 8},
    {"oga", 59},
    {"ogg", 59},
    {"ogm", 105},
    {"ogv", 105},
    {"one", 9},
    {"otf", 66},
    {"p", 93},
    {"pas", 93},
    {"pdf", 10},
    {"pem", 44},
    {"png", 80},
    {"pnz", 80},
    {"pps", 18},
    {"ppsx", 19},
    {"ppt", 18},
    {"pptx", 20},
    {"ps", 12},
    {"psd", 81},
    {"py", 97},
    {"ra", 60},
    {"ram,", 60},
    {"rar", 8},
    {"raw", 8},
    {"rc", 94},
    {"rm", 23},
    {"rmi", 56},
    {"rtf", 13},
    {"rv", 108},
    {"sh", 45},
    {"snd", 55},
    {"spx", 59},
    {"svg", 82},
    {"svgz", 82},
    {"swf", 46},
    {"talk", 98},
    {"tar", 47},
    {"tcl", 48},
    {"tex", 49},
    {"tgz", 31},
    {"tiff", 83},
    {"ts", 107},
    {"ttf", 67},
    {"txt", 94},
    {"url", 99},
    {"vbs", 95},
    {"vml", 100},
    {"vsd", 24},
    {"vsx", 24},
    {"wav", 61},
    {"webm", 109},
    {"webp", 84},
    {"wma", 65},
    {"wmv", 113},
    {"woff", 68},
    {"woff2", 69},
    {"wri", 42},
    {"xls", 15},
    {"xml", 100},
    {"z", 30},
    {"zip", 52},
};

const char* const charsets[charset_count + 1] = {nullptr, "utf-8", "utf-16", "utf-16be", nullptr};

namespace {

// Only the last 15 units are searched for the dot, so an extension has at
// most 14 units; with its terminator it fits in 15.
constexpr uint64_t dot_window = 15;
// UTF-8 room for the extension: one that needs 16 bytes or more is none.
constexpr uint64_t ext_room = 16;

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

// The row's MIME index, or 8 when the table has no such extension.
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
