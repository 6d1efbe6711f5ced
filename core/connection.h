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
// Serves one connection's requests; an error number or 0.
uint32_t work_r(Z_TASK& task);

// Hands size bytes at bytes to the send thread, after the previous send has
// finished, and makes the other half current. False when the previous send
// had failed; keep_alive is then cleared.
bool send_packet(Z_RESPONSE& response, const char* bytes, uint64_t size, Z_REQUEST& request);

// Thread routines; each takes its slot.
void bootstrap_r(void* slot);
void bootstrap_w(void* slot);
void work_w(Z_TASK& task);

// Slot destruction, for slots 63 down to 0.
void destroy_task(Z_TASK& task);

}  // namespace qm
