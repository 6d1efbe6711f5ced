#include "os/memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace qm::os {
namespace {

TEST(Memory, SizesAndAlignedAllocation) {
  uint32_t page = page_size();
  EXPECT_GE(page, 4096u);
  EXPECT_EQ(page & (page - 1), 0u);
  EXPECT_EQ(allocation_granularity(), 65536u);
  bool large = true;
  uint64_t unit = large_page_unit(&large);
  EXPECT_FALSE(large);
  EXPECT_GE(unit, page);
  EXPECT_EQ(unit & (unit - 1), 0u);

  void* block = aligned_allocate(3 * unit, unit);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % unit, 0u);
  static_cast<char*>(block)[3 * unit - 1] = 1;
  aligned_free(block);
  EXPECT_EQ(aligned_allocate(64, 3), nullptr);  // not a power of two
}

// A fake cgroup mount and membership file: the lowest limit on the way from
// the process's group to the top wins, "max" is no limit, and a membership
// without the memory controller leaves the physical size.
TEST(Memory, UsableMemoryFollowsTheLowestGroupLimit) {
  namespace fs = std::filesystem;
  char templ[] = "/tmp/qm_cgroup_XXXXXX";
  ASSERT_NE(mkdtemp(templ), nullptr);
  const fs::path root = templ;
  auto put = [](const fs::path& path, const char* text) {
    fs::create_directories(path.parent_path());
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(text, f);
    std::fclose(f);
  };
  const uint64_t gib = 1ull << 30;
  put(root / "v2/a/memory.max", "2147483648\n");
  put(root / "v2/a/b/memory.max", "max\n");
  put(root / "v2/memory.max", "max\n");
  put(root / "v1/memory/x/memory.limit_in_bytes", "536870912\n");
  put(root / "v1/memory/memory.limit_in_bytes", "9223372036854771712\n");
  struct Case {
    const char* membership;
    const char* mount;
    uint64_t physical;
    uint64_t usable;
  } cases[] = {
      {"0::/a/b\n", "v2", 24 * gib, 2 * gib},                  // the parent's limit
      {"0::/a/b\n", "v2", gib, gib},                           // physical is lower
      {"0::/elsewhere\n", "v2", 24 * gib, 24 * gib},           // no limit set
      {"4:memory:/x\n0::/\n", "v1", 24 * gib, gib / 2},       // v1 controller line
      {"4:cpu,memory:/x/\n", "v1", 24 * gib, gib / 2},         // listed with another
      {"3:cpuset:/x\n", "v1", 24 * gib, 24 * gib},             // not the memory line
      {"garbage\n", "v1", 24 * gib, 24 * gib},
  };
  for (const Case& c : cases) {
    put(root / "cgroup", c.membership);
    EXPECT_EQ(usable_memory_under((root / "cgroup").c_str(), (root / c.mount).c_str(), c.physical), c.usable)
        << c.membership;
  }
  EXPECT_EQ(usable_memory_under((root / "absent").c_str(), root.c_str(), 5 * gib), 5 * gib);
  EXPECT_GT(usable_memory(), 0u);
  fs::remove_all(root);
}

TEST(Memory, LockAndUnlockAPage) {
  uint32_t page = page_size();
  void* block = aligned_allocate(page, page);
  ASSERT_NE(block, nullptr);
  if (raise_lock_limit(page) && lock_memory(block, page) == 0) {
    EXPECT_EQ(unlock_memory(block, page), 0u);
  }
  aligned_free(block);
}

}  // namespace
}  // namespace qm::os
