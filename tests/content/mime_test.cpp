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

// Every type after the blocked marker, with the extensions that choose it,
// written out independently of the tables so that a changed spelling, a
// lost row or an extension moved to another type shows.
const struct {
  const char* type;
  const char* extensions;
} type_extensions[] = {
    {"application/book", "book"},
    {"application/dash+xml", "mpd"},
    {"application/epub+zip", "epub"},
    {"application/hta", "hta"},
    {"application/java-archive", "jar"},
    {"application/javascript", "js"},
    {"application/json", "json"},
    {"application/manifest+json", "webmanifest"},
    {"application/msword", "doc dot"},
    {"application/octet-stream", "bin chm com csv cur deploy dsp dump exe fla img iso java msi o rar raw"},
    {"application/onenote", "one"},
    {"application/pdf", "pdf"},
    {"application/pkix-crl", "crl"},
    {"application/postscript", "ai eps ps"},
    {"application/rtf", "rtf"},
    {"application/vnd.apple.mpegurl", "m3u8"},
    {"application/vnd.ms-cab-compressed", "cab"},
    {"application/vnd.ms-excel", "xls"},
    {"application/vnd.ms-office.calx", "calx"},
    {"application/vnd.ms-pki.seccat", "cat"},
    {"application/vnd.ms-powerpoint", "pps ppt"},
    {"application/vnd.openxmlformats-officedocument.presentationml.presentation", "pptx"},
    {"application/vnd.openxmlformats-officedocument.presentationml.slideshow", "ppsx"},
    {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", ""},
    {"application/vnd.openxmlformats-officedocument.wordprocessingml.document", "docx"},
    {"application/vnd.rn-realmedia", "rm"},
    {"application/vnd.visio", "vsd vsx"},
    {"application/wasm", "wasm"},
    {"application/winhlp", "hlp"},
    {"application/x-7z-compressed", "001 7z"},
    {"application/x-bzip", "bz"},
    {"application/x-bzip2", "bz2"},
    {"application/x-chat", "chat"},
    {"application/x-compress", "z"},
    {"application/x-compressed", "tgz"},
    {"application/x-csh", "csh"},
    {"application/x-gtar", "gtar"},
    {"application/x-gzip", "gz"},
    {"application/x-ima", "ima"},
    {"application/x-indesign", "indd"},
    {"application/x-java-applet", "class"},
    {"application/x-ms-application", "application"},
    {"application/x-ms-manifest", ""},
    {"application/x-ms-shortcut", "lnk"},
    {"application/x-msdownload", "dll"},
    {"application/x-mswrite", "wri"},
    {"application/x-navi-animation", "ani"},
    {"application/x-pem-file", "pem"},
    {"application/x-sh", "sh"},
    {"application/x-shockwave-flash", "swf"},
    {"application/x-subrip", "srt"},
    {"application/x-tar", "tar"},
    {"application/x-tcl", "tcl"},
    {"application/x-tex", "tex"},
    {"application/x-texinfo", ""},
    {"application/x-x509-ca-cert", "cer crt der"},
    {"application/x-zip-compressed", "zip"},
    {"audio/aac", "aac"},
    {"audio/aiff", "aifc aiff"},
    {"audio/basic", "au snd"},
    {"audio/flac", "flac"},
    {"audio/mid", "mid midi rmi"},
    {"audio/mp4", "m4a"},
    {"audio/mpeg", "mp3 mpa"},
    {"audio/ogg", "oga ogg opus spx"},
    {"audio/vnd.rn-realaudio", "ra ram,"},
    {"audio/wav", "wav"},
    {"audio/webm", "weba"},
    {"audio/x-aiff", "aif"},
    {"audio/x-m4r", "m4r"},
    {"audio/x-matroska", "mka"},
    {"audio/x-mpegurl", "m3u"},
    {"audio/x-ms-wma", "wma"},
    {"font/otf", "otf"},
    {"font/ttf", "ttf"},
    {"font/woff", "woff"},
    {"font/woff2", "woff2"},
    {"image/apng", "apng"},
    {"image/avif", "avif"},
    {"image/avifs", "avifs"},
    {"image/bmp", "bmp dib"},
    {"image/gif", "gif"},
    {"image/heic", "heic"},
    {"image/heic-sequence", "heics"},
    {"image/heif", "heif"},
    {"image/heif-sequence", "heifs"},
    {"image/jpeg", "jpe jpeg jpg"},
    {"image/jxl", "jxl"},
    {"image/png", "png pnz"},
    {"image/psd", "psd"},
    {"image/svg+xml", "svg svgz"},
    {"image/tiff", "tiff"},
    {"image/webp", "webp"},
    {"image/x-icon", "ico"},
    {"message/http", ""},
    {"message/rfc822", "eml mht mhtml nws"},
    {"text/asp", "asp"},
    {"text/css", "css"},
    {"text/html", "htm html"},
    {"text/javascript", "mjs"},
    {"text/jscript", "jsx"},
    {"text/json", ""},
    {"text/markdown", "md"},
    {"text/pascal", "p pas"},
    {"text/plain", "asm bat c c++ cc cmd cpp def h hh inf ini log m map rc txt"},
    {"text/vbscript", "vbs"},
    {"text/vtt", "vtt"},
    {"text/x-fortran", "f f77 f90"},
    {"text/x-script.phyton", "py"},
    {"text/x-speech", "talk"},
    {"text/x-url", "url"},
    {"text/xml", "conf config dtd manifest vml xml"},
    {"video/3gpp", "3gp"},
    {"video/avi", "avi"},
    {"video/avs-video", "avs"},
    {"video/mp4", "m4v mp4 mp4v"},
    {"video/mpeg", "m1v mp2 mpe mpeg mpg mpv2"},
    {"video/ogg", "ogm ogv"},
    {"video/quicktime", "mov"},
    {"video/vnd.dlna.mpeg-tts", "m2ts ts"},
    {"video/vnd.rn-realvideo", "rv"},
    {"video/webm", "webm"},
    {"video/x-flv", "flv"},
    {"video/x-matroska", "mkv"},
    {"video/x-ms-asf", "asf asr asx nsc"},
    {"video/x-ms-wmv", "wmv"},
    {"video/x-sgi-movie", "movie"},
};

const char* const octet = "application/octet-stream";
const char* const blocked = "access/blocked";

// The type a lookup gave, as text.
std::string type_text(uint32_t mime) {
  return mime < mime_type_count ? mime_types[mime] : "row " + std::to_string(mime) + " past the table";
}

TEST(MimeTables, ShapeAndNamedRows) {
  for (uint32_t i = 0; i < mime_type_count; ++i) {
    ASSERT_NE(mime_types[i], nullptr) << "row " << i;
    EXPECT_NE(mime_types[i][0], 0) << "row " << i;
  }
  EXPECT_EQ(mime_types[mime_type_count], nullptr);
  EXPECT_EQ(mime_type_count, std::size(type_extensions) + 1);
  const struct {
    uint32_t index;
    const char* text;
  } named[] = {
      {mime_blocked, "access/blocked"},  {mime_javascript, "application/javascript"},
      {mime_octet_stream, "application/octet-stream"}, {mime_png, "image/png"},
      {mime_webp, "image/webp"},         {mime_icon, "image/x-icon"},
      {mime_css, "text/css"},            {mime_html, "text/html"},
      {mime_plain, "text/plain"},
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

// The type table holds exactly the listed types and the extension table
// exactly their extensions, each with its type; the types without
// extensions are never chosen.
TEST(MimeTables, ExtensionTableMatchesTypeTable) {
  std::set<std::string> types;
  for (uint32_t i = 1; i < mime_type_count; ++i) types.insert(mime_types[i]);
  std::map<std::string, std::string> listed;
  std::set<std::string> without_extension;
  for (const auto& row : type_extensions) {
    EXPECT_EQ(types.count(row.type), 1u) << "\"" << row.type << "\" is not a row";
    std::istringstream words(row.extensions);
    bool any = false;
    for (std::string ext; words >> ext; any = true) EXPECT_TRUE(listed.emplace(ext, row.type).second) << ext;
    if (!any) without_extension.insert(row.type);
  }
  EXPECT_EQ(listed.size(), extension_count);
  std::set<std::string> chosen;
  for (uint32_t i = 0; i < extension_count; ++i) {
    const z_extension_t& row = extension_table[i];
    auto it = listed.find(row.ext);
    ASSERT_NE(it, listed.end()) << "\"" << row.ext << "\" is not in the type table";
    EXPECT_EQ(type_text(row.mime), it->second) << row.ext;
    chosen.insert(type_text(row.mime));
  }
  EXPECT_EQ(chosen.count("access/blocked"), 0u);
  for (const std::string& none : without_extension) EXPECT_EQ(chosen.count(none), 0u) << none;
  EXPECT_EQ(chosen.size() + without_extension.size(), std::size(type_extensions));
  // Every extension is found by the lookup, as it stands and in capitals.
  for (const auto& [ext, type] : listed) {
    std::u16string name = u"file.";
    std::u16string upper = u"FILE.";
    for (char c : ext) {
      name.push_back(static_cast<char16_t>(c));
      upper.push_back(static_cast<char16_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
    }
    EXPECT_EQ(type_text(lookup_mime_type(name.data(), name.data() + name.size())), type) << ext;
    EXPECT_EQ(type_text(lookup_mime_type(upper.data(), upper.data() + upper.size())), type) << ext;
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
  const char* expect;
  const char* expect_no_ext_blocked;  // the same name with no_ext_block set
};

// No extension list: the extension table alone decides.
TEST_F(LookupTest, ByExtension) {
  const lookup_case cases[] = {
      {"upper-case extension", u"report.PDF", "application/pdf", "application/pdf"},
      {"last dot counts", u"archive.tar.gz", "application/x-gzip", "application/x-gzip"},
      {"no dot", u"README", octet, blocked},
      {"empty range", u"", octet, blocked},
      {"empty extension", u"file.", octet, octet},
      {"unknown extension", u"file.xyz", octet, octet},
      {"eml", u"mail.eml", "message/rfc822", "message/rfc822"},
      {"eps", u"doc.eps", "application/postscript", "application/postscript"},
      {"epub", u"book.epub", "application/epub+zip", "application/epub+zip"},
      {"the row with the comma", u"song.ram,", "audio/vnd.rn-realaudio", "audio/vnd.rn-realaudio"},
      {"ram without the comma", u"song.ram", octet, octet},
      {"plus signs", u"main.c++", "text/plain", "text/plain"},
      {"whole path", u"/media/clips/clip.mp4", "video/mp4", "video/mp4"},
      {"trailing slash", u"/docs/", "text/html", "text/html"},
      {"trailing slash after a known name", u"/report.pdf/", "text/html", "text/html"},
      {"dot only at the start", u".gz", "application/x-gzip", "application/x-gzip"},
      // 14 units after the dot: inside the window, but no such extension.
      {"14-unit extension", u"x.abcdefghijklmn", octet, octet},
      // 15 units after the dot: the dot lies outside the window.
      {"15-unit extension", u"x.abcdefghijklmno", octet, blocked},
      {"dot in a folder inside the window", u"/v1.2/readme", octet, octet},
      {"dot in a folder outside the window", u"/v1.2/readme-long-name", octet, blocked},
      {"folder dot is the last dot", u"/x.gz/pdf", octet, octet},
      {"short name: the whole of it is the window", u"a.pdf", "application/pdf", "application/pdf"},
      // Eight two-byte letters need 16 bytes and their NUL: no extension text.
      {"extension too long in UTF-8", u"f.\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9", octet, octet},
  };
  for (const lookup_case& c : cases) {
    SCOPED_TRACE(c.label);
    const char16_t* start = c.path.data();
    const char16_t* end = start + c.path.size();
    ext_list.no_ext_block = 0;
    EXPECT_EQ(type_text(lookup_mime_type(start, end)), c.expect);
    ext_list.no_ext_block = 1;
    EXPECT_EQ(type_text(lookup_mime_type(start, end)), c.expect_no_ext_blocked) << "with no_ext_block";
  }
}

TEST_F(LookupTest, RangeNeedNotBeTerminated) {
  const char16_t text[] = u"clip.mp4.txt/";
  EXPECT_EQ(type_text(lookup_mime_type(text, text + 8)), "video/mp4");
  EXPECT_EQ(type_text(lookup_mime_type(text, text + 12)), "text/plain");
  EXPECT_EQ(type_text(lookup_mime_type(text, text + 4)), octet);
}

struct list_case {
  const char* label;
  const char16_t* path;
  const char* expect;
};

TEST_F(LookupTest, AllowList) {
  ASSERT_EQ(parse_ext_block(ext_list, u"htm mp3 png pdf \u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9", false), 0);
  const list_case cases[] = {
      {"not allowed", u"clip.mp4", blocked},
      {"allowed", u"x.htm", "text/html"},
      {"allowed, upper case", u"x.PNG", "image/png"},
      {"allowed but not in the table", u"x.\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9", octet},
      {"not allowed, not in the table", u"x.xyz", blocked},
      {"folder dot gives an unlisted extension", u"/v1.2/readme", blocked},
      {"no extension is not refused by the list", u"README", octet},
      {"empty extension is not refused", u"file.", octet},
      {"too long in UTF-8 is not refused", u"f.\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9", octet},
      {"trailing slash", u"/dir.mp4/", "text/html"},
  };
  for (const list_case& c : cases) {
    SCOPED_TRACE(c.label);
    std::u16string path(c.path);
    EXPECT_EQ(type_text(lookup_mime_type(path.data(), path.data() + path.size())), c.expect);
  }
}

TEST_F(LookupTest, BlockList) {
  ASSERT_EQ(parse_ext_block(ext_list, u"key p7b pem", true), 0);
  const list_case cases[] = {
      {"blocked", u"key.pem", blocked},
      {"blocked, upper case", u"KEY.PEM", blocked},
      {"blocked, not in the table", u"id.key", blocked},
      {"served", u"key.crt", "application/x-x509-ca-cert"},
      {"served, not in the table", u"x.xyz", octet},
      {"no extension", u"README", octet},
  };
  for (const list_case& c : cases) {
    SCOPED_TRACE(c.label);
    std::u16string path(c.path);
    EXPECT_EQ(type_text(lookup_mime_type(path.data(), path.data() + path.size())), c.expect);
  }
}

}  // namespace
}  // namespace qm
