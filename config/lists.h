// The virtual directories, the extension list, and the lenient UTF-8 decoder.
//
// Both lists are rebuilt whole from a block of the configuration file and
// replaced only while no slot is inside the configuration gate; readers use
// them only inside it.
#pragma once
#include <cstdint>

namespace qm {

inline constexpr uint64_t root_capacity = 65536;  // UTF-16 units, terminator included

struct z_vdir_t {
  char16_t* dir;    // the first path segment that selects this entry
  char16_t* path;   // where its files are
  char16_t* user;   // optional third column; unused
  uint64_t path_length;
  uint8_t relative;  // appended to the root
};

struct z_vdir_table_t {
  z_vdir_t* entries = nullptr;  // sorted by dir
  uint64_t count = 0;
  uint64_t root_length = 0;  // 0 only before the first load
  char16_t* text = nullptr;  // copy of the block; the entries point into it
  char16_t root[root_capacity] = {};
};

struct z_ext_list_t {
  uint8_t block_listed = 0;  // 1: listed extensions are refused; 0: only they are served
  uint8_t no_ext_block = 0;  // 1: names without extension are refused
  char* text = nullptr;      // the block as lower-case UTF-8, split into words
  char** words = nullptr;    // sorted by byte value
  uint64_t count = 0;        // 0: every extension is served
};

extern z_vdir_table_t vdirs;
extern z_ext_list_t ext_list;

// Replaces every entry from a vdir block; 0 when one was kept, else -1.
int parse_vdir_block(z_vdir_table_t& table, const char16_t* block);
// Replaces the words and sets the mode; 0 when one was kept, else -1.
int parse_ext_block(z_ext_list_t& list, const char16_t* block, bool block_mode);
// The entry whose dir equals name[0..length) exactly, or null.
const z_vdir_t* find_vdir(const char16_t* name, uint64_t length);
bool ext_list_contains(const char* extension);
// Frees both lists (end of the process).
void free_lists();

// Lenient UTF-8 to UTF-16: every byte yields at most one unit. The units
// written without the terminator; 0 for a missing argument or when the
// output does not fit (it is then cut and terminated).
uint64_t utf8_to_utf16(char16_t* out, uint64_t capacity, const char* in);

}  // namespace qm
