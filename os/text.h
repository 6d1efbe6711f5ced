// UTF-8 encoding and decoding of one code point, shared by every text conversion.
#pragma once
#include <cstdint>

namespace qm::os {

// Writes the UTF-8 form of code_point (at most 4 bytes) at out; the bytes
// written, or 0 (nothing written) when they do not fit in room.
uint32_t encode_utf8(uint32_t code_point, char* out, uint64_t room);

// Reads one code point of NUL-terminated UTF-8 text at p (which must not be
// at the NUL) and moves p past it. A byte that does not begin a valid,
// shortest-form sequence of a scalar value gives U+FFFD and is passed alone,
// so every byte string has exactly one reading and a NUL is never crossed.
uint32_t decode_utf8(const char*& p);

}  // namespace qm::os
