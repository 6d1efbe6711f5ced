// Virtual directories, extension lists and the lenient UTF-8 decoder.
#include "config/lists.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace qm {
namespace {

std::string narrow(const char16_t* text) {
  std::string s;
  for (; text != nullptr && *text != 0; ++text) s += static_cast<char>(*text);
  return s;
}

class Lists : public ::testing::Test {
 protected:
  void TearDown() override { free_lists(); }
};

TEST_F(Lists, VirtualDirectoryLines) {
  ASSERT_EQ(parse_vdir_block(vdirs,
                             u"\t# dir|path|[user]\r\n"
                             u"media|D:\\media\r\n"
                             u"docs|manual|web\r\n"
                             u"|lead|x\r\n"
                             u"|\r\n"
                             u"empty|\r\n"
                             u"|nopath\r\n"
                             u"a|b|c|d\r\n"
                             u"  spaced|/srv/s\r\n"
                             u"abs|/srv/abs\n"),
            0);
  ASSERT_EQ(vdirs.count, 4u);
  // Sorted by name: "  spaced", "abs", "docs", "media".
  EXPECT_EQ(narrow(vdirs.entries[0].dir), "  spaced");
  EXPECT_EQ(narrow(vdirs.entries[1].dir), "abs");
  EXPECT_FALSE(vdirs.entries[1].relative);
  EXPECT_EQ(narrow(vdirs.entries[2].dir), "docs");
  EXPECT_EQ(narrow(vdirs.entries[2].path), "manual");
  EXPECT_EQ(narrow(vdirs.entries[2].user), "web");
  EXPECT_EQ(vdirs.entries[2].path_length, 6u);
  EXPECT_TRUE(vdirs.entries[2].relative);
  EXPECT_EQ(narrow(vdirs.entries[3].path), "D:\\media");
  EXPECT_FALSE(vdirs.entries[3].relative);
  EXPECT_NE(find_vdir(u"docs", 4), nullptr);
  EXPECT_EQ(find_vdir(u"Docs", 4), nullptr);
  EXPECT_EQ(find_vdir(u"doc", 3), nullptr);
}

TEST_F(Lists, DefaultVdirBlockAndEmptyBlockHoldNothing) {
  EXPECT_EQ(parse_vdir_block(vdirs, u"\t# dir|path|[user]\r\n"), -1);
  EXPECT_EQ(vdirs.count, 0u);
  ASSERT_EQ(parse_vdir_block(vdirs, u"a|/b\r\n"), 0);
  EXPECT_EQ(parse_vdir_block(vdirs, u""), -1);
  EXPECT_EQ(vdirs.count, 0u);
}

TEST_F(Lists, ExtensionWordsAndComments) {
  ASSERT_EQ(parse_ext_block(ext_list, u"\tkey p7b PEM\r\n\t# cat cer\r\n\tab#c #d\r\n", true), 0);
  ASSERT_EQ(ext_list.count, 5u);
  EXPECT_TRUE(ext_list.block_listed);
  for (const char* word : {"key", "p7b", "pem", "ab#c", "d"}) EXPECT_TRUE(ext_list_contains(word)) << word;
  EXPECT_FALSE(ext_list_contains("cat"));
  EXPECT_FALSE(ext_list_contains("PEM"));
}

TEST_F(Lists, TheDefaultAllowBlockHas168Words) {
  const char16_t* block =
      u"\tcss htm html js json xht xhtml xml gif ico jpg jpeg png svg svgz woff woff2\r\n"
      u"\tapng avif avifs bmp emf heic heics heif heifs tga tif tiff webp wmf\r\n"
      u"\taac aif aiff ape flac m4a mid midi mka mp3 mpa mpga oga ogg ra wav weba wma\r\n"
      u"\tasf avi avs flv heiv m3u m4v mkv mov mp2 mp4 mpeg mpg ogm ogv webm wmv\r\n"
      u"\tai book eps epub fon indd odb odc odf odg odp ods odt otf ps psd ttf\r\n"
      u"\tcsv doc docx drawio pdf pps ppsx ppt pptx rtf txt vdx vsd vsdx wri xls xlsx\r\n"
      u"\t001 7z arj cab cpio deb dmg ipk ipkg lha lhz lzma pkg rar rpm torrent\r\n"
      u"\tbr bz2 bzip2 gz gzip tar taz tbz tbz2 tbzip2 tgz tpz txz xar xz z zip\r\n"
      u"\tbin dsk esd fat hfs ima img ipsw iso ntfs squashfs swm vhd vhdx wim\r\n"
      u"\tcat cer crl crt der dll dylib exe so ini log dsn opj pat v vams vhdl\r\n"
      u"\tcap pcap pcapng\r\n";
  ASSERT_EQ(parse_ext_block(ext_list, block, false), 0);
  EXPECT_EQ(ext_list.count, 168u);
  for (uint64_t i = 1; i < ext_list.count; ++i) EXPECT_LT(std::strcmp(ext_list.words[i - 1], ext_list.words[i]), 0);
}

TEST(Utf8ToUtf16, LenientDecoding) {
  struct row {
    const char* label;
    const char* in;
    std::u16string out;
  };
  const row rows[] = {
      {"ascii", "abc", u"abc"},
      {"two and three bytes", "\xc3\xa9\xe2\x82\xac", u"\u00e9\u20ac"},
      {"four bytes become a pair", "\xf0\x9f\x98\x80", u"\xd83d\xde00"},
      {"overlong two-byte form decodes", "\xc1\xa1", u"a"},
      {"above U+10FFFF writes nothing", "a\xf7\xbf\xbf\xbf" "b", u"ab"},
      {"stray continuation skipped", "a\x80" "b", u"ab"},
      {"truncated form re-reads the next byte", "\xe2\x82" "a", u"\u2080a"},
      {"invalid lead skipped", "\xff" "z", u"z"},
  };
  for (const row& r : rows) {
    char16_t out[16];
    EXPECT_EQ(utf8_to_utf16(out, 16, r.in), r.out.size()) << r.label;
    EXPECT_EQ(std::u16string(out), r.out) << r.label;
  }
  char16_t out[3];
  EXPECT_EQ(utf8_to_utf16(out, 3, "abc"), 0u);
  EXPECT_EQ(std::u16string(out), u"ab");
  EXPECT_EQ(utf8_to_utf16(out, 4 - 1, "ab"), 2u);
  EXPECT_EQ(utf8_to_utf16(nullptr, 3, "ab"), 0u);
}

}  // namespace
}  // namespace qm
