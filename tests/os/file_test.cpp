#include "os/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "os/error.h"
#include "os/memory.h"
#include "os/name_order.h"
#include "os/text.h"
#include "os/time.h"

namespace qm::os {
namespace {

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string ascii(const char16_t* text) {
  std::string out;
  for (; *text != 0; ++text) out.push_back(static_cast<char>(*text));
  return out;
}

// A fresh temporary folder for each test, removed at its end.
struct temp_folder : ::testing::Test {
  std::string path;
  void SetUp() override {
    char name[] = "/tmp/qm_file_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    path = name;
  }
  void TearDown() override { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string at(const std::string& name) const { return path + "/" + name; }
  void write(const std::string& name, const std::string& bytes) const {
    FILE* f = std::fopen(at(name).c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
};

using File = temp_folder;

TEST_F(File, OpenInfoSeekReadWithBackslashes) {
  write("data.bin", "0123456789");
  file_descriptor file;
  std::u16string windows_path = u16(path + "\\data.bin");
  ASSERT_EQ(file_open(file, windows_path.c_str(), generic_read, open_existing, 0, nullptr), 0u);
  uint64_t size = 0, when = 0;
  bool folder = true;
  ASSERT_EQ(file_info(file, &size, &when, &folder), 0u);
  EXPECT_EQ(size, 10u);
  EXPECT_FALSE(folder);
  EXPECT_GT(when, filetime_unix_epoch);
  EXPECT_LE(when, utc_now_filetime() + 10000000);
  char buffer[16] = {};
  ASSERT_EQ(file_seek(file, 7), 0u);
  EXPECT_EQ(file_read(file, buffer, sizeof buffer), 3);
  EXPECT_EQ(std::string(buffer, 3), "789");
  EXPECT_EQ(file_read(file, buffer, sizeof buffer), 0) << "the end of the file";
  ASSERT_EQ(file_seek(file, 2), 0u);
  EXPECT_EQ(file_read(file, buffer, 4), 4);
  EXPECT_EQ(std::string(buffer, 4), "2345");
  file_close(file);
  EXPECT_EQ(file.fd, -1);
  EXPECT_NE(file_info(file, &size, &when, &folder), 0u);
}

TEST_F(File, DispositionsReportWhatWasThere) {
  struct {
    const char* label;
    uint32_t disposition;
    bool file_there;
    uint32_t expected;
    bool existed;
    uint64_t size_after;
  } cases[] = {
      {"open existing, missing", open_existing, false, err_not_found, false, 0},
      {"open existing, present", open_existing, true, 0, false, 5},
      {"create new, missing", create_new, false, 0, false, 0},
      {"create new, present", create_new, true, err_exists, false, 5},
      {"create always, missing", create_always, false, 0, false, 0},
      {"create always, present empties it", create_always, true, 0, true, 0},
      {"open always, missing", open_always, false, 0, false, 0},
      {"open always, present keeps it", open_always, true, 0, true, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::remove(at("f").c_str());
    if (c.file_there) write("f", "hello");
    file_descriptor file;
    bool existed = !c.existed;
    std::u16string name = u16(at("f"));
    EXPECT_EQ(file_open(file, name.c_str(), generic_read | generic_write, c.disposition, 0, &existed), c.expected);
    if (c.expected != 0) continue;
    EXPECT_EQ(existed, c.existed);
    uint64_t size = 99;
    EXPECT_EQ(file_info(file, &size, nullptr, nullptr), 0u);
    EXPECT_EQ(size, c.size_after);
    file_close(file);
  }
}

TEST_F(File, WriteThenReadBackAndDelete) {
  file_descriptor file;
  std::u16string name = u16(at("w.txt"));
  ASSERT_EQ(file_open(file, name.c_str(), generic_write, create_always, 0, nullptr), 0u);
  EXPECT_EQ(file_write(file, "abc", 3), 3);
  EXPECT_EQ(file_write(file, "def", 3), 3) << "writes continue at the position";
  file_close(file);
  ASSERT_EQ(file_open(file, name.c_str(), generic_read, open_existing, flag_sequential_scan, nullptr), 0u);
  char buffer[8];
  EXPECT_EQ(file_read(file, buffer, sizeof buffer), 6);
  EXPECT_EQ(std::string(buffer, 6), "abcdef");
  file_close(file);
  EXPECT_EQ(file_delete(name.c_str()), 0u);
  EXPECT_EQ(file_delete(name.c_str()), err_not_found);
}

TEST_F(File, FolderOpensForReadingAndReportsDirectory) {
  file_descriptor file;
  std::u16string name = u16(path);
  ASSERT_EQ(file_open(file, name.c_str(), generic_read, open_existing, flag_backup_semantics, nullptr), 0u);
  bool folder = false;
  EXPECT_EQ(file_info(file, nullptr, nullptr, &folder), 0u);
  EXPECT_TRUE(folder);
  file_close(file);
}

// Bytes that tell their own offset, so a misplaced chunk shows where it came from.
std::vector<unsigned char> offset_bytes(uint64_t size) {
  std::vector<unsigned char> bytes(size);
  for (uint64_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
  return bytes;
}

TEST_F(File, UncachedReadsGiveTheSameBytes) {
  const uint64_t size = (8u << 20) + 1;
  const uint64_t chunk = 256u << 10;
  auto expected = offset_bytes(size);
  {
    FILE* f = std::fopen(at("big").c_str(), "wb");
    std::fwrite(expected.data(), 1, expected.size(), f);
    std::fclose(f);
  }
  std::u16string name = u16(at("big"));
  auto* buffer = static_cast<unsigned char*>(aligned_allocate(chunk, page_size()));
  ASSERT_NE(buffer, nullptr);
  // Each row starts at a different rung of the uncached ladder.
  struct {
    const char* label;
    uint8_t mode;
  } rows[] = {{"dontcache first", 0}, {"direct", 1}, {"buffered then dropped", 2}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    file_descriptor file;
    ASSERT_EQ(file_open(file, name.c_str(), generic_read, open_existing, flag_no_buffering | flag_sequential_scan,
                        nullptr),
              0u);
    file.uncached_mode = row.mode;
    std::vector<unsigned char> got;
    for (;;) {
      int64_t n = file_read(file, buffer, chunk);
      ASSERT_GE(n, 0) << "error " << last_error() << " at " << got.size() << ", mode " << int(file.uncached_mode);
      if (n == 0) break;
      got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_EQ(got.size(), size);
    EXPECT_TRUE(got == expected);
    EXPECT_GE(file.uncached_mode, row.mode) << "the ladder only steps down";
    EXPECT_EQ(file.position, size);
    file_close(file);
  }
  aligned_free(buffer);
}

TEST_F(File, DirectoryEnumerationIncludesDotsFirstAndAttributes) {
  write("a.txt", "12345");
  std::system(("mkdir '" + at("sub") + "'").c_str());
  // Enough names that the file system's own order would mix the dots in.
  std::set<std::string> expected{".", "..", "a.txt", "sub"};
  for (int i = 0; i < 24; ++i) {
    std::string name = "n" + std::to_string(i);
    write(name, "x");
    expected.insert(name);
  }
  for (const char* pattern : {"/*", "\\*"}) {
    SCOPED_TRACE(pattern);
    dir_handle handle;
    dir_entry entry;
    std::u16string full = u16(path + pattern);
    ASSERT_EQ(dir_open(handle, full.c_str(), &entry), 0u);
    std::set<std::string> names;
    std::vector<std::string> order;
    uint32_t result = 0;
    do {
      std::string name = ascii(entry.name);
      EXPECT_TRUE(names.insert(name).second) << name << " came back twice";
      order.push_back(name);
      if (name == "a.txt") {
        EXPECT_FALSE(entry.is_directory);
        EXPECT_EQ(entry.size, 5u);
        EXPECT_GT(entry.last_write, filetime_unix_epoch);
      }
      if (name == "sub" || name == "." || name == "..") {
        EXPECT_TRUE(entry.is_directory) << name;
      }
    } while ((result = dir_next(handle, &entry)) == 0);
    EXPECT_EQ(result, err_no_more_files);
    dir_close(handle);
    EXPECT_EQ(names, expected);
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order[0], ".");
    EXPECT_EQ(order[1], "..");
  }
  dir_handle missing;
  dir_entry entry;
  std::u16string absent = u16(at("absent/*"));
  EXPECT_EQ(dir_open(missing, absent.c_str(), &entry), err_not_found);
  EXPECT_FALSE(missing.open);
}

// ---- Enumeration in name order ----

// The UTF-16 units a system name comes back as.
std::u16string units_of(const std::string& name) {
  std::u16string out;
  for (const char* p = name.c_str(); *p != 0;) {
    uint32_t cp = decode_utf8(p);
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      cp = 0xDC00 + ((cp - 0x10000) & 0x3FF);
    }
    out.push_back(static_cast<char16_t>(cp));
  }
  return out;
}

struct listed {
  std::u16string name;
  bool is_directory;
  bool restarts_order;
};

std::vector<listed> enumerate(const std::string& folder, const dir_options& options, uint32_t* result) {
  std::vector<listed> out;
  dir_handle handle;
  dir_entry entry;
  std::u16string pattern = u16(folder + "/*");
  uint32_t e = dir_open(handle, pattern.c_str(), &entry, options);
  for (; e == 0; e = dir_next(handle, &entry)) out.push_back({entry.name, entry.is_directory, entry.restarts_order});
  *result = e;
  dir_close(handle);
  return out;
}

bool before(const std::u16string& a, const std::u16string& b) { return compare_names(a.c_str(), b.c_str()) < 0; }

// A few hundred names in mixed case and scripts, some of them folders, two
// that are not UTF-8 and read alike, a link to a folder and a dangling link.
struct SortedEnumeration : temp_folder {
  std::vector<std::u16string> folders{u".", u".."}, files;

  void SetUp() override {
    temp_folder::SetUp();
    const char* stems[] = {"\xC3\x84pfel", "\xC3\xA4pfel", "Apfel", "apfel", "APFEL", "Zebra", "zebra",
                           "\xC3\xA9" "coute", "Ecoute", "\xCE\x91\xCE\x9B\xCE\xA6\xCE\x91",
                           "\xCE\xB1\xCE\xBB\xCF\x86\xCE\xB1", "\xCF\x89\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1",
                           "\xD0\x81\xD0\xBB\xD0\xBA\xD0\xB0", "\xD1\x91\xD0\xBB\xD0\xBA\xD0\xB0",
                           "\xD1\x8F\xD0\xB1\xD0\xBB\xD0\xBE\xD0\xBA\xD0\xBE", "\xE6\x97\xA5\xE6\x9C\xAC",
                           "\xF0\x9F\x98\x80 smile", "file9", "file10", "_notes", ".hidden", "a b",
                           "\xC3\x9F", "SS"};
    int n = 0;
    std::string a_folder;
    for (const char* stem : stems) {
      for (int k = 0; k < 13; ++k, ++n) {
        std::string name = std::string(stem) + (k % 2 ? "-" : "_") + std::to_string(k * 7 % 13);
        if (n % 7 == 3) {
          ASSERT_EQ(::mkdir(at(name).c_str(), 0755), 0) << name;
          a_folder = name;
          folders.push_back(units_of(name));
        } else {
          write(name, "x");
          files.push_back(units_of(name));
        }
      }
    }
    for (const char* name : {"bad\xFE", "bad\xFF"}) {
      write(name, "x");
      files.push_back(units_of(name));
    }
    ASSERT_EQ(::symlink(at(a_folder).c_str(), at("link to folder").c_str()), 0);
    folders.push_back(u"link to folder");
    ASSERT_EQ(::symlink(at("nowhere").c_str(), at("dangling link").c_str()), 0);
    files.push_back(u"dangling link");
  }
};

TEST_F(SortedEnumeration, EveryNameOnceInOrderWhateverTheBuffer) {
  ASSERT_GT(files.size() + folders.size(), 300u);
  std::vector<char> buffer(dir_names_limit + 100);
  struct {
    const char* label;
    uint32_t size;
    dir_kinds kinds;
  } rows[] = {
      {"one read holds the folder", dir_names_limit + 100, dir_kinds::all},
      {"a small buffer: several reads", 2048, dir_kinds::all},
      {"the smallest buffer", dir_names_minimum, dir_kinds::all},
      {"folders only", dir_names_minimum, dir_kinds::folders},
      {"files only", dir_names_minimum, dir_kinds::files},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    dir_options options;
    options.kinds = row.kinds;
    options.names = buffer.data();
    options.names_size = row.size;
    uint32_t result = 0;
    std::vector<listed> got = enumerate(path, options, &result);
    EXPECT_EQ(result, err_no_more_files);
    std::vector<std::u16string> want;
    if (row.kinds != dir_kinds::files) want.insert(want.end(), folders.begin(), folders.end());
    if (row.kinds != dir_kinds::folders) want.insert(want.end(), files.begin(), files.end());
    size_t dots = row.kinds == dir_kinds::files ? 0 : 2;
    std::sort(want.begin() + dots, want.end(), before);
    std::vector<std::u16string> names;
    for (const listed& entry : got) {
      names.push_back(entry.name);
      EXPECT_FALSE(entry.restarts_order);
      if (row.kinds != dir_kinds::all) {
        EXPECT_EQ(entry.is_directory, row.kinds == dir_kinds::folders);
      }
    }
    // Sorted, complete, nothing twice ("bad\xFE" and "bad\xFF" read alike and both come).
    EXPECT_TRUE(names == want) << got.size() << " names, " << want.size() << " expected";
  }
}

TEST_F(SortedEnumeration, PastTheSortedReadsTheRestComesInOrderedRuns) {
  std::vector<char> buffer(dir_names_minimum);
  std::vector<std::u16string> want(files);
  std::sort(want.begin(), want.end(), before);
  for (uint32_t reads : {1u, 3u}) {
    SCOPED_TRACE(reads);
    dir_options options;
    options.kinds = dir_kinds::files;
    options.names = buffer.data();
    options.names_size = static_cast<uint32_t>(buffer.size());
    options.sorted_reads = reads;
    uint32_t result = 0;
    std::vector<listed> got = enumerate(path, options, &result);
    EXPECT_EQ(result, err_no_more_files);
    // The sorted reads give the smallest names; a full buffer holds at least
    // 10 of these names after dropping a quarter of it.
    size_t prefix = 0;
    while (prefix < got.size() && got[prefix].name == want[prefix]) ++prefix;
    EXPECT_GE(prefix, 10u * reads);
    // Then runs, each in order, each after the first marked.
    size_t restarts = 0;
    for (size_t i = 1; i < got.size(); ++i) {
      if (got[i].restarts_order) {
        ++restarts;
        continue;
      }
      EXPECT_FALSE(before(got[i].name, got[i - 1].name)) << "out of order within a run at " << i;
    }
    EXPECT_FALSE(got.empty() || got[0].restarts_order);
    EXPECT_GE(restarts, 1u);
    std::vector<std::u16string> names;
    for (const listed& entry : got) names.push_back(entry.name);
    std::sort(names.begin(), names.end(), before);
    EXPECT_TRUE(names == want) << "every name once: " << got.size() << " of " << want.size();
  }
}

TEST_F(SortedEnumeration, BufferBelowTheMinimumIsRefused) {
  std::vector<char> buffer(dir_names_minimum - 1);
  dir_options options;
  options.names = buffer.data();
  options.names_size = static_cast<uint32_t>(buffer.size());
  uint32_t result = 0;
  EXPECT_TRUE(enumerate(path, options, &result).empty());
  EXPECT_EQ(result, static_cast<uint32_t>(EINVAL));
}

TEST_F(File, NoEntryOfTheKindAskedForLeavesNothingOpen) {
  ASSERT_EQ(::mkdir(at("only a folder").c_str(), 0755), 0);
  std::vector<char> buffer(dir_names_minimum);
  std::u16string pattern = u16(path + "/*");
  for (char* names : {static_cast<char*>(nullptr), buffer.data()}) {
    dir_options options;
    options.kinds = dir_kinds::files;
    options.names = names;
    options.names_size = static_cast<uint32_t>(buffer.size());
    dir_handle handle;
    dir_entry entry;
    EXPECT_EQ(dir_open(handle, pattern.c_str(), &entry, options), err_no_more_files);
    EXPECT_FALSE(handle.open) << (names != nullptr ? "sorted" : "file system order");
  }
}

TEST_F(File, PublishNewWritesWholeFilesAndNeverReplaces) {
  std::u16string unit = u16(at("web.service"));
  ASSERT_EQ(file_publish_new(unit.c_str(), "first\n", 6, 0644), 0u);
  struct stat info {};
  ASSERT_EQ(::stat(at("web.service").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
  EXPECT_EQ(info.st_size, 6);
  EXPECT_EQ(file_publish_new(unit.c_str(), "second\n", 7, 0644), err_exists);
  file_descriptor file;
  ASSERT_EQ(file_open(file, unit.c_str(), generic_read, open_existing, 0, nullptr), 0u);
  char bytes[16] = {};
  EXPECT_EQ(file_read(file, bytes, sizeof bytes), 6);
  file_close(file);
  EXPECT_STREQ(bytes, "first\n") << "the file that was there stays";
  std::set<std::string> names;
  dir_handle handle;
  dir_entry entry;
  std::u16string pattern = u16(path + "/*");
  for (uint32_t e = dir_open(handle, pattern.c_str(), &entry); e == 0; e = dir_next(handle, &entry)) {
    names.insert(ascii(entry.name));
  }
  dir_close(handle);
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "web.service"})) << "no temporary file is left";
  std::u16string missing = u16(at("no/such/web.service"));
  EXPECT_EQ(file_publish_new(missing.c_str(), "x", 1, 0644), err_not_found);
}

TEST_F(File, LogsAreOpenedForAppending) {
  write("web.log", "first run\n");
  std::u16string log = u16(at("web.log"));
  int fd = file_open_log(log.c_str());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "second run\n", 11), 11);
  ::close(fd);
  file_descriptor file;
  ASSERT_EQ(file_open(file, log.c_str(), generic_read, open_existing, 0, nullptr), 0u);
  char bytes[64] = {};
  file_read(file, bytes, sizeof bytes);
  file_close(file);
  EXPECT_STREQ(bytes, "first run\nsecond run\n");
  std::u16string refused = u16(at("none/web.log"));
  EXPECT_EQ(file_open_log(refused.c_str()), -1);
  EXPECT_EQ(last_error(), err_not_found);
  std::u16string folder = u16(path);
  EXPECT_EQ(folder_writable(folder.c_str()), 0u);
  EXPECT_NE(folder_writable(refused.c_str()), 0u);
}

TEST(FilePaths, ExecutablePathAndNonAsciiNames) {
  char16_t exe[4096];
  uint32_t length = executable_path(exe, 4096);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(exe[0], u'/');
  EXPECT_EQ(exe[length], 0);
  EXPECT_EQ(executable_path(exe, 2), 0u) << "a path that does not fit gives 0";

  char folder[] = "/tmp/qm_name_XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  std::u16string name = u16(folder) + u"/\u00e9t\u00e9\U0001F600";
  file_descriptor file;
  ASSERT_EQ(file_open(file, name.c_str(), generic_write, create_new, 0, nullptr), 0u);
  file_close(file);
  dir_handle handle;
  dir_entry entry;
  std::u16string pattern = u16(folder) + u"/*";
  ASSERT_EQ(dir_open(handle, pattern.c_str(), &entry), 0u);
  bool found = false;
  do found = found || std::u16string(entry.name) == u"\u00e9t\u00e9\U0001F600";
  while (dir_next(handle, &entry) == 0);
  dir_close(handle);
  EXPECT_TRUE(found) << "names come back as the same UTF-16";
  EXPECT_EQ(file_delete(name.c_str()), 0u);
  std::remove(folder);
}

}  // namespace
}  // namespace qm::os
