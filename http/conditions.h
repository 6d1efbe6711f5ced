// What a request asks of the representation it gets: a byte range, and
// If-Modified-Since. Every responder (files, listing pages, built-in
// resources) decides both here, by the same rules.
//
// Ranges (RFC 9110 section 14): only the first range of a "bytes" Range
// counts. "A-B" is clamped to the end, "A-" runs to the end, "-N" is the last
// N bytes. A range whose last byte precedes its first is invalid and the
// header is ignored (200, the whole representation). A range that starts at
// or past the end, "-0", or any range of an empty representation is not
// satisfiable: 416, with no content.
//
// If-Modified-Since (section 13.1.3), for GET and HEAD: 304 when the
// representation's last change, in whole seconds, is not after the given
// date. A value that is no HTTP date, or a date later than now, is ignored.
#pragma once
#include <cstdint>

#include "content/header.h"

namespace qm {

struct Z_REQUEST;

struct z_range_answer {
  uint32_t status;  // status_200, status_206 or status_416
  z_range range;    // the bytes sent (for 200 the whole, which is {0, ~0} when empty)
};

// Whether the request carries a range to apply (a valid "bytes" range).
bool range_requested(const Z_REQUEST& request);
// The status and the part sent for a representation of size bytes.
z_range_answer answer_range(const Z_REQUEST& request, uint64_t size);

// Whether a representation last changed at last_write (FILETIME) is not
// modified since the request's If-Modified-Since.
bool not_modified_since(const Z_REQUEST& request, uint64_t last_write);

}  // namespace qm
