// Memory for the buffer arena: page sizes, aligned allocation and locking.
#pragma once
#include <cstdint>

namespace qm::os {

uint32_t page_size();
// The allocation granule, 64 KiB by convention (also the thread stack size).
uint32_t allocation_granularity();
// The huge page size from /proc/meminfo, else 2 MiB. Linux offers no AWE, so
// large_pages is always set to false: the arena takes the aligned path.
uint64_t large_page_unit(bool* large_pages);

// Allocation of size bytes aligned to alignment (a power of two); null on failure.
void* aligned_allocate(uint64_t size, uint64_t alignment);
void aligned_free(void* block);

// Raises RLIMIT_MEMLOCK (soft, and hard where allowed) to at least size bytes;
// false when the soft limit stays below it.
bool raise_lock_limit(uint64_t size);
// mlock / munlock; 0 or the system error.
uint32_t lock_memory(void* base, uint64_t size);
uint32_t unlock_memory(void* base, uint64_t size);

// The memory this process may fill: the physical memory, lowered by the
// memory limit of its control group or of any group above it (cgroup v2
// memory.max, v1 memory.limit_in_bytes). Read once.
uint64_t usable_memory();
// The same, from a given membership file (/proc/self/cgroup) and cgroup
// mount (/sys/fs/cgroup), for a given physical size.
uint64_t usable_memory_under(const char* membership, const char* cgroup_root, uint64_t physical);

}  // namespace qm::os
