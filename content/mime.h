// MIME types, file extensions and charsets, and the type of a path.
#pragma once
#include <cstdint>

namespace qm {

inline constexpr uint32_t mime_type_count = 115;
inline constexpr uint32_t extension_count = 186;

// MIME indices other components rely on, and the bands that choose icons.
enum : uint32_t {
  mime_blocked = 0,  // "access/blocked": must not be served or listed
  mime_javascript = 5,
  mime_octet_stream = 8,
  mime_png = 80,
  mime_webp = 84,
  mime_icon = 85,
  mime_css = 89,
  mime_html = 90,
  mime_plain = 94,
};

struct z_extension_t {
  const char* extension;  // lower case, without the dot
  uint32_t mime;
};

// 115 type texts and an empty end entry.
extern const char* const mime_types[mime_type_count + 1];
// Sorted in byte order of the extension.
extern const z_extension_t extension_table[extension_count];
// 0 no charset, 1 "utf-8", 2 "utf-16", 3 "utf-16be", then an empty end entry.
extern const char* const charsets[5];

// The MIME index of a UTF-16 path [start, end), with the configured
// extension rules applied (0 when the name must not be served). The caller
// holds the configuration gate.
uint32_t lookup_mime_type(const char16_t* start, const char16_t* end);

}  // namespace qm
