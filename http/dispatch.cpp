// Request dispatch.
//
// Until path resolution and file transmission are in place, every valid
// request is answered "501 Not Implemented"; invalid requests get 400 and
// methods other than GET, HEAD and POST 405, and those close the connection.
#include "http/dispatch.h"

#include <cstring>

#include "content/header.h"
#include "core/connection.h"
#include "core/engine.h"

namespace qm {

namespace {

constexpr uint32_t status_501 = 40;

void answer_status(Z_TASK& task, uint32_t status, bool close) {
  Z_REQUEST& request = task.request;
  Z_RESPONSE& response = task.response;
  if (close) request.keep_alive = 0;
  const char* text = status_lines[status];
  uint64_t body = std::strlen(text) + 2;
  uint64_t header = build_header(response, response.p_write, response.size_write, status, 94, body,
                                 request.keep_alive != 0, true, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (header == 0 || header + body >= response.size_write) return;
  char* out = response.p_write + header;
  uint64_t size = header;
  if (request.method != method_head) {
    std::memcpy(out, text, body - 2);
    std::memcpy(out + body - 2, "\r\n", 2);
    size += body;
  }
  send_packet(response, response.p_write, size, request);
}

}  // namespace

void dispatch_request(Z_TASK& task, char* start, uint64_t size) {
  Z_REQUEST& request = task.request;
  task.response.over_tls = task.tls.ssl != nullptr;
  if (request.resume_end == nullptr) clear_request(request);
  parse_request(request, start, size, task.recv_end);
  if (request.method_not_allowed) return answer_status(task, status_405, true);
  if (!request.valid) {
    if (request.complete) answer_status(task, status_400, true);
    return;
  }
  answer_status(task, status_501, false);
}

}  // namespace qm
