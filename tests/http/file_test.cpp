#include "http/file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "os/error.h"

namespace qm {
namespace {

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

struct ZFile : ::testing::Test {
  std::string folder;
  void SetUp() override {
    char name[] = "/tmp/qm_zfile_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    folder = name;
  }
  void TearDown() override { std::system(("rm -rf '" + folder + "'").c_str()); }
  std::u16string make(const std::string& name, const std::string& bytes) const {
    std::string path = folder + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return u16(path);
  }
};

TEST_F(ZFile, OpenReadInfoSeekReadAndClose) {
  auto path = make("a.txt", "hello world");
  Z_FILE file;
  ASSERT_EQ(file.open(path.c_str(), os::generic_read, os::open_existing, 0), 0u);
  EXPECT_TRUE(file.opened);
  EXPECT_EQ(file.error, 0u);
  ASSERT_TRUE(file.read_info());
  EXPECT_EQ(file.size, 11u);
  EXPECT_NE(file.last_write, 0u);
  EXPECT_FALSE(file.is_directory);
  ASSERT_TRUE(file.seek(6));
  char buffer[8];
  EXPECT_EQ(os::file_read(file.handle, buffer, sizeof buffer), 5);
  EXPECT_EQ(std::string(buffer, 5), "world");
  file.close();
  EXPECT_FALSE(file.opened);
  EXPECT_EQ(file.handle.fd, -1);
  EXPECT_EQ(file.size, 0u) << "close resets the whole record";
  EXPECT_FALSE(file.read_info()) << "a closed record has no information";
  EXPECT_FALSE(file.seek(0));
  EXPECT_EQ(file.error, os::err_bad_descriptor);
}

TEST_F(ZFile, OpenOnAnOpenRecordReturnsMinusOneAndKeepsIt) {
  auto first = make("first", "1");
  auto second = make("second", "22");
  Z_FILE file;
  ASSERT_EQ(file.open(first.c_str(), os::generic_read, os::open_existing, 0), 0u);
  int fd = file.handle.fd;
  EXPECT_EQ(file.open(second.c_str(), os::generic_read, os::open_existing, 0), 0xFFFFFFFFu);
  EXPECT_EQ(file.handle.fd, fd);
  ASSERT_TRUE(file.read_info());
  EXPECT_EQ(file.size, 1u) << "the first file is still the open one";
}

TEST_F(ZFile, FolderOpensAndReportsDirectory) {
  open_flags = os::flag_backup_semantics;
  Z_FILE file;
  auto path = u16(folder);
  ASSERT_EQ(file.open(path.c_str(), os::generic_read, os::open_existing, 0), 0u);
  ASSERT_TRUE(file.read_info());
  EXPECT_TRUE(file.is_directory);
  open_flags = 0;
}

TEST_F(ZFile, FailuresAndExistenceNotes) {
  auto present = make("present", "abc");
  auto absent = u16(folder + "/absent");
  struct {
    const char* label;
    const std::u16string& path;
    uint32_t access, disposition;
    uint32_t result, error;
  } rows[] = {
      {"missing file", absent, os::generic_read, os::open_existing, os::err_not_found, os::err_not_found},
      {"open always on a present file", present, os::generic_read, os::open_always, 0, os::err_exists},
      {"create always on a present file", present, os::generic_write, os::create_always, 0, os::err_exists},
      {"create always on a new file", absent, os::generic_write, os::create_always, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    Z_FILE file;
    EXPECT_EQ(file.open(row.path.c_str(), row.access, row.disposition, 0), row.result);
    EXPECT_EQ(file.error, row.error);
    EXPECT_EQ(file.opened, row.result == 0);
  }
}

TEST_F(ZFile, CreateAlwaysIsRetriedOnceAsOpenExisting) {
  // A path under a regular file fails with "not a directory" (root bypasses
  // access checks, so a read-only file would not fail): the retry is made
  // and fails the same way; the record stays closed and can open again.
  auto blocker = make("plain", "x");
  auto below = u16(folder + "/plain/inner.txt");
  Z_FILE file;
  EXPECT_EQ(file.open(below.c_str(), os::generic_write, os::create_always, 0), os::err_not_directory);
  EXPECT_EQ(file.error, os::err_not_directory);
  EXPECT_FALSE(file.opened);
  EXPECT_EQ(file.open(below.c_str(), os::generic_all, os::create_always, 0), os::err_not_directory);
  EXPECT_EQ(file.open(blocker.c_str(), os::generic_read, os::open_existing, 0), 0u);
  EXPECT_TRUE(file.opened);
}

TEST_F(ZFile, ConsoleNamesAreOrdinaryFiles) {
  file_quiet_open = true;
  file_no_console_names = true;
  for (const char* name : {"-", "con", "CON"}) {
    SCOPED_TRACE(name);
    auto path = make(name, "data");
    Z_FILE file;
    ASSERT_EQ(file.open(path.c_str(), os::generic_read, os::open_existing, 0), 0u);
    ASSERT_TRUE(file.read_info());
    EXPECT_EQ(file.size, 4u);
  }
}

}  // namespace
}  // namespace qm
