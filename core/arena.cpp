// The buffer arena: one aligned block for every slot buffer, locked into
// memory where the system allows it and zero-filled so that every page is
// present before the first request.
//
// Linux has no physical-page allocation for user programs, so the arena always
// takes the aligned path: an allocation of whole units aligned to the unit,
// locked with mlock after RLIMIT_MEMLOCK has been raised to its size.
#include "core/arena.h"

#include <cstring>

#include "os/error.h"
#include "os/memory.h"
#include "os/output.h"

namespace qm {

uint32_t query_unit(bool* large_pages) {
  bool large = false;
  uint64_t unit = os::large_page_unit(&large);
  if (large_pages != nullptr) *large_pages = large;
  // Only a large-page system would ask for its own minimum; everything else
  // uses 2 MiB units.
  if (!large || unit == 0 || unit > 0x80000000u) unit = 2097152;
  return static_cast<uint32_t>(unit);
}

namespace {

void report_page_size(const Z_ARENA& arena) {
  if (arena.report) os::err(":: page size %3d MB  ", static_cast<int>(arena.unit >> 20));
}

void allocate_locked(Z_ARENA& arena) {
  os::raise_lock_limit(arena.total);
  arena.base = static_cast<uint8_t*>(os::aligned_allocate(arena.total, arena.unit));
  arena.locked = arena.base != nullptr && os::lock_memory(arena.base, arena.total) == 0;
  if (arena.report) {
    os::err(":: align %4u MB RAM at: 0x%016llx %s\n", static_cast<unsigned>(arena.total >> 20),
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(arena.base)),
            arena.locked ? "[LOCKED]" : "");
  }
  // Touch every page now, so that no request waits for the kernel to fault one in.
  if (arena.locked) std::memset(arena.base, 0, arena.total);
}

}  // namespace

int allocate_arena(Z_ARENA& arena, uint32_t units) {
  arena.unit_count = units;
  arena.unit = query_unit(&arena.awe);
  arena.awe = false;  // no physical-page allocation on this platform
  arena.total = static_cast<uint64_t>(arena.unit) * units;
  report_page_size(arena);
  allocate_locked(arena);
  if (arena.base == nullptr) {
    os::print_error(os::last_error() != 0 ? os::last_error() : os::err_no_memory,
                    "!! _aligned_malloc() failed to allocate RAM!");
    return -1;
  }
  return 0;
}

int release_arena(Z_ARENA& arena) {
  if (arena.base == nullptr) return -1;
  arena.total = static_cast<uint64_t>(arena.unit) * arena.unit_count;
  // No request or response bytes stay in memory after shutdown.
  if (arena.locked) {
    std::memset(arena.base, 0, arena.total);
    os::unlock_memory(arena.base, arena.total);
    arena.locked = false;
  }
  os::aligned_free(arena.base);
  arena.base = nullptr;
  return 0;
}

}  // namespace qm
