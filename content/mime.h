// The MIME and extension tables and the type of a path.
//
// Both tables are fixed and read-only; the extension table is kept in byte
// order of its texts so that a binary search finds every row.
#pragma once
#include <cstdint>

namespace qm {

inline constexpr uint32_t mime_type_count = 115;
inline constexpr uint32_t extension_count = 186;
inline constexpr uint32_t charset_count = 4;

// MIME indices other components name. 0 is no real type: it marks a name that
// must not be served or listed.
enum : uint32_t {
  mime_blocked = 0,
  mime_javascript = 5,
  mime_octet_stream = 8,
  mime_png = 80,
  mime_webp = 84,
  mime_icon = 85,
  mime_css = 89,
  mime_html = 90,
  mime_plain = 94,
};

// The bands that choose listing icons.
enum : uint32_t {
  mime_first_application = 1,
  mime_first_audio = 53,
  mime_first_font = 66,
  mime_first_image = 70,
  mime_first_text = 86,
  mime_first_video = 101,
};

enum : uint32_t {
  charset_none = 0,
  charset_utf8 = 1,
  charset_utf16 = 2,
  charset_utf16be = 3,
};

// 115 type texts indexed by MIME index, then a null end entry.
extern const char* const mime_types[mime_type_count + 1];

struct z_extension_t {
  const char* ext;  // lower case, without the dot
  uint32_t mime;    // row of mime_types
};

// 186 rows in byte order of ext.
extern const z_extension_t extension_table[extension_count];

// Indexed by charset index: null for charset_none (no charset parameter),
// then "utf-8", "utf-16", "utf-16be" and a null end entry.
extern const char* const charsets[charset_count + 1];

// The MIME index of the path [start, end) (UTF-16, need not be terminated):
// 90 for a path ending in '/', else by the extension after the last '.' among
// the last 15 units, applying ext_list; 8 when nothing decides. The caller
// holds the configuration gate, as ext_list is read.
uint32_t lookup_mime_type(const char16_t* start, const char16_t* end);

}  // namespace qm
