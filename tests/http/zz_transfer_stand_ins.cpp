// TEST-ONLY STAND-INS, to be deleted once the status pages, the built-in
// resource sender and the directory listing are merged. They are weak, so
// the real definitions win wherever they are linked.
#include <cstring>

#include "content/header.h"
#include "content/listing.h"
#include "content/mime.h"
#include "content/pages.h"
#include "content/resources.h"
#include "core/connection.h"
#include "core/engine.h"

namespace qm {

namespace {

void send_with_body(Z_RESPONSE& response, Z_REQUEST& request, uint32_t status, uint32_t mime, const void* body,
                    uint64_t size, const z_resource_t* resource) {
  uint64_t header = build_header(response, response.p_write, response.size_write, status, mime, size,
                                 request.keep_alive != 0, false, nullptr, nullptr, resource, nullptr, nullptr);
  if (header == 0 || header + size > response.size_write) return;
  uint64_t total = header;
  if (request.method != method_head) {
    std::memcpy(response.p_write + header, body, size);
    total += size;
  }
  send_packet(response, response.p_write, total, request);
}

}  // namespace

__attribute__((weak)) void answer_status_page(Z_RESPONSE& response, Z_REQUEST& request, uint32_t status,
                                              bool keep_alive, bool) {
  if (!keep_alive) request.keep_alive = 0;
  const char* text = status_lines[status];
  send_with_body(response, request, status, mime_html, text, std::strlen(text), nullptr);
}

__attribute__((weak)) void serve_resource(Z_RESPONSE& response, Z_REQUEST& request, const z_resource_t& resource) {
  send_with_body(response, request, status_200, static_cast<uint32_t>(resource.mime), resource.data, resource.size,
                 &resource);
}

__attribute__((weak)) bool send_listing(Z_TASK& task) {
  static const char text[] = "<html>listing</html>";
  send_with_body(task.response, task.request, status_200, mime_html, text, sizeof text - 1, nullptr);
  return true;
}

}  // namespace qm
