#include "http/conditions.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "http/request.h"
#include "os/time.h"

namespace qm {
namespace {

// The request as the parser leaves it for "Range: bytes=<ranges>".
Z_REQUEST with_range(const char* ranges) {
  Z_REQUEST r;
  clear_request(r);
  std::string text = std::string("GET / HTTP/1.1\r\nHost: h\r\nRange: bytes=") + ranges + "\r\n\r\n";
  static char buffer[256];
  std::memset(buffer, 0, sizeof buffer);
  std::memcpy(buffer, text.data(), text.size());
  parse_request(r, buffer, text.size(), buffer + sizeof buffer);
  return r;
}

constexpr uint64_t gib2 = 1ull << 31;
constexpr uint64_t gib4 = 1ull << 32;

// One table for every responder's range rule.
TEST(Conditions, RangeRule) {
  struct row {
    const char* label;
    const char* ranges;  // null: no Range header
    uint64_t size;
    uint32_t status;
    uint64_t first, last;  // for 206
  };
  const row rows[] = {
      {"no range", nullptr, 1000, status_200, 0, 999},
      {"first hundred", "0-99", 1000, status_206, 0, 99},
      {"open end", "900-", 1000, status_206, 900, 999},
      {"suffix", "-100", 1000, status_206, 900, 999},
      {"suffix longer than the file", "-5000", 1000, status_206, 0, 999},
      {"end clamped", "500-5000", 1000, status_206, 500, 999},
      {"one byte", "0-0", 1000, status_206, 0, 0},
      {"last byte", "999-999", 1000, status_206, 999, 999},
      {"first of several", "5-9, 20-30", 1000, status_206, 5, 9},
      {"end before start is no range", "100-99", 1000, status_200, 0, 999},
      {"start at the end", "1000-", 1000, status_416, 0, 0},
      {"start past the end", "4000-5000", 1000, status_416, 0, 0},
      {"empty suffix", "-0", 1000, status_416, 0, 0},
      {"any range of an empty file", "0-", 0, status_416, 0, 0},
      {"suffix of an empty file", "-5", 0, status_416, 0, 0},
      {"no numbers", "-", 1000, status_200, 0, 999},
      {"2 GiB - 1: last byte", "-1", gib2 - 1, status_206, gib2 - 2, gib2 - 2},
      {"2 GiB: across 2^31", "2147483646-2147483649", gib2 + 2, status_206, gib2 - 2, gib2 + 1},
      {"2 GiB + 1: from 2^31", "2147483648-", gib2 + 1, status_206, gib2, gib2},
      {"2 GiB: start at the end", "2147483648-", gib2, status_416, 0, 0},
      {"4 GiB - 1: last byte", "4294967294-", gib4 - 1, status_206, gib4 - 2, gib4 - 2},
      {"4 GiB: across 2^32", "4294967295-4294967296", gib4 + 1, status_206, gib4 - 1, gib4},
      {"4 GiB + 1: suffix past 2^32", "-4294967297", gib4 + 1, status_206, 0, gib4},
      {"4 GiB: start at the end", "4294967296-", gib4, status_416, 0, 0},
      {"beyond 64 bits", "99999999999999999999999-", gib4, status_416, 0, 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    Z_REQUEST request = r.ranges ? with_range(r.ranges) : with_range("");
    if (!r.ranges) request.range_unit = 0;
    z_range_answer a = answer_range(request, r.size);
    EXPECT_EQ(a.status, r.status);
    EXPECT_EQ(range_requested(request), r.status != status_200);
    if (r.status == status_206) {
      EXPECT_EQ(a.range.first, r.first);
      EXPECT_EQ(a.range.last, r.last);
    }
    if (r.status == status_200 && r.size > 0) {
      EXPECT_EQ(a.range.first, 0u);
      EXPECT_EQ(a.range.last, r.size - 1);
    }
  }
}

Z_REQUEST with_since(const char* since, uint32_t method = method_get) {
  Z_REQUEST r;
  clear_request(r);
  r.method = method;
  static char value[128];
  std::snprintf(value, sizeof value, "%s", since);
  r.if_modified_since = since != nullptr ? value : nullptr;
  return r;
}

// One table for every responder's If-Modified-Since rule.
TEST(Conditions, IfModifiedSinceRule) {
  const uint64_t second = 10000000;
  const uint64_t dec_8_2021 = os::unix_to_filetime(1638924875, 0);  // Wed, 08 Dec 2021 00:54:35 GMT
  struct row {
    const char* label;
    const char* since;
    uint32_t method;
    uint64_t last_write;
    bool not_modified;
  };
  const row rows[] = {
      {"same second", "wed, 08 dec 2021 00:54:35 gmt", method_get, dec_8_2021, true},
      {"a fraction later in the same second", "wed, 08 dec 2021 00:54:35 gmt", method_get,
       dec_8_2021 + second - 1, true},
      {"changed a second later", "wed, 08 dec 2021 00:54:35 gmt", method_get, dec_8_2021 + second, false},
      {"a later date", "thu, 09 dec 2021 00:00:00 gmt", method_get, dec_8_2021, true},
      {"HEAD too", "wed, 08 dec 2021 00:54:35 gmt", method_head, dec_8_2021, true},
      {"not for POST", "wed, 08 dec 2021 00:54:35 gmt", method_post, dec_8_2021, false},
      {"no header", nullptr, method_get, dec_8_2021, false},
      {"no date", "yesterday", method_get, dec_8_2021, false},
      {"in the future", "fri, 01 jan 9999 00:00:00 gmt", method_get, dec_8_2021, false},
      {"RFC 850", "wednesday, 08-dec-21 00:54:35 gmt", method_get, dec_8_2021, true},
      {"asctime", "wed dec  8 00:54:35 2021", method_get, dec_8_2021, true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    EXPECT_EQ(not_modified_since(with_since(r.since, r.method), r.last_write), r.not_modified);
  }
}

}  // namespace
}  // namespace qm
