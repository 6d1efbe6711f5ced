// Named error numbers and the thread's last error.
#include "os/error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qm::os {

const uint32_t err_none = 0;
const uint32_t err_interrupted = EINTR;
const uint32_t err_bad_descriptor = EBADF;
const uint32_t err_broken_pipe = EPIPE;
const uint32_t err_no_buffers = ENOBUFS;
const uint32_t err_accept_closed = EINVAL;
const uint32_t err_conn_aborted = ECONNABORTED;
const uint32_t err_conn_reset = ECONNRESET;
const uint32_t err_timed_out = EAGAIN;
const uint32_t err_not_found = ENOENT;
const uint32_t err_exists = EEXIST;
const uint32_t err_access_denied = EACCES;
const uint32_t err_not_permitted = EPERM;
const uint32_t err_not_directory = ENOTDIR;
// Not a Linux errno: the end of an enumeration has no system number, so it
// gets one far above the errno range.
const uint32_t err_no_more_files = 100000;
const uint32_t err_no_memory = ENOMEM;

namespace {

thread_local uint32_t thread_last_error = 0;

}  // namespace

uint32_t last_error() { return thread_last_error; }

void set_last_error(uint32_t error) { thread_last_error = error; }

const char* error_text(uint32_t error, char* out, uint32_t room) {
  static char none[1];
  if (out == nullptr || room == 0) return none;
  out[0] = 0;
  if (error == err_no_more_files) {
    std::snprintf(out, room, "No more files");
    return out;
  }
  // The GNU strerror_r returns its text, which may be a static one instead of out.
  const char* text = strerror_r(static_cast<int>(error), out, room);
  if (text != out) std::snprintf(out, room, "%s", text != nullptr ? text : "Unknown error");
  return out;
}

}  // namespace qm::os
