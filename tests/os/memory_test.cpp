#include "os/memory.h"

#include <gtest/gtest.h>

#include <cstdint>

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
