// The header builder, the HTTP date and the decimal writer.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "config/config.h"
#include "content/header.h"
#include "content/mime.h"
#include "content/resources.h"
#include "core/engine.h"

namespace qm {
namespace {

constexpr uint64_t dec_8_2021_005435 = 132833984750000000ull;  // Wed, 8 Dec 2021 0:54:35 GMT
constexpr uint64_t jun_23_2019_050118 = 132057396780000000ull; // Sun, 23 Jun 2019 5:01:18 GMT

const char* const hsts_long = "Strict-Transport-Security: max-age=63072000; includeSubDomains; preload";
const char* const hsts_off = "Strict-Transport-Security: max-age=0";

// The arguments of one build_header call, with the defaults of a plain 200.
struct z_call {
  uint32_t status = status_200;
  uint32_t mime = mime_html;
  uint64_t length = 0;
  bool keep_alive = false;
  bool bare = false;
  const z_range* range = nullptr;
  const uint64_t* file_time = nullptr;
  const z_resource_t* resource = nullptr;
  const char* charset = nullptr;
  const char* location = nullptr;
};

class HeaderTest : public ::testing::Test {
 protected:
  void TearDown() override { effective.upgrade_hsts = false; }

  uint64_t build(const z_call& c, char* out, uint64_t room) {
    return build_header(response, out, room, c.status, c.mime, c.length, c.keep_alive, c.bare, c.range,
                        c.file_time, c.resource, c.charset, c.location);
  }

  // The block as lines without their CR LF; fails the test when the block
  // is empty, not NUL-terminated, or a line lacks its CR LF.
  std::vector<std::string> lines(const z_call& c) {
    char out[2048];
    std::memset(out, 'x', sizeof out);
    uint64_t size = build(c, out, sizeof out);
    EXPECT_NE(size, 0u);
    EXPECT_EQ(out[size], '\0') << "NUL after the block";
    EXPECT_EQ(std::strlen(out), size);
    std::vector<std::string> result;
    std::string text(out, size);
    size_t at = 0;
    while (at < text.size()) {
      size_t crlf = text.find("\r\n", at);
      if (crlf == std::string::npos) {
        ADD_FAILURE() << "line without CR LF: " << text.substr(at);
        break;
      }
      result.push_back(text.substr(at, crlf - at));
      at = crlf + 2;
    }
    return result;
  }

  // Builds with every room from 0 to just past the full size into a buffer
  // with a canary behind the room: 0 and no byte past the room below the full
  // size; the block without its NUL at exactly the full size; the NUL once a
  // byte remains. changed tells that the clock moved to a date of another
  // length meanwhile.
  void sweep_rooms(const z_call& c, const char* label, bool& changed) {
    SCOPED_TRACE(label);
    static char out[2048 + 16];
    uint64_t full = build(c, out, 2048);
    ASSERT_NE(full, 0u);
    for (uint64_t room = 0; room <= full + 1; ++room) {
      std::memset(out, '#', sizeof out);
      uint64_t size = build(c, out, room);
      for (uint64_t i = room; i < sizeof out; ++i)
        ASSERT_EQ(out[i], '#') << "room " << room << ": written at " << i;
      if (room < full && size != 0) {
        changed = true;
        ASSERT_LT(size, full) << "room " << room;
        return;
      }
      if (room >= full && size != full) {
        changed = true;
        return;
      }
      if (room > full) {
        EXPECT_EQ(out[full], '\0');
      }
    }
  }

  Z_RESPONSE response;
};

std::string date_text(uint64_t file_time) {
  os::z_tm time;
  EXPECT_TRUE(os::filetime_to_tm(file_time, &time));
  char out[30];
  EXPECT_NE(format_http_date(time, out, sizeof out), 0u);
  return out;
}

uint64_t now_filetime() {
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
  return static_cast<uint64_t>(seconds) * 10000000 + os::filetime_unix_epoch;
}

// Every HTTP date from the second of before to the second of after.
std::vector<std::string> dates_between(uint64_t before, uint64_t after) {
  std::vector<std::string> result;
  for (uint64_t t = before; t <= after; t += 10000000) result.push_back(date_text(t));
  return result;
}

bool one_of(const std::string& text, const std::vector<std::string>& choices) {
  for (const auto& c : choices)
    if (text == c) return true;
  return false;
}

TEST_F(HeaderTest, FileResponseLinesInOrder) {
  uint64_t file_time = dec_8_2021_005435;
  z_call c;
  c.length = 1234;
  c.keep_alive = true;
  c.file_time = &file_time;
  c.charset = "utf-8";
  uint64_t before = now_filetime();
  auto got = lines(c);
  uint64_t after = now_filetime();
  ASSERT_EQ(got.size(), 9u);
  EXPECT_EQ(got[0], "HTTP/1.1 200 OK");
  EXPECT_EQ(got[1], "Server: quillmere.example.com");
  EXPECT_EQ(got[2], "Content-Type: text/html; charset=utf-8");
  auto now = dates_between(before, after);
  EXPECT_TRUE(one_of(got[3], {"Date: " + now[0], "Date: " + now.back()})) << got[3];
  EXPECT_TRUE(one_of(got[4], {"Expires: " + now[0], "Expires: " + now.back()})) << got[4];
  EXPECT_EQ(got[5], "Last-Modified: Wed, 08 Dec 2021 00:54:35 GMT");
  EXPECT_EQ(got[6], "Connection: keep-alive");
  EXPECT_EQ(got[7], "Content-Length: 1234");
  EXPECT_EQ(got[8], "");
}

TEST_F(HeaderTest, EveryOptionalLineInItsPlace) {
  response.over_tls = 1;
  response.encoding_br = 1;
  effective.upgrade_hsts = true;
  uint64_t file_time = jun_23_2019_050118;
  z_range range{100, 199};
  z_call c;
  c.status = status_206;
  c.mime = mime_plain;
  c.length = 5000;
  c.range = &range;
  c.file_time = &file_time;
  auto got = lines(c);
  ASSERT_EQ(got.size(), 13u);
  const char* const names[] = {"HTTP/1.1 206 Partial Content", "Server: ", "Content-Type: text/plain",
                               "Date: ", "Expires: ", "Last-Modified: Sun, 23 Jun 2019 05:01:18 GMT",
                               hsts_long, "Connection: close", "Content-Encoding: br",
                               "Accept-Ranges: bytes", "Content-Range: bytes 100-199/5000",
                               "Content-Length: 100", ""};
  for (size_t i = 0; i < got.size(); ++i)
    EXPECT_EQ(got[i].rfind(names[i], 0), 0u) << "line " << i << ": " << got[i];
  EXPECT_EQ(got[12], "");
}

TEST_F(HeaderTest, NowFillsDateExpiresAndLastModified) {
  z_call c;
  uint64_t before = now_filetime();
  auto got = lines(c);
  uint64_t after = now_filetime();
  ASSERT_EQ(got.size(), 9u);
  auto now = dates_between(before, after);
  EXPECT_TRUE(one_of(got[3].substr(6), now)) << got[3];
  EXPECT_TRUE(one_of(got[4].substr(9), now)) << got[4];
  EXPECT_EQ(got[5].rfind("Last-Modified: ", 0), 0u);
  EXPECT_TRUE(one_of(got[5].substr(15), now)) << got[5];
  std::regex date("(Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9][0-9]? "
                  "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
                  "(1?[0-9]|2[0-3]):[0-5][0-9]:[0-6][0-9] GMT");
  EXPECT_TRUE(std::regex_match(got[3].substr(6), date)) << got[3];
}

TEST_F(HeaderTest, BareStatusPageHasExactlyItsLines) {
  struct row {
    const char* label;
    uint8_t over_tls;
    bool hsts;
    std::vector<std::string> expected;
  } rows[] = {
      {"plain", 0, true,
       {"HTTP/1.1 404 Not Found", "Server: quillmere.example.com", "Content-Type: text/plain",
        "Connection: close", "Content-Length: 42", ""}},
      {"tls, hsts off", 1, false,
       {"HTTP/1.1 404 Not Found", "Server: quillmere.example.com", "Content-Type: text/plain", hsts_off,
        "Connection: close", "Content-Length: 42", ""}},
      {"tls, hsts on", 1, true,
       {"HTTP/1.1 404 Not Found", "Server: quillmere.example.com", "Content-Type: text/plain", hsts_long,
        "Connection: close", "Content-Length: 42", ""}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    response.over_tls = r.over_tls;
    effective.upgrade_hsts = r.hsts;
    z_call c;
    c.status = status_404;
    c.mime = mime_plain;
    c.length = 42;
    c.bare = true;
    EXPECT_EQ(lines(c), r.expected);
  }
}

TEST_F(HeaderTest, StrictTransportSecurityOnlyOverTls) {
  struct row {
    const char* label;
    uint8_t over_tls;
    bool hsts;
    const char* expected;  // null: no such line
  } rows[] = {
      {"plain, hsts off", 0, false, nullptr},
      {"plain, hsts on", 0, true, nullptr},
      {"tls, hsts off", 1, false, hsts_off},
      {"tls, hsts on", 1, true, hsts_long},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    response.over_tls = r.over_tls;
    effective.upgrade_hsts = r.hsts;
    auto got = lines(z_call{});
    int found = 0;
    for (const auto& line : got)
      if (line.rfind("Strict-Transport-Security:", 0) == 0) {
        ++found;
        if (r.expected != nullptr) {
          EXPECT_EQ(line, r.expected);
        }
      }
    EXPECT_EQ(found, r.expected ? 1 : 0);
  }
}

// The lines of a block that start with prefix.
std::vector<std::string> with_prefix(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> result;
  for (const auto& line : lines)
    if (line.rfind(prefix, 0) == 0) result.push_back(line);
  return result;
}

using strings = std::vector<std::string>;

TEST_F(HeaderTest, RangesAndLengths) {
  struct row {
    const char* label;
    uint32_t status;
    bool has_range;
    z_range range;
    uint64_t length;
    strings accept, content_range, content_length, transfer;
  } rows[] = {
      {"206 range", status_206, true, {0, 99}, 1000,
       {"Accept-Ranges: bytes"}, {"Content-Range: bytes 0-99/1000"}, {"Content-Length: 100"}, {}},
      {"200 with range", status_200, true, {0, 99}, 1000,
       {"Accept-Ranges: bytes"}, {}, {"Content-Length: 1000"}, {}},
      {"416 names the size, carries nothing", status_416, true, {0, 999}, 1000,
       {"Accept-Ranges: bytes"}, {"Content-Range: bytes */1000"}, {"Content-Length: 0"}, {}},
      {"416 of an empty file", status_416, true, {0, 0}, 0,
       {"Accept-Ranges: bytes"}, {"Content-Range: bytes */0"}, {"Content-Length: 0"}, {}},
      {"206 past 4 GiB", status_206, true, {4294967296ull, 4294967395ull}, 8589934592ull,
       {"Accept-Ranges: bytes"}, {"Content-Range: bytes 4294967296-4294967395/8589934592"},
       {"Content-Length: 100"}, {}},
      {"206 one byte", status_206, true, {7, 7}, 8,
       {"Accept-Ranges: bytes"}, {"Content-Range: bytes 7-7/8"}, {"Content-Length: 1"}, {}},
      {"no range", status_200, false, {0, 0}, 0, {}, {}, {"Content-Length: 0"}, {}},
      {"chunked", status_200, false, {0, 0}, length_chunked, {}, {}, {}, {"Transfer-Encoding: chunked"}},
      {"largest length", status_200, false, {0, 0}, length_chunked - 1, {}, {},
       {"Content-Length: 18446744073709551614"}, {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    z_call c;
    c.status = r.status;
    c.length = r.length;
    c.range = r.has_range ? &r.range : nullptr;
    auto got = lines(c);
    EXPECT_EQ(with_prefix(got, "Accept-Ranges"), r.accept);
    EXPECT_EQ(with_prefix(got, "Content-Range"), r.content_range);
    EXPECT_EQ(with_prefix(got, "Content-Length"), r.content_length);
    EXPECT_EQ(with_prefix(got, "Transfer-Encoding"), r.transfer);
  }
}

TEST_F(HeaderTest, ContentEncodingFollowsTheVariant) {
  struct row {
    const char* label;
    uint8_t br, gzip;
    strings expected;
  } rows[] = {
      {"none", 0, 0, {}},
      {"gzip", 0, 1, {"Content-Encoding: gzip"}},
      {"br", 1, 0, {"Content-Encoding: br"}},
      {"both: br wins", 1, 1, {"Content-Encoding: br"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    response.encoding_br = r.br;
    response.encoding_gzip = r.gzip;
    EXPECT_EQ(with_prefix(lines(z_call{}), "Content-Encoding"), r.expected);
  }
}

TEST_F(HeaderTest, LocationOnlyWhenBare) {
  z_call c;
  c.status = status_302;
  c.location = "https://example.com/a/";
  c.bare = true;
  auto bare = lines(c);
  ASSERT_GE(bare.size(), 4u);
  EXPECT_EQ(bare[3], "Location: https://example.com/a/");
  EXPECT_TRUE(with_prefix(bare, "Date").empty());
  c.bare = false;
  EXPECT_TRUE(with_prefix(lines(c), "Location").empty());
}

TEST_F(HeaderTest, LastModifiedPreference) {
  z_resource_t resource{};
  std::strcpy(resource.last_modified, "Wed, 29 Dec 2021 21:24:59 GMT");
  uint64_t file_time = dec_8_2021_005435;
  uint64_t unconvertible = 1ull << 63;
  struct row {
    const char* label;
    const uint64_t* file_time;
    const z_resource_t* resource;
    const char* expected;
  } rows[] = {
      {"resource text copied", nullptr, &resource, "Last-Modified: Wed, 29 Dec 2021 21:24:59 GMT"},
      {"file time before resource", &file_time, &resource, "Last-Modified: Wed, 08 Dec 2021 00:54:35 GMT"},
      {"unconvertible file time", &unconvertible, nullptr, "Last-Modified: Sun, 00 Jan 1900 00:00:00 GMT"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    z_call c;
    c.file_time = r.file_time;
    c.resource = r.resource;
    EXPECT_EQ(with_prefix(lines(c), "Last-Modified"), strings{r.expected});
  }
}

TEST_F(HeaderTest, RefusedArguments) {
  z_range backwards{10, 9};
  struct row {
    const char* label;
    z_call call;
    bool null_out;
  } rows[] = {
      {"no out", z_call{}, true},
      {"status past the table", z_call{.status = status_line_count}, false},
      {"mime past the table", z_call{.mime = mime_type_count}, false},
      {"location with CR", z_call{.bare = true, .location = "/a\rSet-Cookie: x"}, false},
      {"location with LF", z_call{.bare = true, .location = "/a\nSet-Cookie: x"}, false},
      {"charset with LF", z_call{.charset = "utf-8\nX: y"}, false},
      {"206 range ending before its start", z_call{.status = status_206, .length = 100, .range = &backwards},
       false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    char out[1024];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(build(r.call, r.null_out ? nullptr : out, sizeof out), 0u);
  }
}

TEST_F(HeaderTest, EveryTruncationReturnsZeroAndStaysInRoom) {
  response.over_tls = 1;
  response.encoding_gzip = 1;
  uint64_t file_time = dec_8_2021_005435;
  z_resource_t resource{};
  std::strcpy(resource.last_modified, "Wed, 29 Dec 2021 21:24:59 GMT");
  z_range range{0, 99};
  struct row {
    const char* label;
    z_call call;
  } rows[] = {
      {"bare redirect", z_call{.status = status_302, .bare = true, .location = "https://example.com/"}},
      {"file range", z_call{.status = status_206, .length = 1000, .range = &range, .file_time = &file_time,
                            .charset = "utf-8"}},
      {"resource", z_call{.keep_alive = true, .resource = &resource}},
      {"chunked now", z_call{.length = length_chunked}},
  };
  for (const auto& r : rows) {
    // A date that shortens mid-sweep (at midnight) makes one retry necessary.
    bool changed = false;
    sweep_rooms(r.call, r.label, changed);
    if (changed) {
      changed = false;
      sweep_rooms(r.call, r.label, changed);
    }
    EXPECT_FALSE(changed) << r.label;
  }
}

TEST_F(HeaderTest, DateNeedsThirtyBytesWhereItGoes) {
  char out[2048];
  uint64_t full = build(z_call{}, out, sizeof out);
  ASSERT_NE(full, 0u);
  const char* date = std::strstr(out, "\r\nDate: ");
  ASSERT_NE(date, nullptr);
  uint64_t at = static_cast<uint64_t>(date - out) + 8;
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(build(z_call{}, out, at + 29), 0u);
  EXPECT_EQ(out[at], '#') << "no date written with 29 bytes left";
}

TEST(HttpDate, KnownInstants) {
  struct row {
    const char* label;
    os::z_tm time;
    const char* expected;
  } rows[] = {
      {"day and hour padded", {35, 54, 0, 8, 11, 121, 3}, "Wed, 08 Dec 2021 00:54:35 GMT"},
      {"hour padded", {18, 1, 5, 23, 5, 119, 0}, "Sun, 23 Jun 2019 05:01:18 GMT"},
      {"two-digit day and hour", {59, 59, 23, 31, 11, 130, 2}, "Tue, 31 Dec 2030 23:59:59 GMT"},
      {"day padded", {0, 0, 10, 1, 0, 100, 6}, "Sat, 01 Jan 2000 10:00:00 GMT"},
      {"all zero", {}, "Sun, 00 Jan 1900 00:00:00 GMT"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    char out[30];
    EXPECT_EQ(format_http_date(r.time, out, sizeof out), std::strlen(r.expected));
    EXPECT_STREQ(out, r.expected);
  }
}

TEST(HttpDate, RoomAndFields) {
  os::z_tm good{35, 54, 0, 8, 11, 121, 3};
  struct row {
    const char* label;
    os::z_tm time;
    uint64_t room;
  } rows[] = {
      {"room 29", good, 29},
      {"room 0", good, 0},
      {"day of week 7", {35, 54, 0, 8, 11, 121, 7}, 30},
      {"month 12", {35, 54, 0, 8, 12, 121, 3}, 30},
      {"negative month", {35, 54, 0, 8, -1, 121, 3}, 30},
      {"hour 24", {35, 54, 24, 8, 11, 121, 3}, 30},
      {"minute 60", {35, 60, 0, 8, 11, 121, 3}, 30},
      {"year 10000", {35, 54, 0, 8, 11, 10000 - 1900, 3}, 30},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    char out[40];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(format_http_date(r.time, out, r.room), 0u);
    EXPECT_EQ(out[0], '#');
  }
  char out[30];
  EXPECT_EQ(format_http_date(good, out, 30), 29u) << "room 30 is enough";
}

// Seconds since 1970 as a FILETIME.
uint64_t unix_time(int64_t seconds) { return os::unix_to_filetime(seconds, 0); }

TEST(HttpDate, ReadsTheThreeFormsAndRefusesTheRest) {
  const uint64_t nov_6_1994 = unix_time(784111777);  // Sun, 06 Nov 1994 08:49:37 GMT
  const uint64_t dec_8_2021 = unix_time(1638924875);  // Wed, 08 Dec 2021 00:54:35 GMT
  struct row {
    const char* label;
    const char* text;
    uint64_t want;  // 0: refused
  } rows[] = {
      {"IMF-fixdate", "Sun, 06 Nov 1994 08:49:37 GMT", nov_6_1994},
      {"lower-cased, as requests arrive", "sun, 06 nov 1994 08:49:37 gmt", nov_6_1994},
      {"RFC 850", "Sunday, 06-Nov-94 08:49:37 GMT", nov_6_1994},
      {"asctime, day blank-padded", "Sun Nov  6 08:49:37 1994", nov_6_1994},
      {"asctime, two-digit day", "Wed Dec 08 00:54:35 2021", dec_8_2021},
      {"one-digit day and hour, as written before", "Wed, 8 Dec 2021 0:54:35 GMT", dec_8_2021},
      {"trailing blanks", "Wed, 08 Dec 2021 00:54:35 GMT  ", dec_8_2021},
      {"leap second", "Wed, 08 Dec 2021 00:54:60 GMT", dec_8_2021 + 24 * 10000000ull},
      {"RFC 850, more than 50 years ahead: the past century", "Friday, 01-Jan-99 00:00:00 GMT",
       unix_time(915148800)},
      {"RFC 850, less than 50 years ahead", "Tuesday, 01-Jan-30 00:00:00 GMT", unix_time(1893456000)},
      {"no zone", "Wed, 08 Dec 2021 00:54:35", 0},
      {"other zone", "Wed, 08 Dec 2021 00:54:35 UTC", 0},
      {"no such day", "Wed, 31 Feb 2021 00:54:35 GMT", 0},
      {"hour 24", "Wed, 08 Dec 2021 24:00:00 GMT", 0},
      {"one-digit minute", "Wed, 08 Dec 2021 00:5:35 GMT", 0},
      {"five-digit year", "Wed, 08 Dec 20211 00:54:35 GMT", 0},
      {"unknown month", "Wed, 08 Dez 2021 00:54:35 GMT", 0},
      {"unknown day name", "Xyz, 08 Dec 2021 00:54:35 GMT", 0},
      {"text after", "Wed, 08 Dec 2021 00:54:35 GMT; length=12", 0},
      {"cut short", "Wed, 08 Dec 2021 00:5", 0},
      {"empty", "", 0},
      {"a number", "1638924875", 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    uint64_t got = 0;
    bool read = parse_http_date(r.text, &got);
    EXPECT_EQ(read, r.want != 0);
    if (read) {
      EXPECT_EQ(got, r.want);
    }
  }
  EXPECT_FALSE(parse_http_date(nullptr, nullptr));
  // What the server writes it reads back.
  char out[30];
  os::z_tm time{35, 54, 0, 8, 11, 121, 3};
  ASSERT_EQ(format_http_date(time, out, sizeof out), 29u);
  uint64_t back = 0;
  ASSERT_TRUE(parse_http_date(out, &back));
  EXPECT_EQ(back, dec_8_2021);
}

TEST(WriteDecimal, Rooms) {
  struct row {
    const char* label;
    uint64_t value;
    uint64_t room;
    const char* expected;  // null: -1 and nothing written
  } rows[] = {
      {"zero", 0, 2, "0"},
      {"zero, room 1", 0, 1, nullptr},
      {"room 0", 7, 0, nullptr},
      {"exact fit", 1000, 5, "1000"},
      {"one short", 1000, 4, nullptr},
      {"largest, exact fit", ~0ull, 21, "18446744073709551615"},
      {"largest, one short", ~0ull, 20, nullptr},
      {"more room", 42, 100, "42"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    char out[32];
    std::memset(out, '#', sizeof out);
    char* cursor = out;
    int result = write_decimal(cursor, r.room, r.value);
    if (r.expected == nullptr) {
      EXPECT_EQ(result, -1);
      EXPECT_EQ(cursor, out);
      EXPECT_EQ(out[0], '#');
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_STREQ(out, r.expected);
      EXPECT_EQ(cursor, out + std::strlen(r.expected));
      EXPECT_EQ(out[std::strlen(r.expected) + 1], '#');
    }
  }
}

TEST(StatusLines, TextsAsSent) {
  EXPECT_STREQ(status_lines[status_200], "200 OK");
  EXPECT_STREQ(status_lines[status_206], "206 Partial Content");
  EXPECT_STREQ(status_lines[status_302], "302 Found");
  EXPECT_STREQ(status_lines[status_304], "304 Not Modified");
  EXPECT_STREQ(status_lines[status_400], "400 Bad Request");
  EXPECT_STREQ(status_lines[status_403], "403 Forbidden");
  EXPECT_STREQ(status_lines[status_404], "404 Not Found");
  EXPECT_STREQ(status_lines[status_405], "405 Method Not Allowed");
  EXPECT_STREQ(status_lines[status_411], "411 Length Required");
  EXPECT_STREQ(status_lines[status_416], "416 Requested Range Not Satisfiable");
  EXPECT_STREQ(status_lines[status_500], "500 Internal Server Error");
  EXPECT_STREQ(status_lines[35], "422 Unprocessible entry");
  EXPECT_STREQ(status_lines[37], "431 Requested header fileds too large");
  EXPECT_STREQ(status_lines[38], "444 No responce");
  EXPECT_STREQ(status_lines[44], "505 HTTP Version Not Supported");
  EXPECT_STREQ(status_lines[status_line_count], "");
  // Codes rise through the table.
  for (uint32_t i = 1; i < status_line_count; ++i)
    EXPECT_LT(std::atoi(status_lines[i - 1]), std::atoi(status_lines[i])) << "row " << i;
}

}  // namespace
}  // namespace qm
