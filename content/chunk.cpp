// Chunked framing for bodies whose length is not known before sending starts.
//
// The body text is written at offset chunk_reserve of the current half; the
// header block (first chunk only) and the chunk-size line are then moved in
// front of it, so that header, size line and data leave in one send and the
// body text is never copied.
#include <cstring>

#include "content/header.h"
#include "content/mime.h"
#include "core/connection.h"
#include "core/engine.h"

namespace qm {

namespace {

// Lower-case hexadecimal without leading zeros; the digit count.
int write_hex(char* out, uint64_t value) {
  char digits[16];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[value & 15];
    value >>= 4;
  } while (value != 0);
  for (int i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
  return n;
}

}  // namespace

bool flush_chunk(Z_RESPONSE& response, Z_REQUEST& request, char*& cursor, char*& end, bool& header_sent,
                 bool& chunk_failed, const char* charset) {
  char* data = response.p_write + chunk_reserve;
  if (end - cursor < 2) return false;  // the caller keeps two bytes for the line end
  std::memcpy(cursor, "\r\n", 2);
  uint64_t length = static_cast<uint64_t>(cursor - data);
  chunk_failed = true;

  uint64_t header = 0;
  if (!header_sent) {
    header_sent = true;
    header = build_header(response, response.p_write, chunk_reserve, status_200, mime_html, length_chunked,
                          request.keep_alive != 0, false, nullptr, nullptr, nullptr, charset, nullptr);
    if (header == 0) return false;
    if (request.method == method_head) return send_packet(response, response.p_write, header, request);
  }
  // The header is at most chunk_reserve - 1 bytes; the size line needs 16 + 2 more.
  if (header + 18 > chunk_reserve) return false;
  int digits = write_hex(response.p_write + header, length);
  uint64_t front = header + static_cast<uint64_t>(digits);
  char* start = data - 2 - front;
  std::memmove(start, response.p_write, front);
  std::memcpy(data - 2, "\r\n", 2);
  if (!send_packet(response, start, front + 2 + length + 2, request)) return false;
  chunk_failed = false;
  cursor = response.p_write + chunk_reserve;
  end = response.p_write + response.size_write;
  return true;
}

}  // namespace qm
