// The MIME and extension tables and the type of a path.
#include "content/mime.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "config/lists.h"

namespace qm {
namespace {

uint32_t type_of(const std::u16string& path) { return lookup_mime_type(path.data(), path.data() + path.size()); }

TEST(MimeTables, ExtensionTableIsSortedAndComplete) {
  for (uint32_t i = 1; i < extension_count; ++i) {
    EXPECT_LT(std::strcmp(extension_table[i - 1].extension, extension_table[i].extension), 0) << i;
  }
  // The extensions of each type, as the type table lists them.
  const struct {
    uint32_t mime;
    const char* extensions;
  } types[] = {
      {1, "book"}, {2, "epub"}, {5, "js"}, {7, "doc dot"},
      {8, "bin chm com csv cur deploy dsp dump exe fla img iso java msi o rar raw"},
      {12, "ai eps ps"}, {26, "001 7z"}, {34, "gz"}, {38, "application"}, {51, "cer crt der"},
      {60, "ra ram,"}, {79, "jpe jpeg jpg"}, {84, "webp"}, {85, "ico"}, {87, "eml mht mhtml nws"},
      {89, "css"}, {90, "htm html"},
      {94, "asm bat c c++ cc cmd cpp def h hh inf ini log m map rc txt"},
      {100, "conf config dtd manifest vml xml"}, {104, "m1v mp2 mpe mpeg mpg mpv2"}, {114, "movie"},
  };
  uint32_t seen = 0;
  for (const auto& t : types) {
    std::istringstream words(t.extensions);
    std::string word;
    while (words >> word) {
      bool found = false;
      for (const z_extension_t& row : extension_table) {
        if (word == row.extension) {
          EXPECT_EQ(row.mime, t.mime) << word;
          found = true;
        }
      }
      EXPECT_TRUE(found) << word;
      ++seen;
    }
  }
  EXPECT_GT(seen, 50u);
  for (uint32_t never : {21u, 39u, 50u, 86u, 92u}) {
    for (const z_extension_t& row : extension_table) EXPECT_NE(row.mime, never) << row.extension;
  }
  EXPECT_STREQ(mime_types[0], "access/blocked");
  EXPECT_STREQ(mime_types[97], "text/x-script.phyton");
  EXPECT_STREQ(mime_types[114], "video/x-sgi-movie");
  EXPECT_STREQ(mime_types[115], "");
}

class MimeLookup : public ::testing::Test {
 protected:
  void TearDown() override {
    free_lists();
    ext_list.no_ext_block = 0;
  }
};

TEST_F(MimeLookup, NamesWithoutRules) {
  struct row {
    const char16_t* path;
    uint32_t mime;
  };
  const row rows[] = {
      {u"/report.PDF", 10},        {u"/archive.tar.gz", 34},   {u"/README", 8},
      {u"/music/", 90},            {u"/a.b/readme", 8},        {u"/mail.eml", 87},
      {u"/doc.eps", 12},           {u"/book.epub", 2},         {u"/song.ram,", 60},
      {u"/song.ram", 8},           {u"/x.c++", 94},            {u"/x.unknownext", 8},
      {u"/name.abcdefghijklmno", 8},  // the dot lies 16 units before the end: no extension
      {u"/a.x/y", 8},                 // a folder's dot inside the window: extension "x/y"
      {u"/x.\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac", 8},  // 18 bytes of UTF-8
  };
  for (const row& r : rows) EXPECT_EQ(type_of(r.path), r.mime) << std::string(r.path, r.path + 3);
}

TEST_F(MimeLookup, ConfiguredRules) {
  ext_list.no_ext_block = 1;
  EXPECT_EQ(type_of(u"/README"), 0u);
  EXPECT_EQ(type_of(u"/name.abcdefghijklmno"), 0u);
  ext_list.no_ext_block = 0;

  ASSERT_EQ(parse_ext_block(ext_list, u"htm html mp3\r\n", false), 0);
  EXPECT_EQ(type_of(u"/clip.mp4"), 0u);
  EXPECT_EQ(type_of(u"/x.htm"), 90u);
  EXPECT_EQ(type_of(u"/x.txt"), 0u);
  ASSERT_EQ(parse_ext_block(ext_list, u"pem\r\n", true), 0);
  EXPECT_EQ(type_of(u"/key.pem"), 0u);
  EXPECT_EQ(type_of(u"/key.crt"), 51u);
}

}  // namespace
}  // namespace qm
