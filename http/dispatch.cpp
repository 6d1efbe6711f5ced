// Request dispatch and path resolution.
//
// The dispatcher parses the request, answers the bare status responses, the
// HTTPS upgrade and the slash redirect of a virtual directory, resolves the
// target into the slot's Z_PATH and hands the request to the built-in folder
// or to file transmission. Everything is built in place in the slot's
// buffers; the only scratch space is url_decode's byte buffer on the stack.
#include "http/dispatch.h"

#include <cstring>

#include "config/config.h"
#include "config/lists.h"
#include "content/header.h"
#include "content/mime.h"
#include "content/pages.h"
#include "core/engine.h"
#include "core/tls.h"
#include "http/request.h"
#include "http/transfer.h"
#include "os/time.h"

namespace qm {

namespace {

constexpr uint64_t decode_capacity = 8192;  // bytes, terminator included

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// url_decode over [text, end), stopping early at a NUL.
uint64_t decode_span(char16_t* out, uint64_t units, const char* text, const char* end) {
  char bytes[decode_capacity];
  uint64_t n = 0;
  for (const char* p = text; p < end && *p != '\0';) {
    char byte = *p;
    uint64_t step = 1;
    if (byte == '%' && end - p > 2) {
      int high = hex_value(p[1]);
      int low = hex_value(p[2]);
      // %FF stays literal: the '%' is copied and its digits follow as text.
      if (high >= 0 && low >= 0 && (high << 4 | low) != 0xff) {
        byte = static_cast<char>(high << 4 | low);
        step = 3;
      }
    }
    if (byte == '\0') break;  // a decoded NUL ends the text
    if (n == decode_capacity - 1) return 0;
    bytes[n++] = byte;
    p += step;
  }
  if (n == 0) return 0;
  bytes[n] = '\0';
  return utf8_to_utf16(out, units, bytes);
}

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

bool is_separator(char16_t c) { return c == u'/' || c == u'\\'; }

// Normalises the decoded rest in place from its second unit: '\' becomes '/',
// empty and "." segments go, ".." takes the last kept segment with it but
// never reaches before the leading '/'. Returns the new end (terminated).
char16_t* normalise(char16_t* rest) {
  char16_t* floor = rest + 1;
  char16_t* w = floor;
  const char16_t* r = floor;
  while (*r != u'\0') {
    const char16_t* segment = r;
    while (*r != u'\0' && !is_separator(*r)) ++r;
    uint64_t length = static_cast<uint64_t>(r - segment);
    bool separated = *r != u'\0';
    if (separated) ++r;
    if (length == 0 || (length == 1 && segment[0] == u'.')) continue;
    if (length == 2 && segment[0] == u'.' && segment[1] == u'.') {
      if (w > floor) {
        --w;  // the separator of the last kept segment
        while (w > floor && w[-1] != u'/') --w;
      }
      continue;
    }
    std::memmove(w, segment, length * sizeof(char16_t));
    w += length;
    if (separated) *w++ = u'/';
  }
  *w = u'\0';
  return w;
}

// Bytes that may stand in a Location header: no controls, no DEL.
bool location_safe(const char* text, uint64_t size) {
  for (uint64_t i = 0; i < size; ++i)
    if (is_control(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

// The target names a virtual directory without its '/': add it in place,
// after the path and before the query, whose '?' is put back.
int add_directory_slash(Z_PATH& path, Z_REQUEST& request) {
  char* target = request.target;
  // Bytes from body_start on belong to the body or to the next request; the
  // bytes between the target's terminator and there are spent.
  char* new_end = target + request.target_size + 1;
  if (request.body_start == nullptr || new_end >= request.body_start) return -1;
  if (request.query != nullptr) {
    std::memmove(request.query + 1, request.query, request.query_size);
    ++request.query;
    target[request.path_size + 1] = '?';
  }
  target[request.path_size] = '/';
  *new_end = '\0';
  ++request.path_size;
  ++request.target_size;
  char* start = collapse_leading_slashes(target);
  uint64_t skipped = static_cast<uint64_t>(start - target);
  request.target = start;
  request.path_size -= skipped;
  request.target_size -= skipped;
  if (!location_safe(request.target, request.target_size)) return -1;
  path.redirect = 1;
  return -1;
}

// The prefix: the root (without a virtual directory or with a relative one),
// then '/' and the virtual directory's path.
bool build_prefix(Z_PATH& path, const z_vdir_t* vdir) {
  uint64_t used = 0;
  if ((vdir == nullptr || vdir->relative) && vdirs.root_length > 0) {
    if (path.capacity <= vdirs.root_length) return false;
    std::memcpy(path.buffer, vdirs.root, (vdirs.root_length + 1) * sizeof(char16_t));
    used = vdirs.root_length;
  }
  if (vdir != nullptr) {
    if (vdir->relative) {
      if (path.capacity - used <= 1) return false;
      path.buffer[used++] = u'/';
    }
    if (vdir->path_length == 0 || path.capacity - used <= vdir->path_length) return false;
    std::memcpy(path.buffer + used, vdir->path, vdir->path_length * sizeof(char16_t));
    used += vdir->path_length;
    path.buffer[used] = u'\0';
  }
  path.prefix_size = used;
  path.rest = path.buffer + used;
  return true;
}

bool name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

bool address_char(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

// What may follow the name: nothing, or ':' and the port's digits.
bool port_clean(const char* p, const char* end) {
  if (p == end) return true;
  if (*p != ':') return false;
  for (++p; p < end; ++p)
    if (*p < '0' || *p > '9') return false;
  return true;
}

// Host lands in a Location header, so only what a host[:port] may hold
// passes. The name is a bracketed IPv6 address with its brackets ("[::1]"
// of "[::1]:8443": its own colons are no port separator), or the text
// before the ':' of the port. Its size; 0 when the value is no host[:port].
uint64_t host_name_size(const char* host, uint64_t size) {
  const char* end = host + size;
  const char* p = host;
  if (p < end && *p == '[') {
    bool colon = false;
    for (++p; p < end && *p != ']'; ++p) {
      if (!address_char(*p)) return 0;
      colon = colon || *p == ':';
    }
    if (p == end || !colon) return 0;
    ++p;
  } else {
    while (p < end && name_char(*p)) ++p;
  }
  if (p == host || !port_clean(p, end)) return 0;
  return static_cast<uint64_t>(p - host);
}

// Steps before the location: whether this request goes to HTTPS.
bool https_upgrade_applies(Z_TASK& task) {
  Z_REQUEST& request = task.request;
  Z_RESPONSE& response = task.response;
  response.over_tls = task.tls.ssl != nullptr;
  if (response.over_tls) return false;
  if (!effective.upgrade_https.load() || !request.upgrade_insecure_requests) return false;
  if (request.host == nullptr || request.host_size > response.size_write) return false;
  if (request.method != method_get && request.method != method_head && request.method != method_post) return false;
  uint64_t name_size = host_name_size(request.host, request.host_size);
  if (name_size == 0) return false;
  if (!location_safe(request.target, request.path_size)) return false;
  if (request.query != nullptr && !location_safe(request.query, request.query_size)) return false;
  uint64_t hash = host_hash(request.host, name_size);
  if ((hash | 1) == (task.host_verdict | 1)) return (task.host_verdict & 1) != 0;
  bool answer = cert_valid.load() && server_certificate_covers(request.host, name_size);
  task.host_verdict = (hash & ~uint64_t{1}) | (answer ? 1 : 0);
  return answer;
}

// "https://" + Host + target from start on; false when it would not fit in
// the request's own bytes.
bool write_https_location(Z_TASK& task, char* start) {
  Z_REQUEST& request = task.request;
  Z_RESPONSE& response = task.response;
  char* limit = request.body_start;
  if (limit == nullptr || response.p_write == nullptr || request.target < start || limit <= start) return false;
  uint64_t size = 8 + request.host_size + request.target_size;
  if (size >= static_cast<uint64_t>(limit - start)) return false;
  if (request.query != nullptr) request.query[-1] = '?';
  // The Host value sits after the target: keep it aside before the target moves.
  std::memcpy(response.p_write, request.host, request.host_size);
  std::memmove(start + 8 + request.host_size, request.target, request.target_size);
  std::memcpy(start, "https://", 8);
  std::memcpy(start + 8, response.p_write, request.host_size);
  start[size] = '\0';
  return true;
}

// 505 for another major version, 501 for a body in a transfer coding (with
// no Content-Length beside it), 400 for everything else.
uint32_t invalid_status(const Z_REQUEST& request) {
  if (request.version_unsupported) return status_505;
  if (request.transfer_encoding && !request.content_length_given) return status_501;
  return status_400;
}

void answer_and_close(Z_TASK& task, uint32_t status, bool as_text) {
  task.request.keep_alive = 0;
  answer_status_page(task.response, task.request, status, false, as_text);
}

}  // namespace

uint64_t host_hash(const char* name, uint64_t size) {
  uint64_t hash = 0;
  uint64_t accumulator = 0;
  for (uint64_t i = 0; i < size; ++i) {
    int v = static_cast<int8_t>(name[i]);
    if (i & 8) v = ((v << 4) | (v >> 4)) + static_cast<int>(i & 0xff);
    accumulator |= uint64_t{static_cast<uint8_t>(v)} << (8 * (i % 8));
    if (i % 8 == 7) {
      hash ^= accumulator;
      accumulator = 0;
    }
  }
  return hash ^ accumulator;
}

bool upgrade_to_https(Z_TASK& task, char* start) {
  return https_upgrade_applies(task) && write_https_location(task, start);
}

bool target_decodes_to_control(const char* target) {
  if (target == nullptr) return false;
  for (const char* p = target; *p != 0; ++p) {
    unsigned char byte = static_cast<unsigned char>(*p);
    if (byte == '%') {
      int high = hex_value(p[1]);
      int low = high >= 0 ? hex_value(p[2]) : -1;
      if (low >= 0) {
        byte = static_cast<unsigned char>(high << 4 | low);
        p += 2;
      }
    }
    if (is_control(byte)) return true;
  }
  return false;
}

uint64_t url_decode(char16_t* out, uint64_t units, const char* text) {
  if (out == nullptr || text == nullptr) return 0;
  return decode_span(out, units, text, text + std::strlen(text));
}

char* collapse_leading_slashes(char* text) {
  char* p = text;
  while ((p[0] == '/' || p[0] == '\\') && (p[1] == '/' || p[1] == '\\')) ++p;
  if (p[0] == '\\') *p = '/';
  return p;
}

int resolve_path(Z_PATH& path, Z_REQUEST& request) {
  path.redirect = 0;
  path.prefix_size = 0;
  path.rest = path.buffer;
  path.end = nullptr;
  path.rest_size = 0;
  if (path.buffer == nullptr || path.capacity == 0 || request.target == nullptr) return -1;
  path.buffer[0] = u'\0';
  const char* rest_text = request.target;
  const z_vdir_t* vdir = nullptr;
  if (request.path_size > 1 && vdirs.count > 0) {
    const char* segment = request.target + 1;
    const char* segment_end = segment + std::strcspn(segment, "/");
    uint64_t length = decode_span(path.buffer, path.capacity, segment, segment_end);
    if (length > 0) vdir = find_vdir(path.buffer, length);
    if (vdir != nullptr) {
      if (*segment_end == '\0') return add_directory_slash(path, request);
      rest_text = segment_end;
    }
    path.buffer[0] = u'\0';
  }
  if (!build_prefix(path, vdir)) return -1;
  if (url_decode(path.rest, path.capacity - path.prefix_size, rest_text) == 0) return -1;
  path.end = normalise(path.rest);
  path.rest_size = static_cast<uint64_t>(path.end - path.rest);
  path.type = lookup_mime_type(path.rest, path.end);
  return 0;
}

void dispatch_request(Z_TASK& task, char* start, uint64_t size) {
  Z_REQUEST& request = task.request;
  Z_RESPONSE& response = task.response;
  response.over_tls = task.tls.ssl != nullptr;
  if (request.resume_end == nullptr) {
    clear_request(request);
    request.began_ns = os::monotonic_ns();
  }
  parse_request(request, start, size, task.recv_end);
  if (request.method_not_allowed) return answer_and_close(task, status_405, true);
  if (!request.valid) {
    if (request.complete) answer_and_close(task, invalid_status(request), true);
    return;
  }
  if (target_decodes_to_control(request.target)) return answer_and_close(task, status_400, true);
  if (https_upgrade_applies(task)) {
    if (!write_https_location(task, start)) return answer_and_close(task, status_500, false);
    return send_redirect(response, request, start);
  }
  enter_config(task);
  int resolved = resolve_path(response.path, request);
  leave_config(task);
  if (resolved != 0) {
    if (response.path.redirect) return send_redirect(response, request, request.target);
    return answer_and_close(task, status_500, false);
  }
  if (request.method == method_post || std::strncmp(request.target, "/quillmere", 10) == 0)
    return serve_builtin(response, task.tls, request);
  send_file(task);
}

}  // namespace qm
