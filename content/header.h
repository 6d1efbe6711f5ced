// The response header builder, status lines, HTTP dates and chunked framing.
//
// Every response starts with a header block written by build_header straight
// into the slot's current send half; nothing is allocated. Responders pass
// status indices (rows of status_lines), never numbers.
#pragma once
#include <cstdint>

#include "os/time.h"

namespace qm {

struct Z_RESPONSE;
struct Z_REQUEST;
struct z_resource_t;

// Status indices the server sends.
enum : uint32_t {
  status_200 = 2,
  status_206 = 8,
  status_302 = 11,
  status_304 = 13,
  status_400 = 16,
  status_403 = 19,
  status_404 = 20,
  status_405 = 21,
  status_411 = 27,
  status_416 = 32,
  status_500 = 39,
  status_501 = 40,
  status_505 = 44,
};

inline constexpr uint32_t status_line_count = 45;
// 45 texts and an empty end entry.
extern const char* const status_lines[status_line_count + 1];

// The length value that selects chunked transfer.
inline constexpr uint64_t length_chunked = ~0ull;
// The part of a half reserved in front of body text for the header block and
// the chunk-size line.
inline constexpr uint64_t chunk_reserve = 65536;

struct z_range {
  uint64_t first;
  uint64_t last;
};

// The product's web-site domain name, the Server header's value.
extern const char* const server_name;

// Writes the header block at out; the bytes written (a NUL follows when room
// remains, not counted), or 0 when it does not fit. range, file_time,
// resource, charset and location may be null. Also 0 for a status or MIME
// index outside its table, a range whose last byte lies before its first
// where a Content-Range line is due, and a location or charset containing CR
// or LF: those texts come from callers, and a header line must never be split
// by bytes that may have come from a request. With a range, a 206 carries
// "Content-Range: bytes first-last/length" and the range's length, a 416
// "Content-Range: bytes */length" and no content (Content-Length: 0).
uint64_t build_header(const Z_RESPONSE& response, char* out, uint64_t room, uint32_t status, uint32_t mime,
                      uint64_t length, bool keep_alive, bool bare, const z_range* range,
                      const uint64_t* file_time, const z_resource_t* resource, const char* charset,
                      const char* location);

// The IMF-fixdate of RFC 9110 section 5.6.7, "Wed, 08 Dec 2021 00:54:35
// GMT". Needs room of 30; returns the length without the NUL (29), or 0
// (nothing written). Also 0 for fields outside their ranges (day of week
// 0..6, month 0..11, day 0..31, hour 0..23, minutes 0..59, seconds 0..60,
// year 0..9999 after adding 1900).
uint64_t format_http_date(const os::z_tm& time, char* out, uint64_t room);

// Reads an HTTP date in any of its three forms (IMF-fixdate, RFC 850,
// asctime), letters in any case, one-digit days and hours too, into a
// FILETIME; false when the text is no such date or names no real day.
bool parse_http_date(const char* text, uint64_t* filetime);

// Writes value in decimal and a NUL, advancing cursor to the NUL; -1 (nothing
// written) without room for both.
int write_decimal(char*& cursor, uint64_t room, uint64_t value);

// Writes value in lower-case hexadecimal without leading zeros ("0" for
// zero, no NUL) at out, which has room for 16 digits; the digit count.
uint64_t write_hex(char* out, uint64_t value);

// UTF-16 to UTF-8; bytes written without the NUL, or 0 when room is 0, a
// pointer is missing, or the text and its NUL do not fit (a NUL-terminated
// prefix is then left).
uint64_t utf16_to_utf8(char* out, uint64_t room, const char16_t* text);

// Sends the text gathered at offset chunk_reserve of the current half as one
// chunk, with the header block in front of the first. cursor and end move to
// the next half; chunk_failed tells the caller to stop.
bool flush_chunk(Z_RESPONSE& response, Z_REQUEST& request, char*& cursor, char*& end, bool& header_sent,
                 bool& chunk_failed, const char* charset);

}  // namespace qm
