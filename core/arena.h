// The buffer arena: one block for every slot buffer, allocated once.
#pragma once
#include <cstdint>

namespace qm {

struct Z_ARENA {
  bool awe = false;      // the arena is large-page physical memory (never on Linux)
  bool locked = false;   // the aligned allocation is locked into memory
  uint64_t pages_requested = 0;
  uint64_t pages_granted = 0;
  uint64_t pfn_array_size = 0;
  void* pfn_array = nullptr;
  void* process_handle = nullptr;
  void* token_handle = nullptr;
  bool report = false;  // write sizes and addresses to the error stream
  uint32_t unit_count = 0;
  uint32_t unit = 0;  // bytes per unit: large-page minimum, or 2 MiB
  uint32_t page_size = 0;
  uint32_t allocation_granularity = 0;
  uint64_t total = 0;  // unit * unit_count
  uint8_t* base = nullptr;
};

// The arena unit; *large_pages tells whether the system offers large pages
// the arena could use as physical memory (never on Linux).
uint32_t query_unit(bool* large_pages);
// 0 when base is set, -1 otherwise.
int allocate_arena(Z_ARENA& arena, uint32_t units);
// -1 when there was nothing to release, else 0. Safe to call twice.
int release_arena(Z_ARENA& arena);

}  // namespace qm
