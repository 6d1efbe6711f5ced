// The virtual directories, the extension list and the lenient UTF-8 decoder.
//
// Both lists are rebuilt whole from a configuration block and never edited
// while readers may use them: the configuration reader replaces them only
// after every worker slot has left the configuration gate, and readers look
// at them only from inside it.
#pragma once
#include <cstdint>

namespace qm {

// One line of the vdir block. The texts point into z_vdir_table_t::text.
struct z_vdir_t {
  const char16_t* dir;   // the first path segment that selects this entry
  const char16_t* path;  // where its files are
  const char16_t* user;  // optional third column, may be empty; nothing reads it
  uint64_t path_length;  // units in path
  bool relative;         // path is appended to the root
};

inline constexpr uint64_t root_capacity = 65536;

struct z_vdir_table_t {
  z_vdir_t* entries;     // sorted by dir (UTF-16 unit order)
  uint64_t count;        // 0: no virtual directories
  uint64_t root_length;  // 0 only before the first load
  char16_t* text;        // heap copy of the vdir block
  char16_t root[root_capacity];  // document root, NUL-terminated
};

struct z_ext_list_t {
  uint8_t block_listed;  // 1: listed extensions are refused; 0: only they are served
  uint8_t no_ext_block;  // 1: names without an extension are refused
  char* text;            // the block as lower-cased UTF-8, split into words in place
  char** words;          // into text, sorted by byte value; count + 1 slots, null-ended
  uint64_t count;        // 0: every extension is served
};

extern z_vdir_table_t vdirs;
extern z_ext_list_t ext_list;

// Replaces every entry of table from a NUL-terminated block; the root is not
// touched. 0 when at least one entry was kept, else -1 with the table empty.
int parse_vdir_block(z_vdir_table_t& table, const char16_t* block);

// Replaces the words of list from a NUL-terminated block and sets its mode.
// 0 when at least one word was kept, else -1 with the list empty.
int parse_ext_block(z_ext_list_t& list, const char16_t* block, bool block_listed);

// The entry of vdirs whose dir is exactly the length units at name, or null.
const z_vdir_t* find_vdir(const char16_t* name, uint64_t length);

// Whether ext_list holds the NUL-terminated word ext (exact bytes).
bool ext_list_contains(const char* ext);

// Free the entries or words and their text; the record is then empty (the
// root and the two mode bytes are kept).
void release_vdirs(z_vdir_table_t& table);
void release_ext_list(z_ext_list_t& list);
// Both process-wide lists, at exit.
void release_lists();

// Lenient UTF-8 to UTF-16: malformed bytes are skipped or decoded as far as
// they go, overlong forms are accepted, and every input byte yields at most
// one unit, so capacity = bytes + 1 always suffices. Returns the units written
// without the terminator; 0 when an argument is null or 0, or when the text
// does not fit (the output is then cut, terminated, at capacity - 1 units).
uint64_t utf8_to_utf16(char16_t* out, uint64_t capacity, const char* text);

}  // namespace qm
