// The response header builder, the status lines and the HTTP date.
#include "content/header.h"

#include <cstring>

#include "config/config.h"
#include "content/mime.h"
#include "content/resources.h"
#include "core/response.h"

namespace qm {

const char* const status_lines[status_line_count + 1] = {
    "100 Continue",
    "101 Switching Protocols",
    "200 OK",
    "201 Created",
    "202 Accepted",
    "203 Non-Authoritative Information",
    "204 No Content",
    "205 Reset Content",
    "206 Partial Content",
    "300 Multiple Choices",
    "301 Moved Permanently",
    "302 Found",
    "303 See Other",
    "304 Not Modified",
    "305 Use Proxy",
    "307 Temporary Redirect",
    "400 Bad Request",
    "401 Unauthorized",
    "402 Payment Required",
    "403 Forbidden",
    "404 Not Found",
    "405 Method Not Allowed",
    "406 Not Acceptable",
    "407 Proxy Authentication Required",
    "408 Request Timeout",
    "409 Conflict",
    "410 Gone",
    "411 Length Required",
    "412 Precondition Failed",
    "413 Request Entity Too Large",
    "414 Request-URI Too Long",
    "415 Unsupported Media Type",
    "416 Requested Range Not Satisfiable",
    "417 Expectation Failed",
    "418 I'm a teapot",
    "422 Unprocessible entry",
    "423 Locked",
    "431 Requested header fileds too large",
    "444 No responce",
    "500 Internal Server Error",
    "501 Not Implemented",
    "502 Bad Gateway",
    "503 Service Unavailable",
    "504 Gateway Timeout",
    "505 HTTP Version Not Supported",
    "",
};

const char* const server_name = "quillmere.example.com";

namespace {

constexpr uint64_t date_room = 30;

const char day_names[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char month_names[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool in_range(int value, int low, int high) { return value >= low && value <= high; }

bool date_fields_valid(const os::z_tm& t) {
  return in_range(t.tm_wday, 0, 6) && in_range(t.tm_mon, 0, 11) && in_range(t.tm_mday, 0, 31) &&
         in_range(t.tm_hour, 0, 23) && in_range(t.tm_min, 0, 59) && in_range(t.tm_sec, 0, 60) &&
         in_range(t.tm_year, -1900, 9999 - 1900);
}

char* put_two(char* p, int value) {
  *p++ = static_cast<char>('0' + value / 10);
  *p++ = static_cast<char>('0' + value % 10);
  return p;
}

char* put_text(char* p, const char* text, uint64_t size) {
  std::memcpy(p, text, size);
  return p + size;
}

bool has_line_break(const char* text) {
  for (; *text != 0; ++text)
    if (*text == '\r' || *text == '\n') return true;
  return false;
}

// The block being written: a cursor that never passes limit; the first text
// that does not fit marks the block as failed and every later put is ignored.
struct z_block {
  char* cursor;
  char* limit;
  bool failed;

  uint64_t left() const { return static_cast<uint64_t>(limit - cursor); }

  void put(const char* text, uint64_t size) {
    if (failed || size > left()) {
      failed = true;
      return;
    }
    cursor = put_text(cursor, text, size);
  }
  void put(const char* text) { put(text, std::strlen(text)); }
  template <uint64_t N>
  void put_literal(const char (&text)[N]) {
    put(text, N - 1);
  }
  void put_decimal(uint64_t value) {
    if (failed || write_decimal(cursor, left(), value) != 0) failed = true;
  }
  void put_date(const os::z_tm& time) {
    if (failed) return;
    uint64_t size = format_http_date(time, cursor, left());
    if (size == 0) {
      failed = true;
      return;
    }
    cursor += size;
  }
  void end_line() { put_literal("\r\n"); }
};

// The stored text up to its NUL, never past its array.
template <uint64_t N>
uint64_t stored_size(const char (&text)[N]) {
  const void* nul = std::memchr(text, 0, N);
  return nul == nullptr ? N : static_cast<uint64_t>(static_cast<const char*>(nul) - text);
}

void put_now(z_block& block) { block.put_date(os::utc_now()); }

// The file time broken down; the all-zero time when it cannot be converted
// or lies past what a four-digit year can show.
os::z_tm file_time_tm(uint64_t file_time) {
  os::z_tm time;
  if (!os::filetime_to_tm(file_time, &time) || !date_fields_valid(time)) time = os::z_tm{};
  return time;
}

void put_last_modified(z_block& block, const uint64_t* file_time, const z_resource_t* resource) {
  block.put_literal("Last-Modified: ");
  if (file_time != nullptr)
    block.put_date(file_time_tm(*file_time));
  else if (resource != nullptr)
    block.put(resource->last_modified, stored_size(resource->last_modified));
  else
    put_now(block);
  block.end_line();
}

void put_dates(z_block& block, const uint64_t* file_time, const z_resource_t* resource) {
  block.put_literal("Date: ");
  put_now(block);
  block.end_line();
  // Read again, so that the response is already stale when it arrives.
  block.put_literal("Expires: ");
  put_now(block);
  block.end_line();
  put_last_modified(block, file_time, resource);
}

void put_transport_security(z_block& block) {
  if (effective.upgrade_hsts.load(std::memory_order_relaxed))
    block.put_literal("Strict-Transport-Security: max-age=63072000; includeSubDomains; preload\r\n");
  else
    block.put_literal("Strict-Transport-Security: max-age=0\r\n");
}

void put_content_encoding(z_block& block, const Z_RESPONSE& response) {
  if (response.encoding_br)
    block.put_literal("Content-Encoding: br\r\n");
  else if (response.encoding_gzip)
    block.put_literal("Content-Encoding: gzip\r\n");
}

// Accept-Ranges and, for 206 and 416, Content-Range; returns the length the
// body then has. A 416 names only the size and carries nothing of it.
uint64_t put_range(z_block& block, uint32_t status, const z_range& range, uint64_t length) {
  block.put_literal("Accept-Ranges: bytes\r\n");
  if (status == status_416) {
    block.put_literal("Content-Range: bytes */");
    block.put_decimal(length);
    block.end_line();
    return 0;
  }
  if (status != status_206) return length;
  if (range.last < range.first) {
    block.failed = true;  // the length below would wrap
    return length;
  }
  block.put_literal("Content-Range: bytes ");
  block.put_decimal(range.first);
  block.put_literal("-");
  block.put_decimal(range.last);
  block.put_literal("/");
  block.put_decimal(length);
  block.end_line();
  return range.last - range.first + 1;
}

void put_length(z_block& block, uint64_t length) {
  if (length == length_chunked) {
    block.put_literal("Transfer-Encoding: chunked\r\n");
    return;
  }
  block.put_literal("Content-Length: ");
  block.put_decimal(length);
  block.end_line();
}

void put_content_type(z_block& block, uint32_t mime, const char* charset) {
  block.put_literal("Content-Type: ");
  block.put(mime_types[mime]);
  if (charset != nullptr) {
    block.put_literal("; charset=");
    block.put(charset);
  }
  block.end_line();
}

bool arguments_valid(char* out, uint32_t status, uint32_t mime, const char* charset, const char* location) {
  if (out == nullptr || status >= status_line_count || mime >= mime_type_count || mime_types[mime] == nullptr)
    return false;
  if (charset != nullptr && has_line_break(charset)) return false;
  return location == nullptr || !has_line_break(location);
}

}  // namespace

uint64_t write_hex(char* out, uint64_t value) {
  static const char hex[] = "0123456789abcdef";
  char digits[16];
  uint64_t count = 0;
  do {
    digits[count++] = hex[value & 0xF];
    value >>= 4;
  } while (value != 0);
  for (uint64_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
  return count;
}

uint64_t build_header(const Z_RESPONSE& response, char* out, uint64_t room, uint32_t status, uint32_t mime,
                      uint64_t length, bool keep_alive, bool bare, const z_range* range,
                      const uint64_t* file_time, const z_resource_t* resource, const char* charset,
                      const char* location) {
  if (!arguments_valid(out, status, mime, charset, location)) return 0;
  z_block block{out, out + room, false};
  block.put_literal("HTTP/1.1 ");
  block.put(status_lines[status]);
  block.end_line();
  block.put_literal("Server: ");
  block.put(server_name);
  block.end_line();
  put_content_type(block, mime, charset);
  if (bare && location != nullptr) {
    block.put_literal("Location: ");
    block.put(location);
    block.end_line();
  }
  if (!bare) put_dates(block, file_time, resource);
  if (response.over_tls) put_transport_security(block);
  block.put(keep_alive ? "Connection: keep-alive\r\n" : "Connection: close\r\n");
  put_content_encoding(block, response);
  if (range != nullptr) length = put_range(block, status, *range, length);
  put_length(block, length);
  block.end_line();
  if (block.failed) return 0;
  if (block.left() > 0) *block.cursor = 0;
  return static_cast<uint64_t>(block.cursor - out);
}

uint64_t format_http_date(const os::z_tm& time, char* out, uint64_t room) {
  if (out == nullptr || room < date_room || !date_fields_valid(time)) return 0;
  char* p = put_text(out, day_names[time.tm_wday], 3);
  p = put_text(p, ", ", 2);
  p = put_two(p, time.tm_mday);
  *p++ = ' ';
  p = put_text(p, month_names[time.tm_mon], 3);
  *p++ = ' ';
  int year = time.tm_year + 1900;
  p = put_two(p, year / 100);
  p = put_two(p, year % 100);
  *p++ = ' ';
  p = put_two(p, time.tm_hour);
  *p++ = ':';
  p = put_two(p, time.tm_min);
  *p++ = ':';
  p = put_two(p, time.tm_sec);
  p = put_text(p, " GMT", 4);
  *p = 0;
  return static_cast<uint64_t>(p - out);  // always 29
}

namespace {

// ---- reading HTTP dates (RFC 9110 section 5.6.7) ----------------------------

// A cursor over a NUL-terminated value; letters compare case-blind, since
// request headers arrive lower-cased.
struct z_date_reader {
  const char* p;

  static char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
  bool take(char c) {
    if (lower(*p) != c) return false;
    ++p;
    return true;
  }
  bool take_blanks() {
    if (*p != ' ') return false;
    while (*p == ' ') ++p;
    return true;
  }
  // From min to max digits; false when fewer.
  bool number(int min, int max, int& value) {
    value = 0;
    int count = 0;
    for (; count < max && *p >= '0' && *p <= '9'; ++count, ++p) value = value * 10 + (*p - '0');
    return count >= min && !(*p >= '0' && *p <= '9');
  }
  // One of the names, matched on its first three letters or whole: the index, or -1.
  int name(const char (*names)[4], int count, const char* const* long_names) {
    for (int i = 0; i < count; ++i) {
      const char* n = names[i];
      if (lower(p[0]) != lower(n[0]) || lower(p[1]) != lower(n[1]) || lower(p[2]) != lower(n[2])) continue;
      p += 3;
      if (long_names != nullptr) {
        const char* rest = long_names[i];
        const char* q = p;
        while (*rest != 0 && lower(*q) == *rest) ++q, ++rest;
        if (*rest == 0) p = q;
      }
      return i;
    }
    return -1;
  }
  bool time_of_day(os::z_tm& t) {
    // One-digit hours are read too: this server wrote them before.
    return number(1, 2, t.tm_hour) && take(':') && number(2, 2, t.tm_min) && take(':') && number(2, 2, t.tm_sec);
  }
  bool gmt() { return take(' ') && take('g') && take('m') && take('t'); }
  bool at_end() {
    while (*p == ' ' || *p == '\t') ++p;
    return *p == 0;
  }
};

const char* const long_day_rest[7] = {"day", "day", "sday", "nesday", "rsday", "day", "urday"};

// "06-Nov-94": a year that would lie more than 50 years ahead is the last
// one in the past with those digits.
int full_year(int two_digits) {
  int now = os::utc_now().tm_year + 1900;
  int year = now / 100 * 100 + two_digits;
  if (year > now + 50) year -= 100;
  return year;
}

bool read_month(z_date_reader& in, os::z_tm& t) {
  t.tm_mon = in.name(month_names, 12, nullptr);
  return t.tm_mon >= 0;
}

// "Sun, 06 Nov 1994 08:49:37 GMT" and "Sunday, 06-Nov-94 08:49:37 GMT".
bool read_after_comma(z_date_reader& in, os::z_tm& t) {
  int year = 0;
  if (!in.take_blanks() || !in.number(1, 2, t.tm_mday)) return false;
  if (in.take('-')) {
    if (!read_month(in, t) || !in.take('-') || !in.number(2, 2, year)) return false;
    year = full_year(year);
  } else if (!in.take(' ') || !read_month(in, t) || !in.take(' ') || !in.number(4, 4, year)) {
    return false;
  }
  t.tm_year = year - 1900;
  return in.take(' ') && in.time_of_day(t) && in.gmt();
}

// "Sun Nov  6 08:49:37 1994".
bool read_asctime(z_date_reader& in, os::z_tm& t) {
  int year = 0;
  if (!in.take(' ') || !read_month(in, t) || !in.take_blanks() || !in.number(1, 2, t.tm_mday)) return false;
  if (!in.take(' ') || !in.time_of_day(t) || !in.take(' ') || !in.number(4, 4, year)) return false;
  t.tm_year = year - 1900;
  return true;
}

}  // namespace

bool parse_http_date(const char* text, uint64_t* filetime) {
  if (text == nullptr) return false;
  z_date_reader in{text};
  while (*in.p == ' ') ++in.p;
  os::z_tm t;
  if (in.name(day_names, 7, long_day_rest) < 0) return false;
  bool read = in.take(',') ? read_after_comma(in, t) : read_asctime(in, t);
  if (!read || !in.at_end()) return false;
  if (t.tm_sec == 60) t.tm_sec = 59;  // a leap second
  return os::tm_to_filetime(t, filetime);
}

int write_decimal(char*& cursor, uint64_t room, uint64_t value) {
  char digits[20];
  uint64_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (cursor == nullptr || room < count + 1) return -1;
  for (uint64_t i = 0; i < count; ++i) cursor[i] = digits[count - 1 - i];
  cursor += count;
  *cursor = 0;
  return 0;
}

}  // namespace qm
