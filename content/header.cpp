// The response header builder, the status lines and the HTTP date.
//
// The block is written straight into the slot's send half with a cursor that
// never passes the room it was given; any line that does not fit makes the
// whole block fail (0), and the caller then sends nothing.
#include "content/header.h"

#include <cstring>

#include "config/config.h"
#include "content/mime.h"
#include "content/resources.h"
#include "core/engine.h"

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
const char* const day_names[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const month_names[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A bounded writer over the room the caller gave.
struct block_writer {
  char* cursor;
  char* limit;
  bool failed = false;

  void text(const char* s) { bytes(s, std::strlen(s)); }
  void bytes(const char* s, uint64_t n) {
    if (failed || static_cast<uint64_t>(limit - cursor) < n) {
      failed = true;
      return;
    }
    std::memcpy(cursor, s, n);
    cursor += n;
  }
  void number(uint64_t value) {
    if (failed || write_decimal(cursor, static_cast<uint64_t>(limit - cursor), value) != 0) failed = true;
  }
  void date(const os::z_tm& time) {
    uint64_t n = failed ? 0 : format_http_date(time, cursor, static_cast<uint64_t>(limit - cursor));
    if (n == 0) failed = true;
    cursor += n;
  }
  void end_line() { bytes("\r\n", 2); }
};

bool has_line_break(const char* text) { return text != nullptr && std::strpbrk(text, "\r\n") != nullptr; }

void two_digits(char*& out, int value) {
  *out++ = static_cast<char>('0' + value / 10 % 10);
  *out++ = static_cast<char>('0' + value % 10);
}

void one_or_two_digits(char*& out, int value) {
  if (value >= 10) *out++ = static_cast<char>('0' + value / 10 % 10);
  *out++ = static_cast<char>('0' + value % 10);
}

int bounded(int value, int low, int high) { return value < low ? low : value > high ? high : value; }

void write_dates(block_writer& w, const uint64_t* file_time, const z_resource_t* resource) {
  w.text("Date: ");
  w.date(os::utc_now());
  w.end_line();
  // Read the clock again: every response is already stale when it arrives.
  w.text("Expires: ");
  w.date(os::utc_now());
  w.end_line();
  w.text("Last-Modified: ");
  if (file_time != nullptr) {
    os::z_tm time;
    if (!os::filetime_to_tm(*file_time, &time)) time = os::z_tm{};
    w.date(time);
  } else if (resource != nullptr) {
    w.text(resource->last_modified);
  } else {
    w.date(os::utc_now());
  }
  w.end_line();
}

void write_transport_security(block_writer& w, const Z_RESPONSE& response) {
  if (!response.over_tls) return;
  w.text(effective.upgrade_hsts ? "Strict-Transport-Security: max-age=63072000; includeSubDomains; preload\r\n"
                                : "Strict-Transport-Security: max-age=0\r\n");
}

uint64_t write_range(block_writer& w, uint32_t status, const z_range* range, uint64_t length) {
  if (range == nullptr) return length;
  w.text("Accept-Ranges: bytes\r\n");
  if (status != status_206 && status != status_416) return length;
  w.text("Content-Range: bytes ");
  w.number(range->first);
  w.text("-");
  w.number(range->last);
  w.text("/");
  w.number(length);
  w.end_line();
  return range->last - range->first + 1;
}

}  // namespace

uint64_t format_http_date(const os::z_tm& time, char* out, uint64_t room) {
  if (out == nullptr || room < date_room) return 0;
  char* p = out;
  std::memcpy(p, day_names[bounded(time.tm_wday, 0, 6)], 3);
  p += 3;
  *p++ = ',';
  *p++ = ' ';
  one_or_two_digits(p, bounded(time.tm_mday, 0, 99));
  *p++ = ' ';
  std::memcpy(p, month_names[bounded(time.tm_mon, 0, 11)], 3);
  p += 3;
  *p++ = ' ';
  int year = bounded(time.tm_year + 1900, 0, 9999);
  two_digits(p, year / 100);
  two_digits(p, year % 100);
  *p++ = ' ';
  one_or_two_digits(p, bounded(time.tm_hour, 0, 99));
  *p++ = ':';
  two_digits(p, bounded(time.tm_min, 0, 99));
  *p++ = ':';
  two_digits(p, bounded(time.tm_sec, 0, 99));
  std::memcpy(p, " GMT", 4);
  p += 4;
  *p = 0;
  return static_cast<uint64_t>(p - out);
}

int write_decimal(char*& cursor, uint64_t room, uint64_t value) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (room < static_cast<uint64_t>(n) + 1) return -1;
  for (int i = n - 1; i >= 0; --i) *cursor++ = digits[i];
  *cursor = 0;
  return 0;
}

uint64_t build_header(const Z_RESPONSE& response, char* out, uint64_t room, uint32_t status, uint32_t mime,
                      uint64_t length, bool keep_alive, bool bare, const z_range* range, const uint64_t* file_time,
                      const z_resource_t* resource, const char* charset, const char* location) {
  if (out == nullptr || status >= status_line_count) return 0;
  // Header lines never carry a line break taken from elsewhere.
  if (has_line_break(location) || has_line_break(charset)) return 0;
  block_writer w{out, out + room};
  w.text("HTTP/1.1 ");
  w.text(status_lines[status]);
  w.text("\r\nServer: ");
  w.text(server_name);
  w.text("\r\nContent-Type: ");
  w.text(mime_types[mime < mime_type_count ? mime : mime_octet_stream]);
  if (charset != nullptr) {
    w.text("; charset=");
    w.text(charset);
  }
  w.end_line();
  if (bare) {
    if (location != nullptr) {
      w.text("Location: ");
      w.text(location);
      w.end_line();
    }
  } else {
    write_dates(w, file_time, resource);
  }
  write_transport_security(w, response);
  w.text(keep_alive ? "Connection: keep-alive\r\n" : "Connection: close\r\n");
  if (response.encoding_br) w.text("Content-Encoding: br\r\n");
  else if (response.encoding_gzip) w.text("Content-Encoding: gzip\r\n");
  length = write_range(w, status, range, length);
  if (length == length_chunked) {
    w.text("Transfer-Encoding: chunked\r\n");
  } else {
    w.text("Content-Length: ");
    w.number(length);
    w.end_line();
  }
  w.end_line();
  if (w.failed) return 0;
  if (w.cursor < w.limit) *w.cursor = 0;
  return static_cast<uint64_t>(w.cursor - out);
}

}  // namespace qm
