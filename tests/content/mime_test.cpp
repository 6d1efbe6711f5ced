// The MIME and extension tables and the type of a path.
#include "content/mime.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "config/lists.h"

namespace qm {
namespace {

// The extensions of every type, as the type table lists them.
const struct {
  uint32_t mime;
  const char* extensions;
} type_extensions[] = {
    {1, "book"},
    {2, "epub"},
    {3, "hta"},
    {4, "jar"},
    {5, "js"},
    {6, "json"},
    {7, "doc dot"},
    {8, "bin chm com csv cur deploy dsp dump exe fla img iso java msi o rar raw"},
    {9, "one"},
    {10, "pdf"},
    {11, "crl"},
    {12, "ai eps ps"},
    {13, "rtf"},
    {14, "cab"},
    {15, "xls"},
    {16, "calx"},
    {17, "cat"},
    {18, "pps ppt"},
    {19, "ppsx"},
    {20, "pptx"},
    {22, "docx"},
    {23, "rm"},
    {24, "vsd vsx"},
    {25, "hlp"},
    {26, "001 7z"},
    {27, "bz"},
    {28, "bz2"},
    {29, "chat"},
    {30, "z"},
    {31, "tgz"},
    {32, "csh"},
    {33, "gtar"},
    {34, "gz"},
    {35, "ima"},
    {36, "indd"},
    {37, "class"},
    {38, "application"},
    {40, "lnk"},
    {41, "dll"},
    {42, "wri"},
    {43, "ani"},
    {44, "pem"},
    {45, "sh"},
    {46, "swf"},
    {47, "tar"},
    {48, "tcl"},
    {49, "tex"},
    {51, "cer crt der"},
    {52, "zip"},
    {53, "aac"},
    {54, "aifc aiff"},
    {55, "au snd"},
    {56, "mid midi rmi"},
    {57, "m4a"},
    {58, "mp3 mpa"},
    {59, "oga ogg spx"},
    {60, "ra ram,"},
    {61, "wav"},
    {62, "aif"},
    {63, "m4r"},
    {64, "m3u"},
    {65, "wma"},
    {66, "otf"},
    {67, "ttf"},
    {68, "woff"},
    {69, "woff2"},
    {70, "apng"},
    {71, "avif"},
    {72, "avifs"},
    {73, "bmp dib"},
    {74, "gif"},
    {75, "heic"},
    {76, "heics"},
    {77, "heif"},
    {78, "heifs"},
    {79, "jpe jpeg jpg"},
    {80, "png pnz"},
    {81, "psd"},
    {82, "svg svgz"},
    {83, "tiff"},
    {84, "webp"},
    {85, "ico"},
    {87, "eml mht mhtml nws"},
    {88, "asp"},
    {89, "css"},
    {90, "htm html"},
    {91, "jsx"},
    {93, "p pas"},
    {94, "asm bat c c++ cc cmd cpp def h hh inf ini log m map rc txt"},
    {95, "vbs"},
    {96, "f f77 f90"},
    {97, "py"},
    {98, "talk"},
    {99, "url"},
    {100, "conf config dtd manifest vml xml"},
    {101, "avi"},
    {102, "avs"},
    {103, "m4v mp4 mp4v"},
    {104, "m1v mp2 mpe mpeg mpg mpv2"},
    {105, "ogm ogv"},
    {106, "mov"},
    {107, "m2ts ts"},
    {108, "rv"},
    {109, "webm"},
    {110, "flv"},
    {111, "mkv"},
    {112, "asf asr asx nsc"},
    {113, "wmv"},
    {114, "movie"},
};

TEST(MimeTables, ShapeAndNamedRows) {
  for (uint32_t i = 0; i < mime_type_count; ++i) {
    ASSERT_NE(mime_types[i], nullptr) << "row " << i;
    EXPECT_NE(mime_types[i][0], 0) << "row " << i;
  }
  EXPECT_EQ(mime_types[mime_type_count], nullptr);
  EXPECT_EQ(sizeof extension_table / sizeof extension_table[0], 186u);
  const struct {
    uint32_t index;
    const char* text;
  } named[] = {
      {mime_blocked, "access/blocked"},  {mime_javascript, "application/javascript"},
      {mime_octet_stream, "application/octet-stream"}, {mime_png, "image/png"},
      {mime_webp, "image/webp"},         {mime_icon, "image/x-icon"},
      {mime_css, "text/css"},            {mime_html, "text/html"},
      {mime_plain, "text/plain"},        {97, "text/x-script.phyton"},
      {21, "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
      {114, "video/x-sgi-movie"},
  };
  for (const auto& n : named) EXPECT_STREQ(mime_types[n.index], n.text) << "row " << n.index;
  EXPECT_EQ(charsets[charset_none], nullptr);
  EXPECT_STREQ(charsets[charset_utf8], "utf-8");
  EXPECT_STREQ(charsets[charset_utf16], "utf-16");
  EXPECT_STREQ(charsets[charset_utf16be], "utf-16be");
  EXPECT_EQ(charsets[charset_count], nullptr);
}

TEST(MimeTables, ExtensionTableIsStrictlyInByteOrder) {
  for (uint32_t i = 1; i < extension_count; ++i) {
    EXPECT_LT(std::strcmp(extension_table[i - 1].ext, extension_table[i].ext), 0)
        << "row " << i << " \"" << extension_table[i].ext << "\"";
  }
}

// The extension table holds exactly the extensions of the type table, each
// with its type; the types without extensions are never chosen.
TEST(MimeTables, ExtensionTableMatchesTypeTable) {
  std::map<std::string, uint32_t> listed;
  for (const auto& row : type_extensions) {
    std::istringstream words(row.extensions);
    for (std::string ext; words >> ext;) EXPECT_TRUE(listed.emplace(ext, row.mime).second) << ext;
  }
  EXPECT_EQ(listed.size(), extension_count);
  std::set<uint32_t> chosen;
  for (const z_extension_t& row : extension_table) {
    auto it = listed.find(row.ext);
    ASSERT_NE(it, listed.end()) << "\"" << row.ext << "\" is not in the type table";
    EXPECT_EQ(row.mime, it->second) << row.ext;
    chosen.insert(row.mime);
  }
  for (uint32_t none : {0u, 21u, 39u, 50u, 86u, 92u}) EXPECT_EQ(chosen.count(none), 0u) << none;
  EXPECT_EQ(chosen.size(), mime_type_count - 6);
  // Every extension is found by the lookup, as it stands.
  for (const auto& [ext, mime] : listed) {
    std::u16string name = u"file.";
    for (char c : ext) name.push_back(static_cast<char16_t>(c));
    EXPECT_EQ(lookup_mime_type(name.data(), name.data() + name.size()), mime) << ext;
  }
}

class LookupTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    release_ext_list(ext_list);
    ext_list.block_listed = 0;
    ext_list.no_ext_block = 0;
  }
};

struct lookup_case {
  const char* label;
  std::u16string path;
  uint32_t expect;
  uint32_t expect_no_ext_blocked;  // the same name with no_ext_block set
};

// No extension list: the extension table alone decides.
TEST_F(LookupTest, ByExtension) {
  const lookup_case cases[] = {
      {"upper-case extension", u"report.PDF", 10, 10},
      {"last dot counts", u"archive.tar.gz", 34, 34},
      {"no dot", u"README", 8, 0},
      {"empty range", u"", 8, 0},
      {"empty extension", u"file.", 8, 8},
      {"unknown extension", u"file.xyz", 8, 8},
      {"eml", u"mail.eml", 87, 87},
      {"eps", u"doc.eps", 12, 12},
      {"epub", u"book.epub", 2, 2},
      {"the row with the comma", u"song.ram,", 60, 60},
      {"ram without the comma", u"song.ram", 8, 8},
      {"plus signs", u"main.c++", 94, 94},
      {"whole path", u"/media/clips/clip.mp4", 103, 103},
      {"trailing slash", u"/docs/", 90, 90},
      {"trailing slash after a known name", u"/report.pdf/", 90, 90},
      {"dot only at the start", u".gz", 34, 34},
      // 14 units after the dot: inside the window, but no such extension.
      {"14-unit extension", u"x.abcdefghijklmn", 8, 8},
      // 15 units after the dot: the dot lies outside the window.
      {"15-unit extension", u"x.abcdefghijklmno", 8, 0},
      {"dot in a folder inside the window", u"/v1.2/readme", 8, 8},
      {"dot in a folder outside the window", u"/v1.2/readme-long-name", 8, 0},
      {"folder dot is the last dot", u"/x.gz/pdf", 8, 8},
      {"short name: the whole of it is the window", u"a.pdf", 10, 10},
      // Eight two-byte letters need 16 bytes and their NUL: no extension text.
      {"extension too long in UTF-8", u"f.\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9", 8, 8},
  };
  for (const lookup_case& c : cases) {
    SCOPED_TRACE(c.label);
    const char16_t* start = c.path.data();
    const char16_t* end = start + c.path.size();
    ext_list.no_ext_block = 0;
    EXPECT_EQ(lookup_mime_type(start, end), c.expect);
    ext_list.no_ext_block = 1;
    EXPECT_EQ(lookup_mime_type(start, end), c.expect_no_ext_blocked) << "with no_ext_block";
  }
}

TEST_F(LookupTest, RangeNeedNotBeTerminated) {
  const char16_t text[] = u"clip.mp4.txt/";
  EXPECT_EQ(lookup_mime_type(text, text + 8), 103u);
  EXPECT_EQ(lookup_mime_type(text, text + 12), 94u);
  EXPECT_EQ(lookup_mime_type(text, text + 4), 8u);
}

struct list_case {
  const char* label;
  const char16_t* path;
  uint32_t expect;
};

TEST_F(LookupTest, AllowList) {
  ASSERT_EQ(parse_ext_block(ext_list, u"htm mp3 png pdf \u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9", false), 0);
  const list_case cases[] = {
      {"not allowed", u"clip.mp4", 0},
      {"allowed", u"x.htm", 90},
      {"allowed, upper case", u"x.PNG", 80},
      {"allowed but not in the table", u"x.\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9", 8},
      {"not allowed, not in the table", u"x.xyz", 0},
      {"folder dot gives an unlisted extension", u"/v1.2/readme", 0},
      {"no extension is not refused by the list", u"README", 8},
      {"empty extension is not refused", u"file.", 8},
      {"too long in UTF-8 is not refused", u"f.\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9", 8},
      {"trailing slash", u"/dir.mp4/", 90},
  };
  for (const list_case& c : cases) {
    SCOPED_TRACE(c.label);
    std::u16string path(c.path);
    EXPECT_EQ(lookup_mime_type(path.data(), path.data() + path.size()), c.expect);
  }
}

TEST_F(LookupTest, BlockList) {
  ASSERT_EQ(parse_ext_block(ext_list, u"key p7b pem", true), 0);
  const list_case cases[] = {
      {"blocked", u"key.pem", 0},
      {"blocked, upper case", u"KEY.PEM", 0},
      {"blocked, not in the table", u"id.key", 0},
      {"served", u"key.crt", 51},
      {"served, not in the table", u"x.xyz", 8},
      {"no extension", u"README", 8},
  };
  for (const list_case& c : cases) {
    SCOPED_TRACE(c.label);
    std::u16string path(c.path);
    EXPECT_EQ(lookup_mime_type(path.data(), path.data() + path.size()), c.expect);
  }
}

}  // namespace
}  // namespace qm
