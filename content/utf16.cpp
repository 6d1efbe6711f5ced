// Bounded UTF-16 to UTF-8 conversion.
#include <cstdint>

#include "content/header.h"
#include "os/text.h"

namespace qm {

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
    uint32_t written = os::encode_utf8(cp, cursor, static_cast<uint64_t>(limit - cursor));
    if (written == 0) {
      *cursor = 0;
      return 0;
    }
    cursor += written;
  }
  *cursor = 0;
  return static_cast<uint64_t>(cursor - out);
}

}  // namespace qm
