// The carried files: their records, groups, lookups and the bytes themselves.
#include "content/resources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "content/header.h"
#include "tests/support/client.h"

namespace qm {
namespace {

std::string bytes_of(const z_resource_t& r) { return std::string(reinterpret_cast<const char*>(r.data), r.size); }

const z_resource_t* by_install_path(const char* path) {
  for (const z_resource_t& r : resource_table) {
    if (std::strcmp(r.install_path, path) == 0) return &r;
  }
  return nullptr;
}

class Resources : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sort_resource_groups(); }
};

// ------------------------------------------------------------- records ---

struct record_row {
  const char* install_path;
  const char* lookup_path;
  const char* file_name;
  int32_t mime;
  int32_t charset;
  const char* last_modified;
};

const record_row records[] = {
    {"/quillmere/icon.16/0-default.png", "icon.16/0-default.png", "0-default.png", mime_png, charset_none,
     "Thu, 17 Sep 2015 22:17:34 GMT"},
    {"/quillmere/icon.16/audio.png", "icon.16/audio.png", "audio.png", mime_png, charset_none,
     "Thu, 17 Sep 2015 21:52:38 GMT"},
    {"/quillmere/icon.16/z-folder-h.png", "icon.16/z-folder-h.png", "z-folder-h.png", mime_png, charset_none,
     "Fri, 18 Sep 2015 09:04:07 GMT"},
    {"/quillmere/icon.16/z-folder-v.png", "icon.16/z-folder-v.png", "z-folder-v.png", mime_png, charset_none,
     "Tue, 15 May 2007 18:01:00 GMT"},
    {"/quillmere/icon.16/img.png", "icon.16/img.png", "img.png", mime_png, charset_none,
     "Thu, 17 Sep 2015 22:00:39 GMT"},
    {"/quillmere/icon.16/text.png", "icon.16/text.png", "text.png", mime_png, charset_none,
     "Thu, 17 Sep 2015 22:15:35 GMT"},
    {"/quillmere/icon.16/video.png", "icon.16/video.png", "video.png", mime_png, charset_none,
     "Thu, 17 Sep 2015 21:16:33 GMT"},
    {"/quillmere/icon.32/0-default.png", "icon.32/0-default.png", "0-default.png", mime_png, charset_none,
     "Fri, 18 Sep 2015 08:01:10 GMT"},
    {"/quillmere/icon.32/audio.png", "icon.32/audio.png", "audio.png", mime_png, charset_none,
     "Fri, 18 Sep 2015 07:58:29 GMT"},
    {"/quillmere/icon.32/z-folder-h.png", "icon.32/z-folder-h.png", "z-folder-h.png", mime_png, charset_none,
     "Fri, 18 Sep 2015 08:47:14 GMT"},
    {"/quillmere/icon.32/z-folder-v.png", "icon.32/z-folder-v.png", "z-folder-v.png", mime_png, charset_none,
     "Tue, 15 May 2007 18:01:00 GMT"},
    {"/quillmere/icon.32/img.png", "icon.32/img.png", "img.png", mime_png, charset_none,
     "Fri, 18 Sep 2015 08:00:19 GMT"},
    {"/quillmere/icon.32/text.png", "icon.32/text.png", "text.png", mime_png, charset_none,
     "Fri, 18 Sep 2015 08:01:34 GMT"},
    {"/quillmere/icon.32/video.png", "icon.32/video.png", "video.png", mime_png, charset_none,
     "Fri, 18 Sep 2015 07:53:27 GMT"},
    {"/quillmere/lib-debug.js", "lib-debug.js", "lib-debug.js", mime_javascript, charset_utf8,
     "Thu, 13 Jun 2019 08:59:39 GMT"},
    {"/quillmere/media.js", "media.js", "media.js", mime_javascript, charset_utf8, "Wed, 29 Dec 2021 23:14:29 GMT"},
    {"/quillmere/theme.css", "theme.css", "theme.css", mime_css, charset_utf8, "Wed, 29 Dec 2021 21:24:59 GMT"},
    {"/quillmere/visual-test.htm", "visual-test.htm", "visual-test.htm", mime_html, charset_utf8,
     "Fri, 25 Mar 2016 19:06:10 GMT"},
    {"/quillmere.ico", "quillmere.ico", "quillmere.ico", mime_icon, charset_none, "Thu, 30 Apr 2015 17:02:34 GMT"},
    {"/quillmere.t.ico", "quillmere.t.ico", "quillmere.t.ico", mime_icon, charset_none,
     "Fri, 17 Apr 2015 21:47:56 GMT"},
    {"/Program Files/z_quillmere/z_quillmere.ini", "z_quillmere/z_quillmere.ini", "z_quillmere.ini", mime_plain,
     charset_utf16, "Wed, 08 Dec 2021 00:54:27 GMT"},
    {"/etc/z_quillmere/z_quillmere.ini", "z_quillmere/z_quillmere.ini", "z_quillmere.ini", mime_plain, charset_none,
     "Wed, 08 Dec 2021 00:54:35 GMT"},
    {"/etc/z_quillmere/z_quillmere.iphone.ini", "z_quillmere/z_quillmere.iphone.ini", "z_quillmere.iphone.ini",
     mime_plain, charset_none, "Wed, 08 Dec 2021 00:54:33 GMT"},
    {"/etc/z_quillmere/z_quillmere.openwrt.ini", "z_quillmere/z_quillmere.openwrt.ini", "z_quillmere.openwrt.ini",
     mime_plain, charset_none, "Wed, 08 Dec 2021 00:54:30 GMT"},
    {"/etc/init.d/z_quillmere", "init.d/z_quillmere", "z_quillmere", mime_octet_stream, charset_none,
     "Sun, 23 Jun 2019 05:01:18 GMT"},
    {"/etc/init.d/z_quillmere.openwrt", "init.d/z_quillmere.openwrt", "z_quillmere.openwrt", mime_octet_stream,
     charset_none, "Thu, 19 Dec 2019 21:54:39 GMT"},
    {"/etc/rc.d/z_quillmere", "rc.d/z_quillmere", "z_quillmere", mime_octet_stream, charset_none,
     "Thu, 20 Jun 2019 08:13:32 GMT"},
    {"/Library/LaunchDaemons/com.example.quillmere.plist", "LaunchDaemons/com.example.quillmere.plist",
     "com.example.quillmere.plist", mime_octet_stream, charset_none, "Fri, 28 Jun 2019 06:23:11 GMT"},
};

std::string utf16_to_ascii(const char16_t* text) {
  std::string out;
  for (; *text; ++text) out += static_cast<char>(*text);
  return out;
}

TEST_F(Resources, EveryRecordCarriesItsPathsTypeAndDate) {
  ASSERT_EQ(std::size(records), resource_count);
  for (const record_row& row : records) {
    SCOPED_TRACE(row.install_path);
    const z_resource_t* r = by_install_path(row.install_path);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->sort_key, row.install_path + 1);
    EXPECT_STREQ(r->lookup_path, row.lookup_path);
    EXPECT_STREQ(r->file_name, row.file_name);
    EXPECT_EQ(utf16_to_ascii(r->wide_name), row.file_name);
    EXPECT_EQ(r->mime, row.mime);
    EXPECT_EQ(r->charset, row.charset);
    EXPECT_STREQ(r->last_modified, row.last_modified);
    EXPECT_GT(r->size, 0u);
    ASSERT_NE(r->data, nullptr);
  }
}

TEST_F(Resources, DatesAreImfFixdatesOfTheirTimes) {
  for (const z_resource_t& r : resource_table) {
    SCOPED_TRACE(r.install_path);
    EXPECT_EQ(std::strlen(r.last_modified), 29u);
    uint64_t time = 0;
    ASSERT_TRUE(parse_http_date(r.last_modified, &time));
    EXPECT_EQ(time, r.last_write);
    EXPECT_GT(r.last_write, 0u);
  }
}

// The embedding must reproduce the carried files byte for byte.
TEST_F(Resources, EmbeddedBytesEqualTheCarriedFiles) {
  for (const z_resource_t& r : resource_table) {
    SCOPED_TRACE(r.install_path);
    std::ifstream in(std::string(QM_SOURCE_DIR) + "/content/resources" + r.install_path, std::ios::binary);
    ASSERT_TRUE(in.good());
    std::string on_disk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes_of(r), on_disk);
  }
}

// -------------------------------------------------------------- groups ---

TEST_F(Resources, GroupsAreSortedAndHoldTheirRecords) {
  struct row {
    const char* name;
    const z_resource_t* const* items;
    uint32_t count;
    uint32_t expected_count;
    const char* prefix;
  };
  const row groups[] = {
      {"web", web_resources, web_resource_count, 18, "/quillmere/"},
      {"favicons", favicons, favicon_count, 2, "/quillmere."},
      {"etc", etc_resources, etc_resource_count, 6, "/etc/"},
      {"launchd", launchd_resources, launchd_resource_count, 1, "/Library/LaunchDaemons/"},
      {"windows", windows_config, windows_config_count, 1, "/Program Files/"},
  };
  uint32_t total = 0;
  for (const row& g : groups) {
    SCOPED_TRACE(g.name);
    EXPECT_EQ(g.count, g.expected_count);
    total += g.count;
    for (uint32_t i = 0; i < g.count; ++i) {
      EXPECT_EQ(std::strncmp(g.items[i]->install_path, g.prefix, std::strlen(g.prefix)), 0) << g.items[i]->install_path;
      if (i > 0) {
        EXPECT_LT(std::strcmp(g.items[i - 1]->sort_key, g.items[i]->sort_key), 0) << g.items[i]->sort_key;
      }
    }
  }
  EXPECT_EQ(total, resource_count);
  // every record belongs to exactly one group
  for (const z_resource_t& r : resource_table) {
    int seen = 0;
    for (const z_resource_group_t& g : resource_groups) {
      for (uint32_t i = 0; i < g.count; ++i) seen += g.items[i] == &r;
    }
    EXPECT_EQ(seen, 1) << r.install_path;
  }
  // a second sort changes nothing
  std::vector<const z_resource_t*> before(web_resources, web_resources + web_resource_count);
  sort_resource_groups();
  EXPECT_EQ(before, std::vector<const z_resource_t*>(web_resources, web_resources + web_resource_count));
  EXPECT_STREQ(favicons[0]->file_name, "quillmere.ico");
}

TEST_F(Resources, FindWebResourceFindsEveryWebRecordByExactPath) {
  int found = 0;
  for (const record_row& row : records) {
    if (std::strncmp(row.install_path, "/quillmere/", 11) != 0) continue;
    SCOPED_TRACE(row.lookup_path);
    const z_resource_t* r = find_web_resource(row.lookup_path);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->install_path, row.install_path);
    // the counted form, cut out of a longer target
    std::string target = std::string("/quillmere/") + row.lookup_path + " HTTP/1.1";
    EXPECT_EQ(find_web_resource(target.c_str() + 11, std::strlen(row.lookup_path)), r);
    ++found;
  }
  EXPECT_EQ(found, 18);

  const char* refused[] = {"Theme.css",       "theme.css/", "theme.cs",   "theme.css.gz",       "",
                           "icon.16/",        "icon.16",    "ICON.16/audio.png", "icon.16/audio.png ",
                           "quillmere.ico",   "/theme.css", "icon.64/audio.png", "z_quillmere/z_quillmere.ini"};
  for (const char* path : refused) EXPECT_EQ(find_web_resource(path), nullptr) << '"' << path << '"';
  EXPECT_EQ(find_web_resource(nullptr), nullptr);
  // a counted key with an embedded NUL never matches a shorter path
  const char with_nul[] = "theme.css\0x";
  EXPECT_EQ(find_web_resource(with_nul, sizeof with_nul - 1), nullptr);
  EXPECT_EQ(find_web_resource("theme.cssx", 9), find_web_resource("theme.css"));
}

TEST_F(Resources, NamedRecords) {
  EXPECT_STREQ(favicon_resource()->install_path, "/quillmere.ico");
  EXPECT_STREQ(default_config_resource()->install_path, "/Program Files/z_quillmere/z_quillmere.ini");
  EXPECT_EQ(std::u16string(default_config_resource()->wide_name), u"z_quillmere.ini");
}

// ------------------------------------------------------------ contents ---

TEST_F(Resources, WebTextFilesBeginWithByteOrderMark) {
  for (const char* path : {"lib-debug.js", "media.js", "theme.css", "visual-test.htm"}) {
    SCOPED_TRACE(path);
    const z_resource_t* r = find_web_resource(path);
    ASSERT_NE(r, nullptr);
    ASSERT_GT(r->size, 3u);
    EXPECT_EQ(bytes_of(*r).substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_EQ(r->charset, charset_utf8);
  }
}

// The text a missing configuration file is created with.
const char16_t default_ini_text[] =
    u"root=c:\\inetpub\\wwwroot\r\n"
    u"port=80\r\n"
    u"# user=nobody\r\n"
    u"# tls_cer=quillmere.pem\r\n"
    u"# tls_key=quillmere.pem\r\n"
    u"# tls_min_bits_ec=384\r\n"
    u"# tls_no_weak_ciphers=1\r\n"
    u"# upgrade_hsts=1\r\n"
    u"upgrade_https=1\r\n"
    u"# list_directories=1\r\n"
    u"# min_gz=1\r\n"
    u"\r\n"
    u"vdir=\r\n"
    u"{\r\n"
    u"\t# dir|path|[user]\r\n"
    u"}\r\n"
    u"\r\n"
    u"ext=allow\r\n"
    u"{\r\n"
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
    u"\tcap pcap pcapng\r\n"
    u"}\r\n"
    u"\r\n"
    u"# ext=block\r\n"
    u"{\r\n"
    u"\tkey p7b pem\r\n"
    u"\t# cat cer crl crt der dll dylib exe so\r\n"
    u"\t# a com cpl idb ilk log lnk manifest o obj pch pdb pif res scr sys tmp\r\n"
    u"\t# asp aspx bat class cmd hta jar java php php3 pl py pyc sh vb vbs wsh\r\n"
    u"\t# conf config db inf ini htaccess rdp reg\r\n"
    u"}\r\n"
    u"\r\n"
    u"# ext_no_ext=block\r\n";

TEST_F(Resources, DefaultConfigurationIsExactUtf16Text) {
  const z_resource_t* r = default_config_resource();
  ASSERT_EQ(r->size, 2620u);
  const uint8_t* p = r->data;
  EXPECT_EQ(p[0], 0xFF);
  EXPECT_EQ(p[1], 0xFE);
  std::u16string text;
  for (uint32_t i = 2; i + 1 < r->size; i += 2) text += static_cast<char16_t>(p[i] | (p[i + 1] << 8));
  EXPECT_EQ(text.size(), 1309u);
  EXPECT_TRUE(text == default_ini_text);
  // every LF is preceded by CR, and the text ends in CR LF
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\n') {
      EXPECT_EQ(text[i - 1], u'\r') << "at unit " << i;
    }
  }
  EXPECT_EQ(text.substr(text.size() - 2), u"\r\n");
  // exactly the 17 lines inside the three blocks begin with one tab
  size_t tabbed = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((i == 0 || text[i - 1] == u'\n') && text[i] == u'\t') {
      ++tabbed;
      EXPECT_NE(text[i + 1], u'\t');
    }
  }
  EXPECT_EQ(tabbed, 1u + 11u + 5u);
}

// ---------------------------------------------------------------- images ---

uint32_t crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

uint32_t be32(const uint8_t* p) { return (uint32_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3]; }
uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24); }
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

struct png_info {
  bool valid = false;
  uint32_t width = 0, height = 0;
  uint8_t depth = 0, colour = 0;
  std::string fault;
};

// Walks every chunk, checking lengths and CRCs; IHDR first, IDAT present,
// IEND last.
png_info parse_png(const uint8_t* p, size_t n) {
  png_info info;
  static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (n < 8 || std::memcmp(p, signature, 8) != 0) return info.fault = "signature", info;
  size_t at = 8;
  bool idat = false, iend = false, first = true;
  while (at + 12 <= n && !iend) {
    uint32_t length = be32(p + at);
    if (length > n - at - 12) return info.fault = "chunk length", info;
    std::string kind(reinterpret_cast<const char*>(p + at + 4), 4);
    if (crc32(p + at + 4, length + 4) != be32(p + at + 8 + length)) return info.fault = "crc of " + kind, info;
    const uint8_t* body = p + at + 8;
    if (first != (kind == "IHDR")) return info.fault = "IHDR not first", info;
    if (kind == "IHDR") {
      if (length != 13) return info.fault = "IHDR length", info;
      info.width = be32(body);
      info.height = be32(body + 4);
      info.depth = body[8];
      info.colour = body[9];
    }
    idat |= kind == "IDAT";
    iend = kind == "IEND";
    first = false;
    at += 12 + length;
  }
  if (!idat || !iend || at != n) return info.fault = "IDAT/IEND or trailing bytes", info;
  info.valid = true;
  return info;
}

TEST_F(Resources, EveryIconIsAValidPngOfItsSize) {
  int icons = 0;
  for (const z_resource_t& r : resource_table) {
    if (r.mime != static_cast<int32_t>(mime_png)) continue;
    SCOPED_TRACE(r.install_path);
    png_info info = parse_png(r.data, r.size);
    ASSERT_TRUE(info.valid) << info.fault;
    // the second folder form is the 16x16 image in both folders
    bool big = std::strncmp(r.lookup_path, "icon.32/", 8) == 0 && std::strcmp(r.file_name, "z-folder-v.png") != 0;
    uint32_t size = big ? 32 : 16;
    EXPECT_EQ(info.width, size);
    EXPECT_EQ(info.height, size);
    EXPECT_EQ(info.depth, 8);
    EXPECT_EQ(info.colour, 6);  // RGBA
    ++icons;
  }
  EXPECT_EQ(icons, 14);
  EXPECT_EQ(bytes_of(*find_web_resource("icon.16/z-folder-v.png")), bytes_of(*find_web_resource("icon.32/z-folder-v.png")));
  EXPECT_NE(bytes_of(*find_web_resource("icon.16/audio.png")), bytes_of(*find_web_resource("icon.32/audio.png")));
}

TEST_F(Resources, EachFaviconHoldsTenImagesFrom16To48PixelsAnd1To32Bits) {
  for (const z_resource_t* r : favicons) {
    SCOPED_TRACE(r->install_path);
    const uint8_t* p = r->data;
    ASSERT_GE(r->size, 6u);
    EXPECT_EQ(le16(p), 0);
    EXPECT_EQ(le16(p + 2), 1);  // icon
    uint16_t count = le16(p + 4);
    ASSERT_EQ(count, 10);
    ASSERT_GE(r->size, 6u + 16u * count);
    uint32_t min_size = 999, max_size = 0, min_bits = 999, max_bits = 0;
    bool has_png = false, has_bmp = false;
    for (uint16_t i = 0; i < count; ++i) {
      SCOPED_TRACE("image " + std::to_string(i));
      const uint8_t* e = p + 6 + 16 * i;
      uint32_t size = e[0] ? e[0] : 256;
      uint32_t bits = le16(e + 6);
      uint32_t bytes = le32(e + 8), offset = le32(e + 12);
      ASSERT_EQ(e[0], e[1]);
      ASSERT_LE(offset, r->size);
      ASSERT_LE(bytes, r->size - offset);
      const uint8_t* img = p + offset;
      if (bytes >= 8 && img[0] == 0x89) {
        png_info info = parse_png(img, bytes);
        ASSERT_TRUE(info.valid) << info.fault;
        EXPECT_EQ(info.width, size);
        EXPECT_EQ(info.height, size);
        EXPECT_EQ(bits, 32u);
        has_png = true;
      } else {
        ASSERT_GE(bytes, 40u);
        EXPECT_EQ(le32(img), 40u);
        EXPECT_EQ(le32(img + 4), size);
        EXPECT_EQ(le32(img + 8), 2 * size);  // colour rows and AND mask
        EXPECT_EQ(le16(img + 14), bits);
        uint32_t palette = bits <= 8 ? (4u << bits) : 0;
        uint32_t colour_row = ((size * bits + 31) / 32) * 4;
        uint32_t mask_row = ((size + 31) / 32) * 4;
        EXPECT_EQ(bytes, 40 + palette + size * (colour_row + mask_row));
        EXPECT_EQ(e[2], bits < 8 ? (1u << bits) : 0u);
        has_bmp = true;
      }
      min_size = std::min(min_size, size);
      max_size = std::max(max_size, size);
      min_bits = std::min(min_bits, bits);
      max_bits = std::max(max_bits, bits);
    }
    EXPECT_EQ(min_size, 16u);
    EXPECT_EQ(max_size, 48u);
    EXPECT_EQ(min_bits, 1u);
    EXPECT_EQ(max_bits, 32u);
    EXPECT_TRUE(has_png && has_bmp);
  }
}

// Below 32 bits an icon has no alpha: the AND mask alone makes pixels
// transparent, and the colour under a mask bit is XORed onto the screen, so it
// must be black. A 32-bit image's mask must agree with its alpha for programs
// that draw with the mask.
TEST_F(Resources, FaviconMasksAgreeWithTheirImages) {
  for (const z_resource_t* r : favicons) {
    SCOPED_TRACE(r->install_path);
    const uint8_t* p = r->data;
    for (uint16_t i = 0; i < le16(p + 4); ++i) {
      SCOPED_TRACE("image " + std::to_string(i));
      const uint8_t* e = p + 6 + 16 * i;
      const uint8_t* img = p + le32(e + 12);
      if (img[0] == 0x89) continue;  // PNG: alpha only
      uint32_t size = e[0], bits = le16(img + 14);
      uint32_t palette = bits <= 8 ? (4u << bits) : 0;
      uint32_t colour_row = ((size * bits + 31) / 32) * 4;
      uint32_t mask_row = ((size + 31) / 32) * 4;
      const uint8_t* colours = img + 40 + palette;
      const uint8_t* mask = colours + size * colour_row;
      uint32_t masked = 0;
      for (uint32_t y = 0; y < size; ++y) {
        for (uint32_t x = 0; x < size; ++x) {
          bool bit = (mask[y * mask_row + x / 8] >> (7 - x % 8)) & 1;
          masked += bit;
          const uint8_t* row = colours + y * colour_row;
          if (bits == 32) {
            uint8_t alpha = row[4 * x + 3];
            if (bit) {
              EXPECT_LT(alpha, 128) << x << "," << y;
            }
            if (alpha == 0) {
              EXPECT_TRUE(bit) << x << "," << y;
            }
          } else if (bit) {
            uint32_t at = x * bits;
            uint32_t index = (row[at / 8] >> (8 - bits - at % 8)) & ((1u << bits) - 1);
            const uint8_t* rgb = img + 40 + 4 * index;
            EXPECT_EQ(rgb[0] | rgb[1] | rgb[2], 0) << "masked pixel " << x << "," << y << " is not black";
          }
        }
      }
      // something is drawn, and not every pixel (both forms leave the
      // corners transparent)
      EXPECT_LT(masked, size * size);
      EXPECT_GT(masked, 0u);
    }
  }
}

// ------------------------------------------------------- service files ---

std::string write_temp(const std::string& folder, const z_resource_t& r) {
  std::string path = folder + "/" + r.file_name;
  std::ofstream(path, std::ios::binary) << bytes_of(r);
  return path;
}

// The scripts parse as POSIX shell, the property list as a property list, and
// all of them start the server under the service name z_quillmere (so that it
// reads z_quillmere.ini) with the settings file carried for their system.
TEST_F(Resources, ServiceFilesAreWellFormedAndAgreeWithTheSettings) {
  const struct {
    const char* install_path;
    const char* settings;
    const char* name;        // where the service name is set
    const char* invocation;  // the server's argument
  } rows[] = {
      {"/etc/init.d/z_quillmere", "/etc/z_quillmere/z_quillmere.ini", "\nNAME=z_quillmere\n", "\"-d:$NAME::\""},
      {"/etc/init.d/z_quillmere.openwrt", "/etc/z_quillmere/z_quillmere.openwrt.ini", "\nNAME=z_quillmere\n",
       "\"-d:$NAME::\""},
      {"/etc/rc.d/z_quillmere", "/etc/z_quillmere/z_quillmere.ini", "\nname=\"z_quillmere\"\n", " -d:${name}::\""},
      {"/Library/LaunchDaemons/com.example.quillmere.plist", "/etc/z_quillmere/z_quillmere.ini", "", ""},
  };
  std::string folder = test::temp_folder("service-files");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.install_path);
    const z_resource_t* r = by_install_path(row.install_path);
    ASSERT_NE(r, nullptr);
    std::string text = bytes_of(*r);
    std::string path = write_temp(folder, *r);
    if (std::strstr(row.install_path, ".plist") != nullptr) {
      EXPECT_EQ(test::run("python3 -c 'import plistlib, sys; d = plistlib.load(open(sys.argv[1], \"rb\")); "
                          "sys.exit(0 if d[\"Label\"] and d[\"ProgramArguments\"][1:] == [\"-d:z_quillmere::\"] "
                          "else 1)' '" + path + "'"),
                0);
    } else {
      EXPECT_EQ(text.compare(0, 9, "#!/bin/sh"), 0);
      EXPECT_EQ(test::run("sh -n '" + path + "'"), 0);
      EXPECT_NE(text.find(row.name), std::string::npos) << row.name;
      EXPECT_NE(text.find(row.invocation), std::string::npos) << row.invocation;
    }
    EXPECT_NE(text.find(row.settings), std::string::npos) << row.settings;
  }
  test::run("rm -rf '" + folder + "'");
}

}  // namespace
}  // namespace qm
