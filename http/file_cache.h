// The files a slot served lately, kept open between requests.
//
// A keep-alive client asks for the same few files again and again; opening,
// inspecting and closing each one costs three system calls of the ten a
// small request needs. A slot keeps its last few files open, and before it
// serves one again it asks the file system for what the path names now
// (stat): only when that is the same file in the same state (device, inode,
// size, last write, last status change, mode, owner) is the kept descriptor
// used. A replaced, truncated, rewritten or re-permitted file is opened
// afresh, and a file that is gone is gone; as the kept descriptor reads the
// same inode, the bytes served are always the file's current ones.
//
// The cache belongs to one slot and is used by its receive thread only.
#pragma once
#include <cstdint>

#include "http/file.h"
#include "os/file.h"

namespace qm {

inline constexpr uint32_t cached_files = 4;
inline constexpr uint32_t cached_path_units = 256;  // longer paths are not kept
// Larger files are not kept: their open costs nothing against their
// transfer, and a kept descriptor would hold a deleted file's space.
inline constexpr uint64_t cached_file_limit = 8388608;

struct z_cached_file_t {
  char16_t path[cached_path_units] = {};
  os::file_descriptor handle;  // fd -1 when the entry is free
  os::file_identity identity;
  uint64_t used = 0;  // for choosing the one to give up
};

struct Z_FILE_CACHE {
  z_cached_file_t entries[cached_files];
  uint64_t clock = 0;
};

// Opens path for reading into file, with its size, time and kind read: from
// a kept descriptor when the path still names the same file in the same
// state, else by opening it (and keeping it, when it is a regular file). 0
// or the error of the open; file borrows a kept descriptor (its close leaves
// it open).
uint32_t open_through_cache(Z_FILE_CACHE& cache, Z_FILE& file, const char16_t* path, uint32_t flags);
// Closes every kept descriptor (slot destruction).
void clear_file_cache(Z_FILE_CACHE& cache);

}  // namespace qm
