// Ranges and If-Modified-Since, for every responder.
#include "http/conditions.h"

#include "http/request.h"
#include "os/time.h"

namespace qm {

namespace {

constexpr uint64_t ticks_per_second = 10000000;

z_range_answer unsatisfiable() { return {status_416, {0, 0}}; }

}  // namespace

bool range_requested(const Z_REQUEST& request) {
  if (request.range_unit != 1 || (!request.range_start_given && !request.range_end_given)) return false;
  // "bytes=100-99" is no range at all.
  return !(request.range_start_given && request.range_end_given && request.range_end < request.range_start);
}

z_range_answer answer_range(const Z_REQUEST& request, uint64_t size) {
  if (!range_requested(request)) return {status_200, {0, size - 1}};
  if (size == 0) return unsatisfiable();
  const uint64_t last_byte = size - 1;
  if (!request.range_start_given) {
    uint64_t suffix = request.range_end;
    if (suffix == 0) return unsatisfiable();
    return {status_206, {suffix >= size ? 0 : size - suffix, last_byte}};
  }
  uint64_t first = request.range_start;
  if (first >= size) return unsatisfiable();
  if (!request.range_end_given || request.range_end > last_byte) return {status_206, {first, last_byte}};
  return {status_206, {first, request.range_end}};
}

bool not_modified_since(const Z_REQUEST& request, uint64_t last_write) {
  if (request.if_modified_since == nullptr) return false;
  if (request.method != method_get && request.method != method_head) return false;
  uint64_t since = 0;
  if (!parse_http_date(request.if_modified_since, &since)) return false;
  if (since > os::utc_now_filetime()) return false;
  return last_write / ticks_per_second <= since / ticks_per_second;
}

}  // namespace qm
