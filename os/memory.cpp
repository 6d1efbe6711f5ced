// Memory for the buffer arena.
#include "os/memory.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// The number in a cgroup limit file; 0 for "max", absent or unreadable.
uint64_t read_limit(const char* path) {
  FILE* file = std::fopen(path, "re");
  if (file == nullptr) return 0;
  unsigned long long value = 0;
  if (std::fscanf(file, "%llu", &value) != 1) value = 0;
  std::fclose(file);
  return static_cast<uint64_t>(value);
}

// The lowest limit named by `leaf` (e.g. "memory.max") in group and every
// group above it, below mount; 0 when none is set.
uint64_t lowest_limit(const char* mount, const char* group, const char* leaf) {
  char path[1024];
  char rest[512];
  std::snprintf(rest, sizeof rest, "%s", group);
  uint64_t lowest = 0;
  for (;;) {
    size_t n = std::strlen(rest);
    while (n > 0 && rest[n - 1] == '/') rest[--n] = 0;
    if (std::snprintf(path, sizeof path, "%s%s/%s", mount, rest, leaf) < static_cast<int>(sizeof path)) {
      uint64_t limit = read_limit(path);
      if (limit != 0 && (lowest == 0 || limit < lowest)) lowest = limit;
    }
    char* slash = std::strrchr(rest, '/');
    if (slash == nullptr) break;
    *slash = 0;
  }
  return lowest;
}

// The group's path in one /proc/self/cgroup line, when the line is the
// unified hierarchy ("0::/path") or names the memory controller
// ("4:memory:/path"); sets v2 accordingly.
const char* memory_group_of(char* line, bool* v2) {
  char* first = std::strchr(line, ':');
  if (first == nullptr) return nullptr;
  char* second = std::strchr(first + 1, ':');
  if (second == nullptr) return nullptr;
  line[std::strcspn(line, "\n")] = 0;
  *second = 0;
  const char* controllers = first + 1;
  *v2 = *controllers == 0;
  bool memory = false;
  for (const char* c = controllers; *c != 0;) {
    size_t n = std::strcspn(c, ",");
    if (n == 6 && std::strncmp(c, "memory", 6) == 0) memory = true;
    c += n + (c[n] == ',' ? 1 : 0);
  }
  return *v2 || memory ? second + 1 : nullptr;
}

}  // namespace

uint64_t usable_memory_under(const char* membership, const char* cgroup_root, uint64_t physical) {
  uint64_t usable = physical;
  auto lower = [&usable](uint64_t limit) {
    if (limit != 0 && (usable == 0 || limit < usable)) usable = limit;
  };
  char mount[512];
  FILE* file = std::fopen(membership, "re");
  char line[1024];
  while (file != nullptr && std::fgets(line, sizeof line, file) != nullptr) {
    bool v2 = false;
    const char* group = memory_group_of(line, &v2);
    if (group == nullptr) continue;
    std::snprintf(mount, sizeof mount, v2 ? "%s" : "%s/memory", cgroup_root);
    lower(lowest_limit(mount, group, v2 ? "memory.max" : "memory.limit_in_bytes"));
    // Inside a container the path seen here can be the host's; the limit
    // at the mount's top is then the container's own.
    lower(lowest_limit(mount, "", v2 ? "memory.max" : "memory.limit_in_bytes"));
  }
  if (file != nullptr) std::fclose(file);
  return usable;
}

uint64_t usable_memory() {
  static const uint64_t memory = [] {
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    uint64_t physical = pages > 0 && page > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page) : 0;
    return usable_memory_under("/proc/self/cgroup", "/sys/fs/cgroup", physical);
  }();
  return memory;
}

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
