// UTF-8 encoding of one code point.
#include "os/text.h"

namespace qm::os {

uint32_t encode_utf8(uint32_t cp, char* out, uint64_t room) {
  uint32_t need = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  if (room < need) return 0;
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
  return need;
}

}  // namespace qm::os
