// Bounded UTF-16 to UTF-8 conversion.
#include <cstdint>

#include "content/header.h"

namespace qm {

namespace {

// Bytes the code point needs, and writes them when they fit before limit.
bool put_code_point(char*& out, const char* limit, uint32_t cp) {
  uint64_t need = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  if (static_cast<uint64_t>(limit - out) < need) return false;
  auto* p = reinterpret_cast<unsigned char*>(out);
  switch (need) {
    case 1: p[0] = static_cast<unsigned char>(cp); break;
    case 2:
      p[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
      p[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      break;
    case 3:
      p[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
      p[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      p[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      break;
    default:
      p[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
      p[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
      p[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      p[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
  }
  out += need;
  return true;
}

}  // namespace

uint64_t utf16_to_utf8(char* out, uint64_t room, const char16_t* text) {
  if (room == 0 || out == nullptr || text == nullptr) return 0;
  char* cursor = out;
  const char* limit = out + room - 1;  // the NUL always has its byte
  for (const char16_t* p = text; *p != 0; ++p) {
    uint32_t unit = *p;
    uint32_t cp = unit;
    if (unit >= 0xDC00 && unit <= 0xDFFF) continue;  // a lone low surrogate is dropped
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      uint32_t next = p[1];
      if (next == 0) break;  // a high surrogate before the end ends the text
      if (next >= 0xDC00 && next <= 0xDFFF) {
        cp = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
        ++p;
      } else {
        cp = (unit & 0x3FF) + 0x10000;  // its own bits; the next unit stands alone
      }
    }
    if (!put_code_point(cursor, limit, cp)) {
      *cursor = 0;
      return 0;
    }
  }
  *cursor = 0;
  return static_cast<uint64_t>(cursor - out);
}

}  // namespace qm
