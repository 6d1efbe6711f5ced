#include "http/file_cache.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "os/error.h"

namespace qm {
namespace {

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

struct FileCache : ::testing::Test {
  std::string root;
  Z_FILE_CACHE cache;
  void SetUp() override {
    char name[] = "/tmp/qm_cache_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    root = name;
  }
  void TearDown() override {
    clear_file_cache(cache);
    std::system(("rm -rf '" + root + "'").c_str());
  }
  std::string at(const std::string& name) const { return root + "/" + name; }
  void write(const std::string& name, const std::string& bytes) const {
    FILE* f = std::fopen(at(name).c_str(), "wb");
    ASSERT_NE(f, nullptr) << name;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  // Opens through the cache and reads the whole file: (result, bytes, borrowed).
  std::string serve(const std::string& name, uint32_t* result = nullptr) {
    Z_FILE file;
    std::u16string path = u16(at(name));
    uint32_t r = open_through_cache(cache, file, path.c_str(), 0);
    if (result != nullptr) *result = r;
    if (r != 0) return "<" + std::to_string(r) + ">";
    std::string bytes(file.size, '\0');
    int64_t got = os::file_read(file.handle, bytes.data(), bytes.size());
    EXPECT_EQ(got, static_cast<int64_t>(file.size)) << name;
    return bytes;
  }
  int kept() const {
    int n = 0;
    for (const z_cached_file_t& e : cache.entries) n += e.handle.fd >= 0;
    return n;
  }
};

// Whatever happens to a kept file, the next answer is the file as it is now.
TEST_F(FileCache, EveryChangeIsSeenAtOnce) {
  write("a.txt", "first");
  EXPECT_EQ(serve("a.txt"), "first");
  EXPECT_EQ(serve("a.txt"), "first") << "served again from the kept descriptor";
  EXPECT_EQ(kept(), 1);

  write("a.txt", "secnd");  // rewritten in place, same size
  EXPECT_EQ(serve("a.txt"), "secnd");
  write("a.txt", "xy");  // truncated
  EXPECT_EQ(serve("a.txt"), "xy");
  write("new.txt", "replacement");
  ASSERT_EQ(::rename(at("new.txt").c_str(), at("a.txt").c_str()), 0);  // replaced
  EXPECT_EQ(serve("a.txt"), "replacement");
  ASSERT_EQ(::chmod(at("a.txt").c_str(), 0640), 0);  // rights changed: opened afresh
  EXPECT_EQ(serve("a.txt"), "replacement");
  ASSERT_EQ(::unlink(at("a.txt").c_str()), 0);  // gone
  uint32_t result = 0;
  serve("a.txt", &result);
  EXPECT_EQ(result, os::err_not_found);
  EXPECT_EQ(kept(), 0) << "a file that is gone is not kept";
}

TEST_F(FileCache, KeepsTheLatestFewRegularFilesOnly) {
  for (int i = 0; i < 6; ++i) write("f" + std::to_string(i), std::string(i + 1, 'x'));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(serve("f" + std::to_string(i)), std::string(i + 1, 'x'));
  EXPECT_EQ(kept(), static_cast<int>(cached_files)) << "the oldest ones were given up";
  EXPECT_EQ(serve("f0"), "x") << "a given-up file is opened again";

  ASSERT_EQ(::mkdir(at("folder").c_str(), 0755), 0);
  Z_FILE folder;
  std::u16string path = u16(at("folder"));
  EXPECT_EQ(open_through_cache(cache, folder, path.c_str(), os::flag_backup_semantics), 0u);
  EXPECT_TRUE(folder.is_directory);
  EXPECT_FALSE(folder.borrowed) << "folders are not kept";

  std::string long_name;
  for (int i = 0; i < 12; ++i) {
    long_name += std::string(24, 'd') + std::to_string(i);
    ASSERT_EQ(::mkdir(at(long_name).c_str(), 0755), 0);
    long_name += "/";
  }
  long_name += "file.txt";
  write(long_name, "long");
  clear_file_cache(cache);
  EXPECT_EQ(serve(long_name), "long");
  EXPECT_EQ(kept(), 0) << "a path too long to keep is opened each time";

  int fd = ::open(at("big.bin").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(cached_file_limit + 1)), 0);
  ::close(fd);
  Z_FILE big;
  std::u16string big_path = u16(at("big.bin"));
  ASSERT_EQ(open_through_cache(cache, big, big_path.c_str(), 0), 0u);
  EXPECT_FALSE(big.borrowed) << "a large file is not kept";
  EXPECT_EQ(kept(), 0);
}

TEST_F(FileCache, ABorrowedDescriptorOutlivesItsFile) {
  write("b.txt", "bytes");
  Z_FILE file;
  std::u16string path = u16(at("b.txt"));
  ASSERT_EQ(open_through_cache(cache, file, path.c_str(), 0), 0u);
  EXPECT_TRUE(file.borrowed);
  int fd = file.handle.fd;
  file.close();
  EXPECT_EQ(::fcntl(fd, F_GETFD), FD_CLOEXEC) << "closing a borrowed file leaves the kept descriptor open";
  clear_file_cache(cache);
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "clearing the cache closes it";
}

}  // namespace
}  // namespace qm
