// The parsed request and the in-place request parser.
//
// parse_request reads one HTTP request out of a slot's receive buffer into
// Z_REQUEST. It works in place: NUL bytes end the strings it keeps and the
// header block is lower-cased, so every kept pointer points into the receive
// buffer and stays valid until the buffer is reused. It may be called several
// times for one request as data arrives; finished work is never repeated.
//
// Contract: before the first call for a new request the caller zeroes the
// record and sets version to -1 (whenever resume_end is null). The byte just
// after the received data must be NUL. After a call:
//   complete 0            need more data; when resume_end is set, append the
//                         next bytes at resume_end and call again with the
//                         same first byte and the new total;
//   complete 1, method_not_allowed 1   answer 405;
//   complete 1, version_unsupported 1  answer 505 (a major version other than 1);
//   complete 1, transfer_encoding 1 (and no Content-Length)  answer 501;
//   complete 1, valid 0   answer 400;
//   valid 1               dispatch.
// A NUL byte inside the request line or the header block, a header line with
// no ':' after it in the block, a Content-Length that is negative or does
// not fit 32 bits, two Content-Lengths that differ, and a Transfer-Encoding
// (with or without a Content-Length: RFC 9112 section 6.3) reject the
// request (complete 1, valid 0): its body could not be told from the next
// request.
#pragma once
#include <cstdint>

namespace qm {

// Method indices (sorted method table).
enum : uint32_t {
  method_connect = 0,
  method_delete = 1,
  method_get = 2,
  method_head = 3,
  method_options = 4,
  method_patch = 5,
  method_post = 6,
  method_put = 7,
  method_trace = 8,
};

struct Z_REQUEST {
  uint32_t parse_state;  // 0 no request line pending, 1 scanning the method, 2 request line not complete
  uint8_t complete;
  uint8_t valid;
  uint8_t method_not_allowed;
  uint8_t version_unsupported;
  // Framing: a Content-Length was given; two of them disagreed; a
  // Transfer-Encoding was given (this server reads no chunked bodies).
  uint8_t content_length_given;
  uint8_t lengths_conflict;
  uint8_t transfer_encoding;
  // The body did not fit the receive buffer (body_in_buffer bytes of it are
  // there); its handler read the rest (body_drained), or it must be read
  // and thrown away, or the connection closed, before another request.
  uint8_t body_cut;
  uint8_t body_drained;
  int64_t began_ns;  // when the request's first bytes were dispatched (monotonic)
  uint64_t path_size;
  uint64_t query_size;
  uint64_t target_size;
  uint8_t accepts_br;
  uint8_t accepts_gzip;
  uint8_t accepts_webp;
  uint8_t conn_http2_settings;
  uint8_t keep_alive;  // the connection stays open after the answer
  uint8_t conn_close;  // Connection carried "close"
  uint8_t conn_upgrade;
  uint8_t debug;
  uint8_t download;
  uint64_t authority_size;
  uint64_t host_size;
  uint32_t max_age;
  uint64_t body_in_buffer;
  int64_t content_length;
  uint32_t method;
  int32_t version;  // -1 none (a simple request), 0 HTTP/1.0, 1 HTTP/1.1 and every later 1.x
  uint32_t upgrade;  // 0 none, 1 h2c, 2 websocket
  uint8_t upgrade_insecure_requests;
  uint32_t websocket_version;
  uint64_t range_start;
  uint64_t range_end;
  int32_t range_unit;  // 1: a "bytes" range was given
  // Which numbers of the first range were present: "bytes=-500" has only the
  // last, "bytes=0-0" both; 0 in range_start or range_end alone is ambiguous.
  uint8_t range_start_given;
  uint8_t range_end_given;
  // Header values (lower-cased, NUL-terminated, into the receive buffer); null when absent.
  char* accept;
  char* accept_encoding;
  char* accept_language;
  char* target;     // the path, starting with '/'
  char* authority;  // host part of an absolute-form target: authority_size bytes, not NUL-cut (the path follows it)
  char* cookie;
  char* content_type;
  char* forwarded_for;
  char* from;
  char* host;
  char* http2_settings;
  char* if_modified_since;
  char* if_none_match;
  char* origin;
  char* pragma;
  char* query;
  char* referer;
  char* scheme;
  char* sec_websocket_extensions;
  char* sec_websocket_key;
  char* sec_websocket_key1;
  char* sec_websocket_key2;
  char* sec_websocket_protocol;
  char* user_agent;
  char* via;
  char* x_playback_session_id;
  char* x_forwarded_for;
  char* resume_from;    // where a suspended scan starts again
  char* resume_end;     // end of the data seen by a suspended parse; non-null while suspended
  char* request_start;  // first byte of this request
  char* body_start;     // first byte after the header block; non-null once the headers are complete
  uint8_t saved_byte;   // byte hidden while a bounded search runs
  char* scan_limit;     // request_start + 8192
};

// Zeroes the record and sets version to -1, as before every new request.
void clear_request(Z_REQUEST& request);

// Parses the request whose first byte is start, of which size bytes have
// arrived; buffer_end is the end of the receive buffer. Returns true when the
// request was read to its end (the flags then say whether it is acceptable).
bool parse_request(Z_REQUEST& request, char* start, uint64_t size, char* buffer_end);

}  // namespace qm
