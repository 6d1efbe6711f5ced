// Slots under pressure.
#include "core/pressure.h"

#include <algorithm>
#include <cstdio>

#include "core/engine.h"
#include "os/output.h"
#include "os/time.h"

namespace qm {

namespace {

constexpr int64_t ns_per_ms = 1000000;

// Why a slot is freed, in the order slots are chosen.
enum class drop_class : uint8_t { idle = 0, silent = 1, unread = 2, slow = 3 };

struct z_candidate_t {
  Z_TASK* task;
  uint64_t serial;
  drop_class why;
  int64_t key;  // smaller first within a class
  uint64_t figure;  // for the report: ms quiet or idle, or bytes moved
};

// The report's rate limit: one line a second, the rest counted.
std::atomic<int64_t> last_report_s{0};
std::atomic<uint32_t> held_back{0};

bool all_slots_busy(const Z_SOCKET& engine) {
  return engine.cw_connections > 0 && active_count.load() >= static_cast<int32_t>(engine.cw_connections);
}

// Moves the slot's window over its traffic forward; a new connection starts
// a new window.
void sample(Z_TASK& task, int64_t now) {
  Z_PRESSURE& p = task.pressure;
  uint64_t serial = p.serial.load();
  os::z_tcp_progress progress;
  os::socket_t so = task.tls.so.load();
  if (so == os::invalid_socket || !os::socket_progress(so, progress)) return;
  uint64_t moved = progress.bytes_received + progress.bytes_acked;
  if (serial != p.seen_serial) {
    p.seen_serial = serial;
    p.window_ns = now;
    p.window_bytes = moved;
    p.slow = false;
    p.seen_acked = progress.bytes_acked;
    p.acked_ns = now;
    return;
  }
  if (progress.bytes_acked != p.seen_acked) {
    p.seen_acked = progress.bytes_acked;
    p.acked_ns = now;
  }
  int64_t elapsed = now - p.window_ns;
  if (elapsed < static_cast<int64_t>(rate_window_ms) * ns_per_ms) return;
  uint64_t in_window = moved - p.window_bytes;
  p.slow = in_window * 1000000000ull < rate_floor * static_cast<uint64_t>(elapsed);
  p.slow_bytes = in_window;
  p.window_ns = now;
  p.window_bytes = moved;
}

// Whether the slot's client holds it without using it, and why.
bool judge(Z_TASK& task, int64_t now, z_candidate_t& out) {
  Z_PRESSURE& p = task.pressure;
  if (!task.busy.load()) return false;
  uint8_t wait = p.wait.load();
  bool sending = p.sending.load();
  uint64_t serial = p.serial.load();
  bool current = serial == p.seen_serial;
  out = {&task, serial, drop_class::idle, 0, 0};
  if (wait == waiting_idle && !sending) {
    out.key = p.since_ns.load();
    out.figure = static_cast<uint64_t>((now - out.key) / ns_per_ms);
    return true;
  }
  os::z_tcp_progress progress;
  os::socket_t so = task.tls.so.load();
  bool known = so != os::invalid_socket && os::socket_progress(so, progress);
  if (wait == waiting_request && known) {
    int64_t silent_ms = progress.quiet_ms;
    int64_t handshake = p.listening_ns.load();
    if (handshake != 0) silent_ms = std::min<int64_t>(silent_ms, (now - handshake) / ns_per_ms);
    if (silent_ms >= static_cast<int64_t>(stall_limit_ms)) {
      out.why = drop_class::silent;
      out.key = -silent_ms;
      out.figure = static_cast<uint64_t>(silent_ms);
      return true;
    }
  }
  if (sending && known && current) {
    int64_t unread_ms = (now - p.acked_ns) / ns_per_ms;
    bool closed = progress.peer_window_known && progress.peer_window < closed_window_bytes;
    if (unread_ms >= static_cast<int64_t>(closed ? closed_window_ms : stall_limit_ms)) {
      out.why = drop_class::unread;
      out.key = -unread_ms;
      out.figure = static_cast<uint64_t>(unread_ms);
      return true;
    }
  }
  if ((wait == waiting_request || sending) && current && p.slow) {
    out.why = drop_class::slow;
    out.key = static_cast<int64_t>(p.slow_bytes);
    out.figure = p.slow_bytes;
    return true;
  }
  return false;
}

const char* reason_of(const z_candidate_t& c, char* out, uint32_t room) {
  switch (c.why) {
    case drop_class::idle:
      std::snprintf(out, room, "idle keep-alive connection closed after %llu ms: a client was waiting",
                    static_cast<unsigned long long>(c.figure));
      break;
    case drop_class::silent:
      std::snprintf(out, room, "dropped: sent nothing of its request for %llu ms while clients were waiting",
                    static_cast<unsigned long long>(c.figure));
      break;
    case drop_class::unread:
      std::snprintf(out, room, "dropped: read nothing of its response for %llu ms while clients were waiting",
                    static_cast<unsigned long long>(c.figure));
      break;
    case drop_class::slow:
      std::snprintf(out, room, "dropped: moved %llu bytes in %u s (below %llu bytes/s) while clients were waiting",
                    static_cast<unsigned long long>(c.figure), rate_window_ms / 1000,
                    static_cast<unsigned long long>(rate_floor));
      break;
  }
  return out;
}

// Shuts the connection down unless it has ended (or another one has taken
// the slot) meanwhile. Its peer is taken under the same lock: once shut
// down, the slot may accept the next client at once, whose address the
// report must not name.
bool drop(const z_candidate_t& c, os::z_sockaddr& peer) {
  Z_TASK& task = *c.task;
  std::lock_guard<std::mutex> guard(task.pressure.so_lock);
  os::socket_t so = task.tls.so.load();
  if (task.pressure.closing || task.pressure.serial.load() != c.serial || so == os::invalid_socket) return false;
  peer = task.pressure.peer;
  os::socket_shutdown(so);
  return true;
}

void report_peer(const os::z_sockaddr& peer, const char* reason) {
  int64_t second = os::monotonic_ns() / 1000000000;
  int64_t last = last_report_s.load();
  if (last == second || !last_report_s.compare_exchange_strong(last, second)) {
    held_back.fetch_add(1);
    return;
  }
  char address[os::peer_text_size];
  uint32_t more = held_back.exchange(0);
  if (more == 0) {
    os::out("!! %s  %s\n", os::format_peer(peer, address, sizeof address), reason);
  } else {
    os::out("!! %s  %s (and %u more since the last line)\n", os::format_peer(peer, address, sizeof address), reason,
            more);
  }
}

bool worse(const z_candidate_t& a, const z_candidate_t& b) {
  if (a.why != b.why) return a.why < b.why;
  return a.key < b.key;
}

}  // namespace

void connection_begins(Z_TASK& task, const os::z_sockaddr& peer) {
  Z_PRESSURE& p = task.pressure;
  {
    std::lock_guard<std::mutex> guard(p.so_lock);
    p.closing = false;
    p.peer = peer;
  }
  int64_t now = os::monotonic_ns();
  p.sending.store(false);
  p.since_ns.store(now);
  p.listening_ns.store(0);
  p.wait.store(waiting_request);
  p.serial.fetch_add(1);
}

void connection_ends(Z_TASK& task) {
  Z_PRESSURE& p = task.pressure;
  p.wait.store(waiting_none);
  std::lock_guard<std::mutex> guard(p.so_lock);
  p.closing = true;
}

void handshake_begins(Z_PRESSURE& pressure) { pressure.listening_ns.store(os::monotonic_ns()); }
void handshake_ends(Z_PRESSURE& pressure) { pressure.listening_ns.store(0); }

void wait_for_request(Z_PRESSURE& pressure, int64_t request_began_ns) {
  pressure.since_ns.store(request_began_ns, std::memory_order_relaxed);
  pressure.wait.store(waiting_request, std::memory_order_relaxed);
}

void wait_idle(Z_PRESSURE& pressure) {
  pressure.since_ns.store(os::monotonic_ns(), std::memory_order_relaxed);
  pressure.wait.store(waiting_idle, std::memory_order_relaxed);
}

void stop_waiting(Z_PRESSURE& pressure) { pressure.wait.store(waiting_none, std::memory_order_relaxed); }

void relieve_pressure(Z_SOCKET& engine) {
  if (!all_slots_busy(engine)) return;
  os::socket_t listening = so_listen.load();
  uint32_t waiting = 0, capacity = 0;
  if (listening == os::invalid_socket || !os::listen_queue(listening, waiting, capacity)) return;
  const int64_t now = os::monotonic_ns();
  const uint32_t slots = std::min<uint32_t>(engine.cw_connections, slot_count);
  for (uint32_t i = 0; i < slots; ++i) sample(engine.tasks[i], now);
  if (waiting == 0) return;

  z_candidate_t candidates[slot_count];
  uint32_t count = 0;
  for (uint32_t i = 0; i < slots; ++i) {
    if (judge(engine.tasks[i], now, candidates[count])) ++count;
  }
  // A full queue may hide more clients behind it (their connections are
  // not even accepted by the kernel yet): then every candidate goes.
  uint32_t budget = waiting >= capacity ? count : std::min(waiting, count);
  std::partial_sort(candidates, candidates + budget, candidates + count, worse);
  for (uint32_t i = 0; i < budget; ++i) {
    char reason[160];
    reason_of(candidates[i], reason, sizeof reason);
    os::z_sockaddr peer;
    if (drop(candidates[i], peer)) report_peer(peer, reason);
  }
}

void report_drop(Z_TASK& task, const char* reason) {
  os::z_sockaddr peer;
  {
    std::lock_guard<std::mutex> guard(task.pressure.so_lock);
    peer = task.pressure.peer;
  }
  report_peer(peer, reason);
}

}  // namespace qm
