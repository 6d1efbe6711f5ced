// Status pages, the product folder "/quillmere" and its POST echo, and redirects.
#pragma once
#include <cstdint>

namespace qm {

struct Z_RESPONSE;
struct Z_REQUEST;
struct Z_TLS;

// The HTML page around a message: page_head, the message, page_tail.
extern const char page_head[];
extern const char page_tail[];
// The four CR LF lines in front of a plain-text status message.
extern const char text_banner[];

// Writes a status response (header and body, text or HTML) at out; its
// length, or 0 when nothing fits. The caller hands it to send_packet.
uint64_t send_status_page(const Z_RESPONSE& response, char* out, uint64_t room, uint32_t status, bool keep_alive,
                          bool head_only, bool as_text);
// Builds the status page in the current half and sends it.
void answer_status_page(Z_RESPONSE& response, Z_REQUEST& request, uint32_t status, bool keep_alive, bool as_text);

// "/quillmere..." for GET and HEAD (resources and the about page) and every POST (the echo).
void serve_builtin(Z_RESPONSE& response, Z_TLS& tls, Z_REQUEST& request);

// "302 Found" to location, with its "Moved here" page.
void send_redirect(Z_RESPONSE& response, Z_REQUEST& request, const char* location);

}  // namespace qm
