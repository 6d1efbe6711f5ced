// Request dispatch and path resolution.
#pragma once
#include <cstdint>

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
  uint32_t type = 0;      // MIME index of the path
};

// Called by the receive loop with the bytes received for the current request
// (NUL-terminated). The outcome is left in the request's complete and
// keep_alive flags and in the send result.
void dispatch_request(Z_TASK& task, char* start, uint64_t size);

}  // namespace qm
