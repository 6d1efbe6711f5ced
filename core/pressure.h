// Slots under pressure: 64 slots must not be a denial of service.
//
// When every slot is busy and connections wait in the listening socket's
// accept queue, the listener frees slots whose clients hold them without
// using them, as many as connections wait, worst first:
//   1. idle keep-alive connections, the longest idle first;
//   2. connections whose request (or TLS handshake) the server waits for and
//      whose client has sent nothing for stall_limit_ms of that wait;
//   3. connections whose response the client does not read: nothing of it
//      acknowledged for stall_limit_ms, or for closed_window_ms while the
//      client's receive window is closed;
//   4. connections the server waits on, receiving a request or sending a
//      response, that moved less than rate_floor bytes a second over the
//      last rate_window_ms (the kernel's counts of bytes received and
//      acknowledged).
// A connection is freed by shutting its socket down: its slot's threads see
// the connection end and the slot accepts the next one. Without connections
// waiting nothing is dropped, and idle connections keep their 300 s.
//
// Why these figures: a browser or media player sends a request head at once
// and reads at many KiB/s; 1 KiB/s (8 kbit/s) is below any usable link, 2 s
// covers a few TCP retransmissions, and a second of silence in the middle
// of a request is no client's habit. A waiting client is then served within
// about a second of arriving, attack or not.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

#include "os/socket.h"

namespace qm {

struct Z_SOCKET;
struct Z_TASK;

inline constexpr uint32_t pressure_tick_ms = 100;
inline constexpr uint32_t stall_limit_ms = 1000;
// A closed window is the client's own doing: it does not read.
inline constexpr uint32_t closed_window_ms = 300;
inline constexpr uint32_t closed_window_bytes = 1024;
inline constexpr uint32_t rate_window_ms = 2000;
inline constexpr uint64_t rate_floor = 1024;  // bytes a second
// A send that makes no progress this long fails, pressure or not (as
// nginx's send_timeout): a client that never reads must not keep a slot.
inline constexpr uint32_t send_timeout_ms = 60000;

// What the slot waits for.
enum : uint8_t { waiting_none = 0, waiting_request = 1, waiting_idle = 2 };

// One slot's state as the listener sees it. The slot's threads write the
// atomics; the listener's own fields are touched by it alone.
struct Z_PRESSURE {
  // Held while the listener shuts a connection down and while the slot
  // marks its socket as closing, so that a number being reused for another
  // connection is never shut down.
  std::mutex so_lock;
  bool closing = true;    // under so_lock
  os::z_sockaddr peer{};  // under so_lock
  std::atomic<uint64_t> serial{0};  // the connection's number in this slot
  std::atomic<uint8_t> wait{waiting_none};
  std::atomic<int64_t> since_ns{0};  // when the wait (for a request: the request) began
  // When the slot last began to wait for the client's bytes: a client is
  // silent only while the server waits for it (its bytes may have sat in
  // the accept queue, or the server may just have sent its TLS flight).
  // Set only while a TLS handshake is under way; 0 otherwise.
  std::atomic<int64_t> listening_ns{0};
  std::atomic<bool> sending{false};  // the send thread is in a send
  // The listener's window over the connection's traffic.
  uint64_t seen_serial = 0;
  int64_t window_ns = 0;
  uint64_t window_bytes = 0;
  uint64_t slow_bytes = 0;  // bytes moved in the last whole window, when it was slow
  bool slow = false;
  uint64_t seen_acked = 0;  // the client's acknowledged bytes, and when they last grew
  int64_t acked_ns = 0;
};

// The receive thread, at accept and at the end of the connection (before
// its socket is closed).
void connection_begins(Z_TASK& task, const os::z_sockaddr& peer);
void connection_ends(Z_TASK& task);
// The receive thread, around its waits for the client (the TLS handshake
// counts as a wait for the request as a whole).
void wait_for_request(Z_PRESSURE& pressure, int64_t request_began_ns);
void wait_idle(Z_PRESSURE& pressure);
void stop_waiting(Z_PRESSURE& pressure);
// Around the TLS handshake: the client's silence counts only from when the
// handshake began (its ClientHello may have waited in the accept queue).
void handshake_begins(Z_PRESSURE& pressure);
void handshake_ends(Z_PRESSURE& pressure);
// The send thread, around each send.
inline void send_begins(Z_PRESSURE& pressure) { pressure.sending.store(true, std::memory_order_relaxed); }
inline void send_ends(Z_PRESSURE& pressure) { pressure.sending.store(false, std::memory_order_relaxed); }

// The listener, every pressure_tick_ms: frees slots when connections wait.
void relieve_pressure(Z_SOCKET& engine);

// "!! <peer>  <reason>" for the slot's current client (called by the slot's
// own threads), at most one line a second; the lines held back are counted
// in the next one.
void report_drop(Z_TASK& task, const char* reason);

}  // namespace qm
