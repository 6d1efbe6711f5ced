// UTF-8 encoding of one code point, shared by every text conversion.
#pragma once
#include <cstdint>

namespace qm::os {

// Writes the UTF-8 form of code_point (at most 4 bytes) at out; the bytes
// written, or 0 (nothing written) when they do not fit in room.
uint32_t encode_utf8(uint32_t code_point, char* out, uint64_t room);

}  // namespace qm::os
