// Status pages, the product folder "/quillmere" and its POST echo, and redirects.
//
// Every response here is built in the current send half: the header by
// build_header, the body straight behind it, so that each leaves in one send.
#include "content/pages.h"

#include <cstring>

#include "content/header.h"
#include "content/mime.h"
#include "content/resources.h"
#include "core/connection.h"
#include "core/response.h"
#include "http/request.h"
#include "core/tls.h"
#include "os/time.h"

namespace qm {

// The HTML page in front of the message: styles, the mobile script, the
// banner, a spacer row and the opening of the message cell.
const char page_head[] =
    "<html><head><title>quillmere</title><style>"
    "A{color:#202020;text-decoration:none;border-bottom:1px solid transparent;}"
    "A:hover{border-bottom-color:Violet;}"
    "A:active{color:DarkViolet;border-bottom-color:DarkViolet;}"
    "BODY{font-family:Helvetica,Arial,sans-serif;font-size:20pt;}"
    "TABLE{font-family:Helvetica,Arial,sans-serif;font-size:20pt;}"
    "BUTTON{color:#202020;font-size:12pt;outline:none;-webkit-user-select:none;}"
    ".st_center{text-align:center;}"
    ".st_quillmere{display:inline-block;transition:all 0.5s ease-out;-webkit-transition:all 0.5s ease-out;}"
    ".st_mere{display:inline-block;position:relative;top:4px;}"
    ".st_err{color:DarkViolet;}"
    "</style>"
    "<script type=\"text/javascript\">"
    "window.is_mobile=(navigator.userAgent.toUpperCase().indexOf(\"MOBILE\")>=0);"
    "function st_addRule(_selector,_style,_index){"
    "var _sheets=document.styleSheets;var _sheet=_sheets[_sheets.length-1];"
    "if(_sheet.insertRule){_sheet.insertRule(_selector+\" { \"+_style+\" } \",_index);}"
    "else if(_sheet.addRule){_sheet.addRule(_selector,_style,_index);}}"
    "if(window.is_mobile){st_addRule(\"TABLE\",\"margin:auto;\",0);}"
    "</script>"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1.0, minimum-scale=1.0, "
    "maximum-scale=1.0, user-scalable=0\" /></head><body><table>"
    "<tr><td colspan=\"4\"><b id=\"g\" class=\"st_quillmere\">quill<span class=\"st_mere\">mere</span></b>"
    " web server<br />Small, fast web server for static content and media streaming<br />"
    "<a href=\"https://quillmere.example.com/\">quillmere.example.com</a></td></tr>"
    "<tr><td colspan=\"4\">&nbsp;</td></tr>"
    "<tr class=\"st_center\"><td colspan=\"4\" class=\"st_err\">";

// The HTML page behind the message: spacer, buttons and the banner's colour.
const char page_tail[] =
    "</td></tr>"
    "<tr><td colspan=\"4\">&nbsp;</td></tr>"
    "<tr class=\"st_center\">"
    "<td><button onclick=\"history.back();\">Back</button></td>"
    "<td><button onclick=\"location.reload(true);\">Refresh</button></td>"
    "<td><button onclick=\"location.assign('../');\">Up</button></td>"
    "<td><button onclick=\"location.assign('/');\">Home</button></td>"
    "</tr></table>"
    "<script type=\"text/javascript\">"
    "function st_violet(){document.getElementById(\"g\").style.color=\"DarkViolet\";setTimeout(st_black,500);}"
    "function st_black(){document.getElementById(\"g\").style.color=\"black\";setTimeout(st_violet,10000);}"
    "window.onload=function(){setTimeout(st_violet,2000);};"
    "</script>"
    "</body></html>";

// The plain-text banner in front of a text status message.
const char text_banner[] =
    "quillmere web server\r\n"
    "Small, fast web server for static content and media streaming\r\n"
    "https://quillmere.example.com/\r\n"
    "\r\n";

namespace {

constexpr uint64_t page_head_size = sizeof(page_head) - 1;
constexpr uint64_t page_tail_size = sizeof(page_tail) - 1;
constexpr uint64_t text_banner_size = sizeof(text_banner) - 1;
constexpr char greeting[] = "Enjoy the mere!";
constexpr uint64_t greeting_size = sizeof(greeting) - 1;
constexpr uint64_t about_size = page_head_size + greeting_size + page_tail_size;
constexpr uint64_t redirect_room = 65536;
// Where the eleventh byte of "/quillmere/..." sits.
constexpr uint64_t product_folder_size = 10;

char* put(char* cursor, const char* bytes, uint64_t size) {
  std::memcpy(cursor, bytes, size);
  return cursor + size;
}

bool is_simple(const Z_REQUEST& request) { return request.version < 0; }

// The header of a 200 response, or nothing for a simple request (which
// gets the body alone). False when the header does not fit.
bool put_ok_header(const Z_RESPONSE& response, const Z_REQUEST& request, uint32_t mime, uint64_t length,
                   uint64_t& header_size) {
  header_size = 0;
  if (is_simple(request)) return true;
  header_size = build_header(response, response.p_write, response.size_write, status_200, mime, length,
                             request.keep_alive != 0, false, nullptr, nullptr, nullptr, nullptr, nullptr);
  return header_size != 0;
}

// A body part of size fits behind header_size bytes, one byte to spare.
bool fits_behind(const Z_RESPONSE& response, uint64_t header_size, uint64_t size) {
  return header_size < response.size_write && size < response.size_write - header_size - 1;
}

// The answer when a body does not fit the half: 500 as text, closed.
void answer_too_large(Z_RESPONSE& response, Z_REQUEST& request) {
  request.keep_alive = 0;
  answer_status_page(response, request, status_500, false, true);
}

void send_about_page(Z_RESPONSE& response, Z_REQUEST& request) {
  uint64_t header_size = 0;
  if (!put_ok_header(response, request, mime_html, about_size, header_size)) return;
  if (request.method == method_head) {
    if (header_size != 0) send_packet(response, response.p_write, header_size, request);
    return;
  }
  if (!fits_behind(response, header_size, about_size)) return answer_too_large(response, request);
  char* cursor = put(response.p_write + header_size, page_head, page_head_size);
  cursor = put(cursor, greeting, greeting_size);
  put(cursor, page_tail, page_tail_size);
  send_packet(response, response.p_write, header_size + about_size, request);
}

// The rest of a body too large for the receive buffer, read from the
// connection half by half and sent on as it comes, within the request's
// deadline. A body that stops short ends the connection.
void echo_rest(Z_RESPONSE& response, Z_TLS& tls, Z_REQUEST& request, uint64_t remaining) {
  // A request whose start is not known (not dispatched) counts from now.
  const int64_t began = request.began_ns != 0 ? request.began_ns : os::monotonic_ns();
  const int64_t deadline = request_deadline(request, began);
  while (remaining > 0) {
    uint64_t want = remaining < response.size_write ? remaining : response.size_write;
    char* half = response.p_write;
    int64_t got = receive_before(tls, half, want, began, deadline);
    if (got <= 0) {
      request.keep_alive = 0;
      return;
    }
    if (!send_packet(response, half, static_cast<uint64_t>(got), request)) return;
    remaining -= static_cast<uint64_t>(got);
  }
  request.body_drained = 1;
}

void echo_body(Z_RESPONSE& response, Z_TLS& tls, Z_REQUEST& request) {
  uint64_t length = static_cast<uint64_t>(request.content_length);
  uint64_t present = request.body_cut ? request.body_in_buffer : length;
  if (present > length) present = length;
  uint64_t header_size = 0;
  if (!put_ok_header(response, request, mime_plain, length, header_size)) return;
  if (!fits_behind(response, header_size, present)) return answer_too_large(response, request);
  if (present > 0) std::memcpy(response.p_write + header_size, request.body_start, present);
  if (!send_packet(response, response.p_write, header_size + present, request)) return;
  echo_rest(response, tls, request, length - present);
}

// The text with & < > " ' as character references, for an attribute value.
// The bytes written, or 0 when it does not fit.
uint64_t put_attribute_escaped(char* out, uint64_t room, const char* text) {
  uint64_t used = 0;
  for (const char* p = text; *p != 0; ++p) {
    const char* piece = nullptr;
    switch (*p) {
      case '&': piece = "&amp;"; break;
      case '<': piece = "&lt;"; break;
      case '>': piece = "&gt;"; break;
      case '"': piece = "&quot;"; break;
      case '\'': piece = "&#39;"; break;
      default: break;
    }
    uint64_t size = piece != nullptr ? std::strlen(piece) : 1;
    if (size > room - used) return 0;
    if (piece != nullptr)
      std::memcpy(out + used, piece, size);
    else
      out[used] = *p;
    used += size;
  }
  return used;
}

uint64_t escaped_size(const char* text) {
  uint64_t size = 0;
  for (const char* p = text; *p != 0; ++p) {
    switch (*p) {
      case '&': size += 5; break;
      case '<':
      case '>': size += 4; break;
      case '"': size += 6; break;
      case '\'': size += 5; break;
      default: size += 1; break;
    }
  }
  return size;
}

}  // namespace

uint64_t send_status_page(const Z_RESPONSE& response, char* out, uint64_t room, uint32_t status, bool keep_alive,
                          bool head_only, bool as_text) {
  if (out == nullptr || status >= status_line_count) return 0;
  const char* text = status_lines[status];
  uint64_t text_size = std::strlen(text);
  uint64_t body_size = as_text ? text_banner_size + text_size + 2 : page_head_size + text_size + page_tail_size;
  uint64_t header_size = build_header(response, out, room, status, as_text ? mime_plain : mime_html, body_size,
                                      keep_alive, true, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (header_size == 0 || body_size >= room - header_size) return 0;
  if (head_only) return header_size;
  char* cursor = out + header_size;
  if (as_text) {
    cursor = put(cursor, text_banner, text_banner_size);
    cursor = put(cursor, text, text_size);
    put(cursor, "\r\n", 2);
  } else {
    cursor = put(cursor, page_head, page_head_size);
    cursor = put(cursor, text, text_size);
    put(cursor, page_tail, page_tail_size);
  }
  return header_size + body_size;
}

void answer_status_page(Z_RESPONSE& response, Z_REQUEST& request, uint32_t status, bool keep_alive, bool as_text) {
  uint64_t size = send_status_page(response, response.p_write, response.size_write, status, keep_alive,
                                   request.method == method_head, as_text);
  if (size != 0) send_packet(response, response.p_write, size, request);
}

void serve_builtin(Z_RESPONSE& response, Z_TLS& tls, Z_REQUEST& request) {
  const char* target = request.target;
  uint64_t target_size = request.path_size;
  if (target != nullptr && target_size > product_folder_size + 1 && target[product_folder_size] == '/') {
    const z_resource_t* resource =
        find_web_resource(target + product_folder_size + 1, target_size - product_folder_size - 1);
    if (resource != nullptr) return serve_resource(response, request, *resource);
  }
  if (request.method == method_get || request.method == method_head) return send_about_page(response, request);
  if (request.content_length <= 0) {
    request.keep_alive = 0;
    return answer_status_page(response, request, status_411, false, true);
  }
  echo_body(response, tls, request);
}

void send_redirect(Z_RESPONSE& response, Z_REQUEST& request, const char* location) {
  if (location == nullptr) location = "";
  static constexpr char open[] = "<html><head><title>";
  static constexpr char link[] = "</title></head><body><a href=\"";
  static constexpr char close[] = "\"><h1>Moved here</h1></a></body></html>";
  const char* title = status_lines[status_302];
  uint64_t title_size = std::strlen(title);
  uint64_t body_size = (sizeof(open) - 1) + title_size + (sizeof(link) - 1) + escaped_size(location) +
                       (sizeof(close) - 1);
  uint64_t room = response.size_write < redirect_room ? response.size_write : redirect_room;
  uint64_t header_size = build_header(response, response.p_write, room, status_302, mime_html, body_size,
                                      request.keep_alive != 0, true, nullptr, nullptr, nullptr, nullptr, location);
  if (header_size == 0) return;
  if (request.method == method_head) {
    send_packet(response, response.p_write, header_size, request);
    return;
  }
  if (body_size > response.size_write - header_size) return;
  char* cursor = put(response.p_write + header_size, open, sizeof(open) - 1);
  cursor = put(cursor, title, title_size);
  cursor = put(cursor, link, sizeof(link) - 1);
  cursor += put_attribute_escaped(cursor, escaped_size(location), location);
  put(cursor, close, sizeof(close) - 1);
  send_packet(response, response.p_write, header_size + body_size, request);
}

}  // namespace qm
