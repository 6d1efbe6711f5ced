// Sending a carried file: whole with 200, or 304 when the client holds it.
#include <cstring>

#include "content/header.h"
#include "content/mime.h"
#include "content/pages.h"
#include "content/resources.h"
#include "core/response.h"
#include "http/request.h"
#include "http/conditions.h"

namespace qm {

namespace {

const char* charset_of(const z_resource_t& resource) {
  if (resource.charset < 0 || static_cast<uint32_t>(resource.charset) >= charset_count) return nullptr;
  return charsets[resource.charset];
}

}  // namespace

void serve_resource(Z_RESPONSE& response, Z_REQUEST& request, const z_resource_t& resource) {
  bool match = not_modified_since(request, resource.last_write);
  uint64_t header_size = build_header(response, response.p_write, response.size_write,
                                      match ? status_304 : status_200, static_cast<uint32_t>(resource.mime),
                                      resource.size, request.keep_alive != 0, false, nullptr, nullptr, &resource,
                                      charset_of(resource), nullptr);
  // Header and file must leave together in one half.
  if (header_size == 0 || resource.size >= response.size_write - header_size) {
    request.keep_alive = 0;
    return answer_status_page(response, request, status_500, false, true);
  }
  uint64_t size = header_size;
  if (request.method != method_head && !match) {
    std::memcpy(response.p_write + header_size, resource.data, resource.size);
    size += resource.size;
  }
  send_packet(response, response.p_write, size, request);
}

}  // namespace qm
