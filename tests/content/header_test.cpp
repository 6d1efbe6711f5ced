// The header block, HTTP dates, decimal numbers and UTF-16 to UTF-8.
#include "content/header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/config.h"
#include "content/resources.h"
#include "core/engine.h"

namespace qm {
namespace {

std::string lines_of(const std::string& block) {
  // The header names in order, one per line, without values.
  std::string names;
  size_t at = 0;
  while (at < block.size()) {
    size_t end = block.find("\r\n", at);
    std::string line = block.substr(at, end - at);
    size_t colon = line.find(':');
    names += (colon == std::string::npos ? line : line.substr(0, colon)) + "|";
    at = end + 2;
  }
  return names;
}

std::string build(const Z_RESPONSE& r, uint32_t status, uint32_t mime, uint64_t length, bool keep_alive, bool bare,
                  const z_range* range = nullptr, const uint64_t* file_time = nullptr,
                  const z_resource_t* resource = nullptr, const char* charset = nullptr,
                  const char* location = nullptr) {
  char out[4096];
  uint64_t n = build_header(r, out, sizeof out, status, mime, length, keep_alive, bare, range, file_time, resource,
                            charset, location);
  return std::string(out, n);
}

TEST(Header, FileResponseLinesInOrder) {
  Z_RESPONSE r;
  uint64_t file_time = 132833984750000000ull;  // 2021-12-08 00:54:35 UTC
  z_range range{0, 999};
  std::string h = build(r, status_200, 90, 1000, true, false, &range, &file_time, nullptr, "utf-8");
  EXPECT_EQ(lines_of(h), "HTTP/1.1 200 OK|Server|Content-Type|Date|Expires|Last-Modified|Connection|"
                         "Accept-Ranges|Content-Length||");
  EXPECT_NE(h.find("\r\nContent-Type: text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_NE(h.find("\r\nLast-Modified: Wed, 8 Dec 2021 0:54:35 GMT\r\n"), std::string::npos);
  EXPECT_NE(h.find("\r\nServer: quillmere.example.com\r\n"), std::string::npos);
  EXPECT_NE(h.find("\r\nContent-Length: 1000\r\n\r\n"), std::string::npos);
}

TEST(Header, StatusPageIsBare) {
  Z_RESPONSE r;
  std::string h = build(r, status_404, 94, 37, false, true);
  EXPECT_EQ(lines_of(h), "HTTP/1.1 404 Not Found|Server|Content-Type|Connection|Content-Length||");
  r.over_tls = 1;
  effective.upgrade_hsts = false;
  h = build(r, status_302, 90, 10, true, true, nullptr, nullptr, nullptr, nullptr, "/docs/");
  EXPECT_EQ(lines_of(h), "HTTP/1.1 302 Found|Server|Content-Type|Location|Strict-Transport-Security|Connection|"
                         "Content-Length||");
  EXPECT_NE(h.find("\r\nStrict-Transport-Security: max-age=0\r\n"), std::string::npos);
  effective.upgrade_hsts = true;
  h = build(r, status_404, 94, 37, false, true);
  EXPECT_NE(h.find("\r\nStrict-Transport-Security: max-age=63072000; includeSubDomains; preload\r\n"),
            std::string::npos);
  effective.upgrade_hsts = false;
}

TEST(Header, LocationOnlyWhenBareAndNeverWithALineBreak) {
  Z_RESPONSE r;
  EXPECT_EQ(build(r, status_200, 90, 1, true, false, nullptr, nullptr, nullptr, nullptr, "/x").find("Location"),
            std::string::npos);
  EXPECT_EQ(build(r, status_302, 90, 1, true, true, nullptr, nullptr, nullptr, nullptr, "/x\r\nSet-Cookie: a"), "");
}

TEST(Header, RangesAndChunks) {
  Z_RESPONSE r;
  z_range range{0, 99};
  std::string partial = build(r, status_206, 94, 1000, true, false, &range);
  EXPECT_NE(partial.find("\r\nAccept-Ranges: bytes\r\nContent-Range: bytes 0-99/1000\r\nContent-Length: 100\r\n"),
            std::string::npos);
  std::string whole = build(r, status_200, 94, 1000, true, false, &range);
  EXPECT_EQ(whole.find("Content-Range"), std::string::npos);
  EXPECT_NE(whole.find("\r\nAccept-Ranges: bytes\r\nContent-Length: 1000\r\n"), std::string::npos);
  z_range bad{0, 999};
  std::string unsatisfiable = build(r, status_416, 94, 1000, false, false, &bad);
  EXPECT_NE(unsatisfiable.find("Content-Range: bytes 0-999/1000\r\n"), std::string::npos);
  std::string chunked = build(r, status_200, 90, length_chunked, true, false);
  EXPECT_NE(chunked.find("\r\nTransfer-Encoding: chunked\r\n\r\n"), std::string::npos);
  EXPECT_EQ(chunked.find("Content-Length"), std::string::npos);
}

TEST(Header, ContentEncodingAndResourceDate) {
  Z_RESPONSE r;
  r.encoding_br = 1;
  r.encoding_gzip = 1;
  z_resource_t resource{};
  std::strcpy(resource.last_modified, "Wed, 29 Dec 2021 21:24:59 GMT");
  std::string h = build(r, status_200, 89, 5, true, false, nullptr, nullptr, &resource);
  EXPECT_NE(h.find("\r\nContent-Encoding: br\r\n"), std::string::npos);
  EXPECT_EQ(h.find("gzip"), std::string::npos);
  EXPECT_NE(h.find("\r\nLast-Modified: Wed, 29 Dec 2021 21:24:59 GMT\r\n"), std::string::npos);
}

TEST(Header, EveryShortRoomFailsWithoutWritingPastIt) {
  Z_RESPONSE r;
  uint64_t file_time = 132833984750000000ull;
  z_range range{5, 10};
  char full[4096];
  uint64_t need = build_header(r, full, sizeof full, status_206, 90, 100, true, false, &range, &file_time, nullptr,
                               "utf-8", nullptr);
  ASSERT_GT(need, 0u);
  for (uint64_t room = 0; room < need; ++room) {
    char out[4096];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(build_header(r, out, room, status_206, 90, 100, true, false, &range, &file_time, nullptr, "utf-8",
                           nullptr),
              0u)
        << room;
    for (uint64_t i = room; i < sizeof out; ++i) ASSERT_EQ(out[i], '#') << "room " << room << " byte " << i;
  }
  char exact[4096];
  EXPECT_EQ(build_header(r, exact, need, status_206, 90, 100, true, false, &range, &file_time, nullptr, "utf-8",
                         nullptr),
            need);
}

TEST(HttpDate, KnownInstantsAndPadding) {
  struct row {
    os::z_tm time;
    const char* text;
  };
  const row rows[] = {
      {{35, 54, 0, 8, 11, 121, 3}, "Wed, 8 Dec 2021 0:54:35 GMT"},
      {{18, 1, 5, 23, 5, 119, 0}, "Sun, 23 Jun 2019 5:01:18 GMT"},
      {{59, 24, 21, 29, 11, 121, 3}, "Wed, 29 Dec 2021 21:24:59 GMT"},
      {{0, 0, 0, 1, 0, 70, 4}, "Thu, 1 Jan 1970 0:00:00 GMT"},
  };
  for (const row& r : rows) {
    char out[30];
    uint64_t n = format_http_date(r.time, out, sizeof out);
    EXPECT_STREQ(out, r.text);
    EXPECT_EQ(n, std::strlen(r.text));
  }
  char small[29];
  EXPECT_EQ(format_http_date(rows[0].time, small, sizeof small), 0u);
}

TEST(Decimal, RoomRules) {
  struct row {
    uint64_t value;
    uint64_t room;
    int result;
    const char* text;
  };
  const row rows[] = {{0, 2, 0, "0"},   {0, 1, -1, ""},          {12345, 6, 0, "12345"}, {12345, 5, -1, ""},
                      {7, 0, -1, ""},   {18446744073709551615ull, 21, 0, "18446744073709551615"}};
  for (const row& r : rows) {
    char out[32] = {};
    char* cursor = out;
    EXPECT_EQ(write_decimal(cursor, r.room, r.value), r.result) << r.value << " in " << r.room;
    EXPECT_STREQ(out, r.text);
    EXPECT_EQ(cursor, out + std::strlen(r.text));
  }
}

TEST(Utf16ToUtf8, FormsSurrogatesAndRoom) {
  struct row {
    const char* label;
    std::u16string in;
    std::string out;
  };
  const row rows[] = {
      {"ascii", u"abc", "abc"},
      {"two and three bytes", u"\u00e9\u20ac", "\xc3\xa9\xe2\x82\xac"},
      {"a surrogate pair", u"\xd83d\xde00", "\xf0\x9f\x98\x80"},
      {"a lone low surrogate is dropped", u"a\xdc00" "b", "ab"},
      {"a high surrogate at the end ends the text", u"a\xd83d", "a"},
  };
  for (const row& r : rows) {
    char out[32];
    EXPECT_EQ(utf16_to_utf8(out, sizeof out, r.in.c_str()), r.out.size()) << r.label;
    EXPECT_EQ(std::string(out), r.out) << r.label;
  }
  char out[4];
  EXPECT_EQ(utf16_to_utf8(out, 4, u"abc"), 3u);
  EXPECT_EQ(utf16_to_utf8(out, 3, u"abc"), 0u);
  EXPECT_STREQ(out, "ab");
  EXPECT_EQ(utf16_to_utf8(out, 0, u"abc"), 0u);
  EXPECT_EQ(utf16_to_utf8(nullptr, 4, u"abc"), 0u);
}

}  // namespace
}  // namespace qm
