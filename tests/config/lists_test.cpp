// The vdir and extension block parsers, the vdir lookup and the UTF-8 decoder.
#include "config/lists.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace qm {
namespace {

// The blocks of the built-in default configuration, as the reader hands them
// over: from the first line after '{' up to the closing '}', final CR LF kept.
const char16_t* const default_vdir_block = u"\t# dir|path|[user]\r\n";
const char16_t* const default_allow_block =
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
const char16_t* const default_block_block =
    u"\tkey p7b pem\r\n"
    u"\t# cat cer crl crt der dll dylib exe so\r\n"
    u"\t# a com cpl idb ilk log lnk manifest o obj pch pdb pif res scr sys tmp\r\n"
    u"\t# asp aspx bat class cmd hta jar java php php3 pl py pyc sh vb vbs wsh\r\n"
    u"\t# conf config db inf ini htaccess rdp reg\r\n";

class ListsTest : public ::testing::Test {
 protected:
  void SetUp() override { release_lists(); }
  void TearDown() override {
    release_lists();
    ext_list.block_listed = 0;
    ext_list.no_ext_block = 0;
  }
};

struct vdir_expect {
  std::u16string dir;
  std::u16string path;
  std::u16string user;
  bool relative;
};

struct vdir_case {
  const char* label;
  const char16_t* block;
  std::vector<vdir_expect> entries;  // in sorted order
};

TEST_F(ListsTest, VdirBlocks) {
  const vdir_case cases[] = {
      {"absolute drive path", u"media|D:\\media\r\n", {{u"media", u"D:\\media", u"", false}}},
      {"relative, closed by the end of the text", u"docs|manual", {{u"docs", u"manual", u"", true}}},
      {"slash path is absolute", u"a|/srv/a\n", {{u"a", u"/srv/a", u"", false}}},
      {"backslash path is absolute", u"b|\\\\srv\\b\r", {{u"b", u"\\\\srv\\b", u"", false}}},
      {"one-unit relative path", u"c|x\r\n", {{u"c", u"x", u"", true}}},
      {"user column", u"m|p|bob\r\n", {{u"m", u"p", u"bob", true}}},
      {"empty user column", u"m|p|\r\n", {{u"m", u"p", u"", true}}},
      {"leading bar", u"|p\r\n", {}},
      {"leading bar after tabs", u"\t\t|p\r\n", {}},
      {"no bar gives no path", u"name\r\n", {}},
      {"empty path", u"name|\r\n", {}},
      {"empty path before user", u"name||user\r\n", {}},
      {"three bars", u"a|b|c|d\r\n", {}},
      {"comment", u"#a|b\r\n", {}},
      {"tab then comment", u"\t#a|b\r\n", {}},
      {"default text line", default_vdir_block, {}},
      {"later hash is ordinary", u"a#|b#\r\n", {{u"a#", u"b#", u"", true}}},
      {"tabs before the name skipped", u"\t\tt|x\r\n", {{u"t", u"x", u"", true}}},
      {"leading spaces stay in the name", u"  sp|x\r\n", {{u"  sp", u"x", u"", true}}},
      {"blanks around bars kept", u"a | b |u \r\n", {{u"a ", u" b ", u"u ", true}}},
      {"bad lines between good ones", u"#c\r\n|x\r\na|b|c|d\r\n\r\ngood|g\r\nname|\r\n",
       {{u"good", u"g", u"", true}}},
      {"sorted, upper case first", u"zeta|z\nalpha|a\r\nMid|m\r",
       {{u"Mid", u"m", u"", true}, {u"alpha", u"a", u"", true}, {u"zeta", u"z", u"", true}}},
      // By UTF-16 units a surrogate (D83D) sorts before U+FF21.
      {"sorted by UTF-16 units", u"\uFF21|x\n\U0001F600|y\n",
       {{u"\U0001F600", u"y", u"", true}, {u"\uFF21", u"x", u"", true}}},
      {"empty block", u"", {}},
  };
  for (const vdir_case& c : cases) {
    SCOPED_TRACE(c.label);
    int result = parse_vdir_block(vdirs, c.block);
    EXPECT_EQ(result, c.entries.empty() ? -1 : 0);
    ASSERT_EQ(vdirs.count, c.entries.size());
    if (c.entries.empty()) {
      EXPECT_EQ(vdirs.entries, nullptr);
      EXPECT_EQ(vdirs.text, nullptr);
    }
    for (size_t i = 0; i < c.entries.size(); ++i) {
      const z_vdir_t& e = vdirs.entries[i];
      EXPECT_EQ(std::u16string(e.dir), c.entries[i].dir) << "entry " << i;
      EXPECT_EQ(std::u16string(e.path), c.entries[i].path) << "entry " << i;
      EXPECT_EQ(e.path_length, c.entries[i].path.size()) << "entry " << i;
      EXPECT_EQ(std::u16string(e.user), c.entries[i].user) << "entry " << i;
      EXPECT_EQ(e.relative, c.entries[i].relative) << "entry " << i;
    }
  }
}

TEST_F(ListsTest, VdirBlockReplacesEntriesAndKeepsRoot) {
  const char16_t root[] = u"C:\\inetpub\\wwwroot";
  std::memcpy(vdirs.root, root, sizeof root);
  vdirs.root_length = 18;
  ASSERT_EQ(parse_vdir_block(vdirs, u"a|1\r\nb|2\r\n"), 0);
  ASSERT_EQ(vdirs.count, 2u);
  ASSERT_EQ(parse_vdir_block(vdirs, u"c|3\r\n"), 0);
  ASSERT_EQ(vdirs.count, 1u);
  EXPECT_EQ(std::u16string(vdirs.entries[0].dir), u"c");
  // An empty block removes every virtual directory.
  EXPECT_EQ(parse_vdir_block(vdirs, u""), -1);
  EXPECT_EQ(vdirs.count, 0u);
  EXPECT_EQ(std::u16string(vdirs.root), root);
  EXPECT_EQ(vdirs.root_length, 18u);
}

TEST_F(ListsTest, FindVdirIsExactAndCaseSensitive) {
  EXPECT_EQ(find_vdir(u"docs", 4), nullptr) << "empty table";
  ASSERT_EQ(parse_vdir_block(vdirs, u"media|D:\\m\r\ndocs|manual\r\nb|x\r\nzz|y\r\ndo|z\r\n"), 0);
  struct {
    const char* label;
    std::u16string name;
    uint64_t length;
    const char16_t* path;  // null: not found
  } cases[] = {
      {"first", u"b", 1, u"x"},
      {"middle", u"docs", 4, u"manual"},
      {"last", u"zz", 2, u"y"},
      {"prefix of another", u"do", 2, u"z"},
      {"length cuts the segment", u"docs/readme", 4, u"manual"},
      {"other case", u"Docs", 4, nullptr},
      {"shorter", u"doc", 3, nullptr},
      {"longer", u"docsx", 5, nullptr},
      {"empty", u"", 0, nullptr},
      {"before all", u"a", 1, nullptr},
      {"after all", u"zzz", 3, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const z_vdir_t* found = find_vdir(c.name.c_str(), c.length);
    if (c.path == nullptr) {
      EXPECT_EQ(found, nullptr);
    } else {
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(std::u16string(found->path), c.path);
    }
  }
}

struct ext_case {
  const char* label;
  const char16_t* block;
  std::vector<std::string> words;  // in sorted order
};

TEST_F(ListsTest, ExtBlocks) {
  const ext_case cases[] = {
      {"three words", u"key p7b pem\r\n", {"key", "p7b", "pem"}},
      {"default block mode text", default_block_block, {"key", "p7b", "pem"}},
      {"lower-cased A-Z only", u"PNG Jpg \u00C4", {"jpg", "png", "\xC3\x84"}},
      {"hash after a letter belongs to the word", u"key# x", {"key#", "x"}},
      {"comment line", u"# cat cer\r\npem", {"pem"}},
      {"comment after blanks", u"\t  # cat\r\npem", {"pem"}},
      {"comment ends at the line break", u"# a\rb\n#c\nd", {"b", "d"}},
      {"hash after a blank following a word", u"png #jpg", {"jpg", "png"}},
      {"lone hash after a word", u"png # jpg\r\n", {"jpg", "png"}},
      {"tabs, CR and LF separate", u"\ta\tb\r\n\tc\rd\ne", {"a", "b", "c", "d", "e"}},
      {"byte order, duplicates kept", u"b B a0 a", {"a", "a0", "b", "b"}},
      {"non-ASCII sorts after ASCII", u"\u00E9 z", {"z", "\xC3\xA9"}},
      // The lone surrogate is dropped by the conversion: fewer words than counted.
      {"lone low surrogate word", u"a \xDC00 b", {"a", "b"}},
      {"empty block", u"", {}},
      {"blanks only", u"  \t\r\n", {}},
      {"comments only", u"\r\n# x y\r\n\t#z\r\n", {}},
  };
  for (bool block_mode : {false, true}) {
    for (const ext_case& c : cases) {
      SCOPED_TRACE(std::string(c.label) + (block_mode ? " (block)" : " (allow)"));
      int result = parse_ext_block(ext_list, c.block, block_mode);
      EXPECT_EQ(result, c.words.empty() ? -1 : 0);
      EXPECT_EQ(ext_list.block_listed, block_mode ? 1 : 0);
      ASSERT_EQ(ext_list.count, c.words.size());
      if (c.words.empty()) {
        EXPECT_EQ(ext_list.words, nullptr);
        EXPECT_EQ(ext_list.text, nullptr);
        continue;
      }
      for (size_t i = 0; i < c.words.size(); ++i) EXPECT_EQ(ext_list.words[i], c.words[i]) << "word " << i;
      EXPECT_EQ(ext_list.words[c.words.size()], nullptr) << "spare slot";
    }
  }
}

TEST_F(ListsTest, DefaultAllowBlockGives168SortedWords) {
  ASSERT_EQ(parse_ext_block(ext_list, default_allow_block, false), 0);
  ASSERT_EQ(ext_list.count, 168u);
  for (uint64_t i = 1; i < ext_list.count; ++i) {
    EXPECT_LT(std::strcmp(ext_list.words[i - 1], ext_list.words[i]), 0) << ext_list.words[i];
  }
  for (const char* word : {"css", "001", "pcapng", "z", "webp", "mp4", "v"}) EXPECT_TRUE(ext_list_contains(word)) << word;
  for (const char* word : {"pem", "key", "", "mp", "mp44", "CSS"}) EXPECT_FALSE(ext_list_contains(word)) << word;
}

TEST_F(ListsTest, ExtBlockReplacesWords) {
  ASSERT_EQ(parse_ext_block(ext_list, u"a b c", true), 0);
  ASSERT_EQ(parse_ext_block(ext_list, u"pem", false), 0);
  EXPECT_EQ(ext_list.count, 1u);
  EXPECT_FALSE(ext_list_contains("a"));
  EXPECT_TRUE(ext_list_contains("pem"));
  // An empty block makes every extension served, and still sets the mode.
  EXPECT_EQ(parse_ext_block(ext_list, u"", true), -1);
  EXPECT_EQ(ext_list.count, 0u);
  EXPECT_EQ(ext_list.block_listed, 1);
  EXPECT_FALSE(ext_list_contains("pem"));
}

struct utf8_case {
  const char* label;
  const char* bytes;
  uint64_t capacity;
  std::u16string expect;  // what the output holds before its terminator
  uint64_t result;
};

TEST(Utf8ToUtf16, Decodes) {
  const utf8_case cases[] = {
      {"ascii", "abc", 8, u"abc", 3},
      {"empty", "", 1, u"", 0},
      {"two-byte", "\xC3\xA9", 8, u"\u00E9", 1},
      {"overlong two-byte decodes to its value", "\xC1\x81", 8, u"A", 1},
      {"overlong two-byte slash", "a\xC0\xAF" "b", 8, u"a/b", 3},
      {"overlong NUL ends the text", "a\xC0\x80" "b", 8, u"a", 1},
      {"three-byte", "\xE2\x82\xAC", 8, u"\u20AC", 1},
      {"overlong three-byte", "\xE0\x81\x81", 8, u"A", 1},
      {"three-byte surrogate writes nothing", "a\xED\xA0\x80" "b", 8, u"ab", 2},
      {"four-byte is a surrogate pair", "\xF0\x9F\x98\x80", 8, u"\U0001F600", 2},
      {"four-byte U+10FFFF", "\xF4\x8F\xBF\xBF", 8, u"\U0010FFFF", 2},
      {"four-byte above U+10FFFF writes nothing", "a\xF4\x90\x80\x80" "b", 8, u"ab", 2},
      {"overlong four-byte is one unit", "\xF0\x80\x81\x81", 8, u"A", 1},
      {"stray continuation skipped", "a\x80\xBF" "b", 8, u"ab", 2},
      {"F8-FF skipped", "a\xF8\xFF" "b", 8, u"ab", 2},
      {"truncated two-byte rereads the next byte", "\xC3" "A", 8, u"\u00C0A", 2},
      {"truncated three-byte", "\xE2\x82" "A", 8, u"\u2080A", 2},
      {"truncated three-byte before a lead", "\xE2\xC3\xA9", 8, u"\u2000\u00E9", 2},
      {"truncated four-byte keeps its bits", "\xF0\x9F" "A", 8, u"\U0001F000A", 3},
      // Without any continuation a pair would be two units from one byte.
      {"lone four-byte lead writes nothing", "a\xF1" "b", 4, u"ab", 2},
      {"NUL after a lead ends after the partial unit", "a\xC3", 8, u"a\u00C0", 2},
      {"NUL inside a three-byte form", "\xE2\x82", 8, u"\u2080", 1},
      {"exactly fits", "abc", 4, u"abc", 3},
      {"one unit too many is cut", "abc", 3, u"ab", 0},
      {"capacity of one holds only the terminator", "a", 1, u"", 0},
      {"pair does not fit in one unit", "a\xF0\x9F\x98\x80", 3, u"a", 0},
      {"pair exactly fits", "a\xF0\x9F\x98\x80", 4, u"a\U0001F600", 3},
  };
  for (const utf8_case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<char16_t> out(c.capacity + 1, u'#');  // one guard unit behind the capacity
    EXPECT_EQ(utf8_to_utf16(out.data(), c.capacity, c.bytes), c.result);
    EXPECT_EQ(std::u16string(out.data()), c.expect);
    EXPECT_EQ(out[c.capacity], u'#') << "wrote past the capacity";
  }
}

TEST(Utf8ToUtf16, MissingArguments) {
  char16_t out[4] = {u'x', u'x', u'x', u'x'};
  EXPECT_EQ(utf8_to_utf16(nullptr, 4, "a"), 0u);
  EXPECT_EQ(utf8_to_utf16(out, 0, "a"), 0u);
  EXPECT_EQ(utf8_to_utf16(out, 4, nullptr), 0u);
  EXPECT_EQ(out[0], u'x') << "nothing written without room";
}

// Every byte yields at most one unit, so bytes + 1 units never cut the text:
// checked over every one- and two-byte input and runs of lone leads.
TEST(Utf8ToUtf16, BytesPlusOneAlwaysSuffices) {
  std::vector<std::string> inputs;
  for (int a = 1; a < 256; ++a) {
    inputs.push_back(std::string(1, static_cast<char>(a)));
    for (int b = 1; b < 256; ++b) inputs.push_back({static_cast<char>(a), static_cast<char>(b)});
  }
  inputs.push_back("\xF1\xF1\xF1\xF1");
  inputs.push_back("\xF0\x9F\xF0\x9F\xF0\x9F");
  inputs.push_back("\xF4\x8F\xF4\x8F");
  for (const std::string& in : inputs) {
    char16_t wide[64];
    uint64_t full = utf8_to_utf16(wide, 64, in.c_str());
    char16_t tight[8];
    uint64_t cut = utf8_to_utf16(tight, in.size() + 1, in.c_str());
    ASSERT_EQ(cut, full) << "input of " << in.size() << " bytes, first 0x" << std::hex
                         << (static_cast<unsigned>(in[0]) & 0xFF);
  }
}

}  // namespace
}  // namespace qm
