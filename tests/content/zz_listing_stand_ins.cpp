// TEST-ONLY STAND-INS for the status pages and redirects, so that the listing
// tests link before content/pages.cpp exists in this branch. Delete this file
// once the real status pages are merged: the two would clash at link time.
#include <cstring>
#include <string>

#include "content/header.h"
#include "content/pages.h"
#include "core/connection.h"
#include "core/engine.h"

namespace qm {

namespace {

void send_text(Z_RESPONSE& response, Z_REQUEST& request, const std::string& text) {
  std::memcpy(response.p_write, text.data(), text.size());
  send_packet(response, response.p_write, text.size(), request);
}

}  // namespace

void answer_status_page(Z_RESPONSE& response, Z_REQUEST& request, uint32_t status, bool keep_alive, bool) {
  if (!keep_alive) request.keep_alive = 0;
  send_text(response, request,
            std::string("HTTP/1.1 ") + status_lines[status] + "\r\nConnection: " +
                (keep_alive ? "keep-alive" : "close") + "\r\n\r\n");
}

void send_redirect(Z_RESPONSE& response, Z_REQUEST& request, const char* location) {
  send_text(response, request, std::string("HTTP/1.1 302 Found\r\nLocation: ") + location + "\r\n\r\n");
}

}  // namespace qm
