// Request dispatch and path resolution.
#pragma once
#include <cstdint>

#include "content/mime.h"

namespace qm {

struct Z_TASK;
struct Z_REQUEST;

// The resolved file-system path of a request (UTF-16, in the slot's path buffer).
struct Z_PATH {
  uint64_t prefix_size = 0;  // units of root, separator and virtual-directory path
  char16_t* buffer = nullptr;
  char16_t* rest = nullptr;  // first unit taken from the target
  char16_t* end = nullptr;   // the terminating NUL
  uint8_t redirect = 0;      // the target names a virtual directory without its '/'
  uint64_t rest_size = 0;
  uint64_t capacity = 0;  // units in the path buffer
  uint32_t type = mime_blocked;  // MIME index of the path
};

// Called by the receive loop with the bytes received for the current request
// (NUL-terminated). The outcome is left in the request's complete and
// keep_alive flags and in the send result.
void dispatch_request(Z_TASK& task, char* start, uint64_t size);

// Whether a plain request must be redirected to HTTPS; sets over_tls. When
// true, "https://" + Host + target has been written, NUL-terminated, from
// start (the request's first byte) on. A Host holding anything a host:port
// cannot hold is never redirected; an IPv6 address comes in brackets, its
// port after the ']' ("[::1]:8443"), and keeps them in the location.
bool upgrade_to_https(Z_TASK& task, char* start);

// The 64-bit hash of a host name that host_verdict caches (bit 0 is then
// replaced by the verdict).
uint64_t host_hash(const char* name, uint64_t size);

// Builds path from the root, the virtual directories and the decoded,
// normalised target, and types it. 0 on success; -1 on failure, with redirect
// set when the target names a virtual directory without its '/' (the target
// then has the '/' added in place, query kept). Reads vdirs and ext_list:
// the caller holds the configuration gate.
int resolve_path(Z_PATH& path, Z_REQUEST& request);

// Whether the path of a target holds, as it is or percent-decoded, a control
// byte (below 0x20, or 0x7F): such a target names no file and is refused.
bool target_decodes_to_control(const char* target);

// Percent-decodes the NUL-terminated text and writes it as UTF-16 to out
// (units available, terminator included). The units written without the
// terminator, or 0 when nothing was decoded or the result does not fit.
uint64_t url_decode(char16_t* out, uint64_t units, const char* text);

// Redirect locations never begin with "//" or "/\" (a client would read them
// as another host): a run of leading '/' and '\' becomes one '/'. Returns the
// new start inside text, whose last skipped byte is turned into the '/'.
char* collapse_leading_slashes(char* text);

}  // namespace qm
