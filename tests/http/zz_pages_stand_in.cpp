// TEST-ONLY STAND-IN: DELETE THIS FILE once content/pages.cpp and
// http/transfer.cpp are merged. It gives the dispatcher's callees weak
// definitions so that the test executable links before they land (the real
// definitions win over these where they exist): status pages become a bare
// status line with a text body, and redirects, the built-in folder and file
// transmission answer "501 Not Implemented", so that the connection tests
// still see an answer for every request.
#include <cstring>

#include "content/header.h"
#include "content/pages.h"
#include "core/connection.h"
#include "core/engine.h"
#include "http/transfer.h"

namespace qm {

namespace {

void stand_in_answer(Z_RESPONSE& response, Z_REQUEST& request, uint32_t status) {
  const char* text = status_lines[status];
  uint64_t body = std::strlen(text) + 2;
  uint64_t header = build_header(response, response.p_write, response.size_write, status, 94, body,
                                 request.keep_alive != 0, true, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (header == 0 || header + body >= response.size_write) return;
  uint64_t size = header;
  if (request.method != method_head) {
    std::memcpy(response.p_write + header, text, body - 2);
    std::memcpy(response.p_write + header + body - 2, "\r\n", 2);
    size += body;
  }
  send_packet(response, response.p_write, size, request);
}

constexpr uint32_t stand_in_501 = 40;

}  // namespace

__attribute__((weak)) void answer_status_page(Z_RESPONSE& response, Z_REQUEST& request, uint32_t status,
                                              bool keep_alive, bool) {
  if (!keep_alive) request.keep_alive = 0;
  stand_in_answer(response, request, status);
}
__attribute__((weak)) void serve_builtin(Z_RESPONSE& response, Z_TLS&, Z_REQUEST& request) {
  stand_in_answer(response, request, stand_in_501);
}
__attribute__((weak)) void send_redirect(Z_RESPONSE& response, Z_REQUEST& request, const char*) {
  stand_in_answer(response, request, stand_in_501);
}
__attribute__((weak)) bool send_file(Z_TASK& task) {
  stand_in_answer(task.response, task.request, stand_in_501);
  return true;
}

}  // namespace qm
