// Named error numbers and the thread's last error.
//
// Code above os/ never reads errno: every wrapper that fails stores the
// system's error in the thread's last error, and the logic compares it with
// the names below. The numbers are Linux's own; printing shows them as they are.
#pragma once
#include <cstdint>

namespace qm::os {

// Conditions the server's logic tells apart.
extern const uint32_t err_none;
extern const uint32_t err_interrupted;       // EINTR: a call interrupted by a signal
extern const uint32_t err_bad_descriptor;    // EBADF
extern const uint32_t err_broken_pipe;       // EPIPE
extern const uint32_t err_no_buffers;        // ENOBUFS
extern const uint32_t err_accept_closed;     // accept on a listening socket that was shut down (EINVAL)
extern const uint32_t err_conn_aborted;      // ECONNABORTED
extern const uint32_t err_conn_reset;        // ECONNRESET
extern const uint32_t err_timed_out;         // EAGAIN after SO_RCVTIMEO ran out
extern const uint32_t err_not_found;         // ENOENT
extern const uint32_t err_exists;            // EEXIST
extern const uint32_t err_access_denied;     // EACCES
extern const uint32_t err_not_permitted;     // EPERM
extern const uint32_t err_not_directory;     // ENOTDIR
extern const uint32_t err_no_more_files;     // the end of a directory enumeration
extern const uint32_t err_no_memory;         // ENOMEM

uint32_t last_error();
void set_last_error(uint32_t error);

// The system's message for an error number, NUL-terminated in out; never fails.
const char* error_text(uint32_t error, char* out, uint32_t room);

}  // namespace qm::os
