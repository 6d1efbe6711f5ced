// Memory for the buffer arena.
#include "os/memory.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "os/error.h"

namespace qm::os {

namespace {

constexpr uint64_t default_large_page = 2 * 1024 * 1024;

// "Hugepagesize:    2048 kB" in /proc/meminfo, in bytes; 0 when absent.
uint64_t meminfo_huge_page_size() {
  FILE* meminfo = std::fopen("/proc/meminfo", "re");
  if (meminfo == nullptr) return 0;
  char line[128];
  unsigned long long kib = 0;
  while (std::fgets(line, sizeof line, meminfo) != nullptr) {
    if (std::sscanf(line, "Hugepagesize: %llu kB", &kib) == 1) break;
    kib = 0;
  }
  std::fclose(meminfo);
  return static_cast<uint64_t>(kib) * 1024;
}

}  // namespace

uint32_t page_size() {
  long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<uint32_t>(size) : 4096;
}

uint32_t allocation_granularity() { return 65536; }

uint64_t large_page_unit(bool* large_pages) {
  if (large_pages != nullptr) *large_pages = false;  // no AWE on Linux
  uint64_t size = meminfo_huge_page_size();
  return size != 0 ? size : default_large_page;
}

void* aligned_allocate(uint64_t size, uint64_t alignment) {
  if (size == 0 || alignment == 0 || (alignment & (alignment - 1)) != 0) {
    set_last_error(EINVAL);
    return nullptr;
  }
  if (alignment < sizeof(void*)) alignment = sizeof(void*);
  void* block = nullptr;
  int result = posix_memalign(&block, alignment, size);
  if (result != 0) {
    set_last_error(static_cast<uint32_t>(result));
    return nullptr;
  }
  return block;
}

void aligned_free(void* block) { std::free(block); }

bool raise_lock_limit(uint64_t size) {
  rlimit limit{};
  if (getrlimit(RLIMIT_MEMLOCK, &limit) != 0) {
    set_last_error(static_cast<uint32_t>(errno));
    return false;
  }
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= size) return true;
  rlimit wanted = limit;
  wanted.rlim_cur = size;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < size) wanted.rlim_max = size;
  if (setrlimit(RLIMIT_MEMLOCK, &wanted) == 0) return true;
  // Raising the hard limit needs a privilege; go as far as the hard limit allows.
  set_last_error(static_cast<uint32_t>(errno));
  wanted = limit;
  wanted.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_MEMLOCK, &wanted);
  return false;
}

uint32_t lock_memory(void* base, uint64_t size) {
  if (mlock(base, size) == 0) return 0;
  set_last_error(static_cast<uint32_t>(errno));
  return static_cast<uint32_t>(errno);
}

uint32_t unlock_memory(void* base, uint64_t size) {
  if (munlock(base, size) == 0) return 0;
  set_last_error(static_cast<uint32_t>(errno));
  return static_cast<uint32_t>(errno);
}

}  // namespace qm::os
