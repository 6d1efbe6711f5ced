// Every step of the uncached read path gives the same bytes: each row starts
// the descriptor at one step, so the steps the kernel here would not choose
// by itself are read through as well.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "os/error.h"
#include "os/file.h"
#include "os/memory.h"

namespace qm::os {
namespace {

TEST(UncachedRead, EveryStepReadsTheWholeFile) {
  // Beside the build, not in /tmp: a tmpfs would refuse the first steps.
  std::string path = std::string(QM_BINARY_DIR) + "/uncached_read_fixture.bin";
  const uint64_t size = (8u << 20) + 1;
  const uint64_t chunk = 256u << 10;
  std::vector<unsigned char> expected(size);
  for (uint64_t i = 0; i < size; ++i) expected[i] = static_cast<unsigned char>((i >> 8) ^ (i * 31));
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(expected.data(), 1, size, f), size);
  std::fclose(f);
  std::u16string name(path.begin(), path.end());
  auto* buffer = static_cast<unsigned char*>(aligned_allocate(chunk, page_size()));
  ASSERT_NE(buffer, nullptr);
  struct row {
    const char* label;
    uint8_t start_mode;
  } rows[] = {{"RWF_DONTCACHE first", 0}, {"O_DIRECT first", 1}, {"buffered and dropped", 2}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    file_descriptor file;
    ASSERT_EQ(file_open(file, name.c_str(), generic_read, open_existing, flag_no_buffering, nullptr), 0u);
    file.uncached_mode = r.start_mode;
    std::vector<unsigned char> got;
    got.reserve(size);
    for (;;) {
      int64_t n = file_read(file, buffer, chunk);
      ASSERT_GE(n, 0) << "error " << last_error() << " at " << got.size();
      if (n == 0) break;
      got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_GE(file.uncached_mode, r.start_mode) << "the path only steps down";
    EXPECT_EQ(got.size(), size);
    EXPECT_TRUE(got == expected);
    // A seek back into the middle, then a read across the end.
    ASSERT_EQ(file_seek(file, size - 1 - (chunk - 1)), 0u);
    EXPECT_EQ(file_read(file, buffer, chunk), static_cast<int64_t>(chunk));
    EXPECT_EQ(buffer[chunk - 1], expected[size - 1]);
    file_close(file);
  }
  aligned_free(buffer);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace qm::os
