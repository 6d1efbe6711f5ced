// The in-place request parser. See request.h for the calling contract.
#include "http/request.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>

namespace qm {
namespace {

// The request line and the header block must end within this many bytes.
constexpr uint64_t line_limit = 8192;
// A body wait needs more room than this left in the receive buffer.
constexpr uint64_t body_room = 16;

constexpr std::string_view methods[] = {"CONNECT", "DELETE", "GET",  "HEAD", "OPTIONS",
                                        "PATCH",   "POST",   "PUT",  "TRACE"};
constexpr std::string_view connection_tokens[] = {"close", "http2-settings", "keep-alive", "upgrade"};
constexpr std::string_view upgrade_values[] = {"h2c", "websocket"};

enum : int {
  h_accept, h_accept_encoding, h_accept_language, h_cache_control, h_connection,
  h_content_length, h_content_type, h_cookie, h_forwarded, h_from, h_host,
  h_http2_settings, h_if_modified_since, h_if_none_match, h_origin, h_pragma, h_range,
  h_referer, h_scheme, h_sec_websocket_extensions, h_sec_websocket_key,
  h_sec_websocket_key1, h_sec_websocket_key2, h_sec_websocket_protocol,
  h_sec_websocket_version, h_upgrade, h_upgrade_insecure_requests, h_user_agent, h_via,
  h_x_forwarded_for, h_x_playback_session_id,
};

constexpr std::string_view header_names[] = {
    "accept", "accept-encoding", "accept-language", "cache-control", "connection",
    "content-length", "content-type", "cookie", "forwarded", "from", "host",
    "http2-settings", "if-modified-since", "if-none-match", "origin", "pragma", "range",
    "referer", "scheme", "sec-websocket-extensions", "sec-websocket-key",
    "sec-websocket-key1", "sec-websocket-key2", "sec-websocket-protocol",
    "sec-websocket-version", "upgrade", "upgrade-insecure-requests", "user-agent", "via",
    "x-forwarded-for", "x-playback-session-id",
};
static_assert(std::size(header_names) == 31);

template <size_t N>
constexpr bool is_sorted_table(const std::string_view (&table)[N]) {
  for (size_t i = 1; i < N; ++i)
    if (!(table[i - 1] < table[i])) return false;
  return true;
}
static_assert(is_sorted_table(methods) &&
              is_sorted_table(connection_tokens) && is_sorted_table(upgrade_values) &&
              is_sorted_table(header_names));

// Binary search of a sorted table; -1 when text is not in it.
template <size_t N>
int lookup(const std::string_view (&table)[N], std::string_view text) {
  const auto* end = table + N;
  const auto* it = std::lower_bound(table, end, text);
  return (it != end && *it == text) ? static_cast<int>(it - table) : -1;
}

// One call's view of the data: [start, data_end) received, *data_end == 0.
struct Input {
  Z_REQUEST& r;
  char* start;
  char* data_end;
  char* buffer_end;
};

bool wait(Input& in, char* resume_from) {
  in.r.complete = 0;
  in.r.resume_from = resume_from;
  in.r.resume_end = in.data_end;
  return false;
}

// A rejected request is finished: nothing is waiting to be appended.
bool reject(Input& in) {
  in.r.complete = 1;
  in.r.valid = 0;
  in.r.resume_end = nullptr;
  return false;
}

// More data may still complete the request line or header block: the data
// has not reached scan_limit (8192 bytes, or the buffer's last byte).
bool may_grow(const Input& in) { return in.data_end < in.r.scan_limit; }

// Hides the byte at scan_limit behind a NUL while a bounded search runs; the
// returned pointer is where the search must stop.
char* hide_limit(Input& in) {
  if (in.r.scan_limit >= in.data_end) return in.data_end;
  in.r.saved_byte = static_cast<uint8_t>(*in.r.scan_limit);
  *in.r.scan_limit = '\0';
  return in.r.scan_limit;
}

void restore_limit(Input& in, char* end) {
  if (end != in.data_end) *end = static_cast<char>(in.r.saved_byte);
}

// First c in [from, end), or null.
char* find(char* from, const char* end, char c) {
  for (char* p = from; p < end; ++p)
    if (*p == c) return p;
  return nullptr;
}

// Last c in [from, end), or null.
char* find_last(char* from, char* end, char c) {
  for (char* p = end; p > from;)
    if (*--p == c) return p;
  return nullptr;
}

char* later_of(char* floor, char* p, uint64_t back) {
  return static_cast<uint64_t>(p - floor) > back ? p - back : floor;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Signed decimal: leading spaces, one sign, digits up to the first other
// byte. The result is saturated to the 32-bit range; false when it had to be.
bool read_signed(const char* p, int32_t* out) {
  while (*p == ' ') ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  const int64_t ceiling = negative ? -int64_t{INT32_MIN} : int64_t{INT32_MAX};
  int64_t value = 0;
  bool fits = true;
  for (; is_digit(*p); ++p) {
    value = value * 10 + (*p - '0');
    if (value > ceiling) {
      value = ceiling;
      fits = false;
    }
  }
  *out = static_cast<int32_t>(negative ? -value : value);
  return fits;
}

int32_t read_signed(const char* p) {
  int32_t value = 0;
  read_signed(p, &value);
  return value;
}

// A length that does not fit 32 bits is kept as -1, so that it is rejected
// like a negative one instead of being cut to some other length.
int64_t read_content_length(const char* p) {
  int32_t value = 0;
  return read_signed(p, &value) ? value : -1;
}

// Unsigned decimal digits into 64 bits, saturated; *given says whether any were read.
uint64_t read_unsigned(const char* p, uint8_t* given) {
  uint64_t value = 0;
  *given = is_digit(*p) ? 1 : 0;
  for (; is_digit(*p); ++p) {
    unsigned digit = static_cast<unsigned>(*p - '0');
    value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
  }
  return value;
}

// Space-separated key '=' value items (Cache-Control, Forwarded); on_item
// gets each key and its value, which runs to the next space. With cut set,
// that space becomes NUL so the value can be kept.
template <typename OnItem>
void read_items(char* p, bool cut, OnItem on_item) {
  while (*p) {
    while (*p == ' ') ++p;
    char* key = p;
    while (*p && *p != '=' && *p != ' ') ++p;
    if (*p != '=') continue;
    std::string_view name(key, static_cast<size_t>(p - key));
    char* value = ++p;
    while (*p && *p != ' ') ++p;
    if (cut && *p) *p++ = '\0';
    on_item(name, value);
  }
}

void read_cache_control(Z_REQUEST& r, char* p) {
  read_items(p, false, [&](std::string_view name, char* value) {
    if (name == "max-age") r.max_age = static_cast<uint32_t>(read_signed(value));
  });
}

void read_forwarded(Z_REQUEST& r, char* p) {
  read_items(p, true, [&](std::string_view name, char* value) {
    if (name == "for") r.forwarded_for = value;
  });
}

// Tokens separated by ',', each matched whole; they only ever set flags.
void read_connection(Z_REQUEST& r, const char* p) {
  for (;;) {
    const char* token = p;
    while (*p && *p != ',') ++p;
    switch (lookup(connection_tokens, std::string_view(token, static_cast<size_t>(p - token)))) {
      case 0: r.conn_close = 1; break;
      case 1: r.conn_http2_settings = 1; break;
      case 2: r.keep_alive = 1; break;
      case 3: r.conn_upgrade = 1; break;
      default: break;
    }
    if (!*p) return;
    ++p;
    while (*p == ' ') ++p;
  }
}

// Only the first range counts; a later Range header replaces an earlier one.
void read_range(Z_REQUEST& r, const char* value) {
  const char* eq = std::strchr(value, '=');
  if (!eq) return;
  r.range_start = r.range_end = 0;
  r.range_start_given = r.range_end_given = 0;
  r.range_unit = std::string_view(value, static_cast<size_t>(eq - value)) == "bytes" ? 1 : 0;
  if (!r.range_unit) return;
  const char* first = eq + 1;
  const char* p = first;
  while (*p && *p != ',' && *p != '-') ++p;
  if (*p != '-') return;
  r.range_start = read_unsigned(first, &r.range_start_given);
  r.range_end = read_unsigned(p + 1, &r.range_end_given);
}

// ---- weighted lists: Accept, Accept-Encoding (RFC 9110 section 12.4.2) ----

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool ends_word(char c) { return c == 0 || c == ',' || c == ';' || is_blank(c); }

const char* skip_blanks(const char* p) {
  while (is_blank(*p)) ++p;
  return p;
}

// A qvalue: 1 when above zero, 0 for zero, -1 for a text that is none.
int read_weight(const char* p, const char* end) {
  if (p == end || (*p != '0' && *p != '1')) return -1;
  const bool one = *p++ == '1';
  bool above_zero = one;
  if (p != end && *p == '.') {
    ++p;
    if (end - p > 3) return -1;
    for (; p != end; ++p) {
      if (!is_digit(*p) || (one && *p != '0')) return -1;
      if (*p != '0') above_zero = true;
    }
  }
  return p == end ? (above_zero ? 1 : 0) : -1;
}

// The parameters after a list element's name, up to its ','; the weight of
// its q parameter (1 without one). p is left on the ',' or the NUL.
int read_parameters(const char*& p) {
  int weight = 1;
  for (;;) {
    p = skip_blanks(p);
    if (*p != ';') break;
    p = skip_blanks(p + 1);
    const char* name = p;
    while (!ends_word(*p) && *p != '=') ++p;
    std::string_view key(name, static_cast<size_t>(p - name));
    if (*p != '=') continue;
    const char* value = ++p;
    if (*p == '"') {
      for (++p; *p != 0 && *p != '"'; ++p) {
        if (*p == '\\' && p[1] != 0) ++p;
      }
      if (*p == '"') ++p;
    } else {
      while (!ends_word(*p)) ++p;
    }
    if (key == "q") weight = read_weight(value, p);
  }
  while (*p != 0 && *p != ',') ++p;  // whatever else the element holds
  return weight;
}

// Calls on_entry with each element's name and weight.
template <typename OnEntry>
void read_weighted_list(const char* p, OnEntry on_entry) {
  while (*p != 0) {
    p = skip_blanks(p);
    const char* name = p;
    while (!ends_word(*p)) ++p;
    std::string_view entry(name, static_cast<size_t>(p - name));
    int weight = read_parameters(p);
    if (!entry.empty()) on_entry(entry, weight);
    if (*p == ',') ++p;
  }
}

// Whether a lower-cased list accepts token (or its alias): its own element
// decides by its weight (q=0 refuses); without one, "*" does where it counts.
bool list_accepts(const char* list, std::string_view token, std::string_view alias, bool wildcard_counts) {
  int own = -1, any = -1;
  read_weighted_list(list, [&](std::string_view name, int weight) {
    if (weight < 0) return;  // an element with a broken weight says nothing
    if (name == token || (!alias.empty() && name == alias)) {
      own = weight;
    } else if (wildcard_counts && name == "*") {
      any = weight;
    }
  });
  return own >= 0 ? own > 0 : any > 0;
}

void apply_header(Z_REQUEST& r, int index, char* value) {
  switch (index) {
    case h_accept:
      r.accept = value;
      // Named only: "*/*" and "image/*" come from clients that may not read WebP.
      r.accepts_webp = list_accepts(value, "image/webp", "", false);
      break;
    case h_accept_encoding:
      r.accept_encoding = value;
      r.accepts_br = list_accepts(value, "br", "", true);
      r.accepts_gzip = list_accepts(value, "gzip", "x-gzip", true);
      break;
    case h_accept_language: r.accept_language = value; break;
    case h_cache_control: read_cache_control(r, value); break;
    case h_connection: read_connection(r, value); break;
    case h_content_length: {
      int64_t length = read_content_length(value);
      if (r.content_length_given && length != r.content_length) r.lengths_conflict = 1;
      r.content_length = length;
      r.content_length_given = 1;
      break;
    }
    case h_content_type: r.content_type = value; break;
    case h_cookie: r.cookie = value; break;
    case h_forwarded: read_forwarded(r, value); break;
    case h_from: r.from = value; break;
    case h_host:
      r.host = value;
      r.host_size = std::strlen(value);
      break;
    case h_http2_settings: r.http2_settings = value; break;
    case h_if_modified_since: r.if_modified_since = value; break;
    case h_if_none_match: r.if_none_match = value; break;
    case h_origin: r.origin = value; break;
    case h_pragma: r.pragma = value; break;
    case h_range: read_range(r, value); break;
    case h_referer: r.referer = value; break;
    case h_scheme: r.scheme = value; break;
    case h_sec_websocket_extensions: r.sec_websocket_extensions = value; break;
    case h_sec_websocket_key: r.sec_websocket_key = value; break;
    case h_sec_websocket_key1: r.sec_websocket_key1 = value; break;
    case h_sec_websocket_key2: r.sec_websocket_key2 = value; break;
    case h_sec_websocket_protocol: r.sec_websocket_protocol = value; break;
    case h_sec_websocket_version: r.websocket_version = static_cast<uint32_t>(read_signed(value)); break;
    case h_upgrade: r.upgrade = static_cast<uint32_t>(lookup(upgrade_values, value) + 1); break;
    case h_upgrade_insecure_requests: r.upgrade_insecure_requests = value[0] == '1'; break;
    case h_user_agent: r.user_agent = value; break;
    case h_via: r.via = value; break;
    case h_x_forwarded_for: r.x_forwarded_for = value; break;
    case h_x_playback_session_id: r.x_playback_session_id = value; break;
    default: break;
  }
}

void lower_case(char* p) {
  for (; *p; ++p)
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
}

// The query flags and the verdict, once the whole request is present.
bool finish(Input& in) {
  Z_REQUEST& r = in.r;
  if (char* mark = std::strchr(r.target, '?')) {
    *mark = '\0';
    r.query = mark + 1;
    r.path_size = static_cast<uint64_t>(mark - r.target);
    r.query_size = r.target_size - r.path_size - 1;
    std::string_view q(r.query);
    r.debug = q == "dbg" || q == "debug";
    for (std::string_view word : {std::string_view("download"), std::string_view("down")})
      if (q.substr(0, word.size()) == word && (q.size() == word.size() || q[word.size()] == '&'))
        r.download = 1;
  }
  r.resume_end = nullptr;
  r.complete = 1;
  r.valid = !(r.version == 1 && r.host == nullptr);
  // HTTP/1.1 connections persist unless the client says "close" (RFC 9112
  // section 9.3); HTTP/1.0 ones only when it says "keep-alive".
  if (r.version == 1) r.keep_alive = 1;
  if (r.conn_close) r.keep_alive = 0;
  return true;
}

// The body: a body larger than the buffer's room is left to its
// handler with body_in_buffer set.
bool read_body(Input& in) {
  Z_REQUEST& r = in.r;
  uint64_t present = static_cast<uint64_t>(in.data_end - r.body_start);
  if (static_cast<uint64_t>(r.content_length) > present) {
    if (static_cast<uint64_t>(in.buffer_end - in.data_end) > body_room) return wait(in, r.body_start);
    r.body_in_buffer = present;
    r.body_cut = 1;
  }
  return finish(in);
}

// The header lines, in a block that ends at its first NUL.
bool read_headers(Input& in, char* line) {
  lower_case(line);
  while (*line) {
    char* colon = std::strchr(line, ':');
    if (!colon) return reject(in);  // a name that never ends
    *colon = '\0';
    char* value = colon + 1;
    while (*value == ' ') ++value;
    char* end = value;
    while (*end && *end != '\n') ++end;
    char* next = end;
    if (*end == '\n') {
      *end = '\0';
      if (end[-1] == '\r') end[-1] = '\0';
      next = end + 1;
    }
    std::string_view name(line, static_cast<size_t>(colon - line));
    int index = lookup(header_names, name);
    if (index >= 0) {
      apply_header(in.r, index, value);
    } else if (name == "transfer-encoding") {
      in.r.transfer_encoding = 1;
    }
    line = next;
  }
  Z_REQUEST& r = in.r;
  if (r.content_length < 0 || r.lengths_conflict || r.transfer_encoding) return reject(in);
  return read_body(in);
}

// A blank line (LF, or CR LF) begins at p; p[1] is read only after a CR, so
// never past the terminating NUL.
bool blank_line_at(const char* p) { return p[0] == '\n' || (p[0] == '\r' && p[1] == '\n'); }

// The header block ends at its first blank line (the CR LF CR LF or
// LF LF after the last header line), which must lie before scan_limit.
// Searching from the first header line `first` starts at `from`, one byte
// before the data not yet seen, so a terminator split across receives is
// found. A NUL inside the block rejects it: the strings cut out of the block
// could not tell it from their own end.
bool find_header_end(Input& in, char* first, char* from) {
  char* end = hide_limit(in);
  char* blank = (from == first || from[-1] == '\n') && blank_line_at(from) ? from : nullptr;
  char* p = from;
  for (; !blank && *p; ++p)
    if (*p == '\n' && blank_line_at(p + 1)) blank = p + 1;
  restore_limit(in, end);
  if (!blank) return p == end && may_grow(in) ? wait(in, first) : reject(in);
  Z_REQUEST& r = in.r;
  if (blank[0] == '\n') {
    blank[0] = '\0';
    r.body_start = blank + 1;
  } else {
    blank[0] = blank[1] = '\0';
    r.body_start = blank + 2;
  }
  return read_headers(in, first);
}

// "HTTP/" DIGIT "." DIGIT (RFC 9112 section 2.3): 0 for 1.0, 1 for every
// later 1.x (answered as 1.1, RFC 9110 section 2.5), version_other_major
// for another major version, -1 for a text that is no version.
constexpr int version_other_major = 2;

int read_version(const char* text) {
  if (std::strncmp(text, "HTTP/", 5) != 0) return -1;
  const char* p = text + 5;
  if (!is_digit(p[0]) || p[1] != '.' || !is_digit(p[2]) || p[3] != 0) return -1;
  if (p[0] != '1') return version_other_major;
  return p[2] == '0' ? 0 : 1;
}

// Version, target form and the simple request, once the request line's LF
// (now NUL) is known. Only a line without a version is a simple request.
bool read_request_line(Input& in, char* lf, char* text_end) {
  Z_REQUEST& r = in.r;
  char* target_end = text_end;
  if (char* sep = find_last(r.target, text_end, ' ')) {
    *sep = '\0';
    target_end = sep;
    int version = read_version(sep + 1);
    if (version == version_other_major) {
      r.version = 1;  // the answer still carries a status line
      r.version_unsupported = 1;
    }
    if (version < 0 || version == version_other_major) return reject(in);
    r.version = version;
  }
  if (r.target[0] != '/') {
    char* authority = nullptr;
    if (std::strncmp(r.target, "https://", 8) == 0) authority = r.target + 8;
    else if (std::strncmp(r.target, "http://", 7) == 0) authority = r.target + 7;
    if (!authority || authority >= target_end) return reject(in);
    char* path = find(authority + 1, target_end, '/');
    if (!path) return reject(in);
    r.authority = authority;
    r.authority_size = static_cast<uint64_t>(path - authority);
    r.target = path;
  }
  r.target_size = r.path_size = static_cast<uint64_t>(target_end - r.target);
  if (r.version == -1) {
    r.body_start = lf + 1;  // a simple request has no header block
    return read_body(in);
  }
  return find_header_end(in, lf + 1, lf + 1);
}

// The LF that ends the request line, within scan_limit. A NUL in the
// line rejects it, as in the header block.
bool find_line_end(Input& in, char* from) {
  Z_REQUEST& r = in.r;
  r.parse_state = 2;
  char* end = hide_limit(in);
  char* lf = from;
  while (*lf && *lf != '\n') ++lf;
  restore_limit(in, end);
  if (lf == end) return may_grow(in) ? wait(in, later_of(r.target, in.data_end, 1)) : reject(in);
  if (*lf != '\n') return reject(in);
  *lf = '\0';
  char* text_end = lf;
  if (lf > r.target && lf[-1] == '\r') *--text_end = '\0';
  r.parse_state = 0;
  return read_request_line(in, lf, text_end);
}

// The method, an upper-case word ended by a space within 8 bytes.
bool read_method(Input& in) {
  Z_REQUEST& r = in.r;
  r.request_start = in.start;
  // Bounded by the buffer too, so that the last byte's NUL always fits.
  r.scan_limit = in.start + std::min<uint64_t>(line_limit, static_cast<uint64_t>(in.buffer_end - 1 - in.start));
  r.parse_state = 1;
  uint64_t size = static_cast<uint64_t>(in.data_end - in.start);
  uint64_t n = std::min<uint64_t>(size, 8);
  uint64_t space = 0;
  while (space < n && in.start[space] != ' ') {
    if (in.start[space] < 'A' || in.start[space] > 'Z') return reject(in);
    ++space;
  }
  if (space == n) return n < 8 ? wait(in, in.start) : reject(in);
  if (space == size - 1) return may_grow(in) ? wait(in, in.start) : reject(in);
  in.start[space] = '\0';
  int method = lookup(methods, std::string_view(in.start, space));
  if (method < 0) return reject(in);
  r.method = static_cast<uint32_t>(method);
  if (method != method_get && method != method_head && method != method_post) {
    r.method_not_allowed = 1;
    return reject(in);
  }
  r.target = in.start + space + 1;
  return find_line_end(in, r.target);
}

}  // namespace

void clear_request(Z_REQUEST& request) {
  request = Z_REQUEST{};
  request.version = -1;
}

namespace {

// The data and its NUL must lie inside the buffer, and a resumed parse must
// continue the same request with no less data than before.
bool usable(const Z_REQUEST& r, const char* start, uint64_t size, const char* buffer_end) {
  if (!start || !buffer_end || buffer_end <= start) return false;
  if (size >= static_cast<uint64_t>(buffer_end - start)) return false;
  if (!r.resume_end || r.parse_state == 1) return true;
  return r.request_start == start && r.resume_end >= start && r.resume_end <= start + size;
}

}  // namespace

bool parse_request(Z_REQUEST& request, char* start, uint64_t size, char* buffer_end) {
  if (!usable(request, start, size, buffer_end)) {
    request.complete = 1;
    request.valid = 0;
    request.resume_end = nullptr;
    return false;
  }
  Input in{request, start, start + size, buffer_end};
  *in.data_end = '\0';  // every scan below stops at it
  if (request.body_start) return read_body(in);
  if (request.resume_end && request.parse_state == 2) return find_line_end(in, request.resume_from);
  if (request.resume_end && request.parse_state == 0)
    return find_header_end(in, request.resume_from, later_of(request.resume_from, request.resume_end, 1));
  return read_method(in);
}

}  // namespace qm
