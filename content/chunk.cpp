// Chunked framing: the text gathered in a half leaves as one chunk, with the
// header block in front of the first, in a single send.
#include <cstring>

#include "content/header.h"
#include "content/mime.h"
#include "core/response.h"
#include "http/request.h"

namespace qm {

namespace {

// The cursor lies in the data part of the current half with room for CR LF.
bool cursor_in_half(const Z_RESPONSE& response, const char* cursor) {
  if (response.p_write == nullptr || response.size_write <= chunk_reserve) return false;
  const char* data = response.p_write + chunk_reserve;
  const char* half_end = response.p_write + response.size_write;
  return cursor >= data && cursor <= half_end - 2;
}

uint64_t build_chunk_header(Z_RESPONSE& response, Z_REQUEST& request, const char* charset) {
  return build_header(response, response.p_write, chunk_reserve, status_200, mime_html, length_chunked,
                      request.keep_alive != 0, false, nullptr, nullptr, nullptr, charset, nullptr);
}

}  // namespace

bool flush_chunk(Z_RESPONSE& response, Z_REQUEST& request, char*& cursor, char*& end, bool& header_sent,
                 bool& chunk_failed, const char* charset) {
  chunk_failed = true;
  if (!cursor_in_half(response, cursor)) {
    request.keep_alive = 0;  // the response cannot be finished
    return false;
  }
  char* half = response.p_write;
  char* data = half + chunk_reserve;
  cursor[0] = '\r';
  cursor[1] = '\n';
  uint64_t size = static_cast<uint64_t>(cursor - data);
  uint64_t front = 0;
  if (!header_sent) {
    header_sent = true;
    front = build_chunk_header(response, request, charset);
    if (front == 0) {
      request.keep_alive = 0;
      return false;
    }
    if (request.method == method_head) return send_packet(response, half, front, request);
  }
  // Header and size line must fit in the reserve, whose last two bytes take
  // the size line's CR LF; only an absurd charset text could break this.
  if (front + 16 + 2 > chunk_reserve) {
    request.keep_alive = 0;
    return false;
  }
  front += write_hex(half + front, size);
  char* start = data - 2 - front;
  std::memmove(start, half, front);
  data[-2] = '\r';
  data[-1] = '\n';
  if (!send_packet(response, start, front + 2 + size + 2, request)) return false;
  chunk_failed = false;
  cursor = response.p_write + chunk_reserve;
  end = response.p_write + response.size_write;
  return true;
}

}  // namespace qm
