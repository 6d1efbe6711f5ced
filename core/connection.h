// The listener and the life of a connection: accept, the TLS decision, the
// receive loop with keep-alive, pipelining and timeouts, and the send channel.
#pragma once
#include <cstdint>

namespace qm {

struct Z_SOCKET;
struct Z_TASK;
struct Z_RESPONSE;
struct Z_REQUEST;

// Runs on the entry thread: socket, bind, listen, release of the slots, and
// the wait for the stop event. 0 after a stop, -1 when the socket cannot be
// created, bound or put in listening state.
int listener(Z_SOCKET& engine);
// The receive thread's loop over connections; -1 when accepting ends.
int accept_loop(Z_TASK& task);
// Serves one connection's requests; an error number or 0. Its first
// request's time counts from accepted_ns (monotonic).
uint32_t work_r(Z_TASK& task, int64_t accepted_ns);

struct Z_TLS;

// When a request whose first bytes came at began_ns must be complete: 30 s,
// and a second more for each KiB of its declared body.
int64_t request_deadline(const Z_REQUEST& request, int64_t began_ns);
// Receives more of a request through the channel, waiting at most until
// deadline (and 15 s for each receive), with the slot marked as waiting for
// its client; like Z_TLS::recv (failures leave err_timed_out when the time
// is up).
int64_t receive_before(Z_TLS& tls, void* buffer, uint64_t size, int64_t began_ns, int64_t deadline);


// Thread routines; each takes its slot.
void bootstrap_r(void* slot);
void bootstrap_w(void* slot);
void work_w(Z_TASK& task);

// Slot destruction, for slots 63 down to 0.
void destroy_task(Z_TASK& task);

}  // namespace qm
