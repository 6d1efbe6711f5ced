// UTF-8 encoding and decoding of one code point.
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

uint32_t decode_utf8(const char*& p) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(p);
  const unsigned char lead = bytes[0];
  const int extra = lead < 0x80 ? 0
                    : (lead & 0xE0) == 0xC0 ? 1
                    : (lead & 0xF0) == 0xE0 ? 2
                    : (lead & 0xF8) == 0xF0 ? 3
                                            : -1;
  uint32_t cp = 0xFFFD;
  int used = 1;
  if (extra >= 0) {
    uint32_t value = extra == 0 ? lead : lead & (0x3Fu >> extra);
    int i = 1;
    // A NUL is no continuation byte, so the loop stops at the text's end.
    for (; i <= extra && (bytes[i] & 0xC0) == 0x80; ++i) value = (value << 6) | (bytes[i] & 0x3Fu);
    static const uint32_t least[4] = {0, 0x80, 0x800, 0x10000};
    if (i > extra && value >= least[extra] && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF)) {
      cp = value;
      used = extra + 1;
    }
  }
  p += used;
  return cp;
}

}  // namespace qm::os
