// The listener and the life of a connection.
//
// Every slot's receive thread blocks in accept on the one listening socket.
// An accepted connection is peeked at for six bytes: a TLS ClientHello goes
// through the handshake, anything else is plain HTTP. work_r then receives
// requests into the slot's receive buffer and dispatches them; responses leave
// through the send channel, a strict hand-off of one send half at a time to
// the slot's send thread.
#include "core/connection.h"

#include <cstring>

#include "config/served.h"
#include "core/engine.h"
#include "core/privileges.h"
#include "os/error.h"
#include "os/output.h"
#include "os/time.h"
#include "platform/console.h"
#include "platform/service.h"

namespace qm {

namespace {

constexpr uint32_t request_timeout_ms = 15000;  // a gap inside a request
constexpr uint32_t idle_timeout_ms = 300000;     // between requests
constexpr uint32_t destroy_grace_ms = 200;
constexpr int64_t ns_per_ms = 1000000;
// A request (head and body) must arrive within 30 s of its first byte, the
// design's limit for a first head, plus a second for every KiB of its
// declared body: the rate floor of a slow upload. A handshake is one or two
// round trips, well within 10 s even over a satellite link or on a slow
// phone.
constexpr int64_t request_allowance_ns = 30ll * 1000000000ll;
constexpr int64_t handshake_allowance_ns = 10ll * 1000000000ll;
// A body no handler reads is read and thrown away up to this size, and the
// connection kept; a larger one ends the connection after the answer.
constexpr uint64_t discard_limit = 1048576;

// ---------------------------------------------------------------- listener

// Clients beyond the slots wait in the accept queue, where a slot freed
// under pressure takes them within a second; a queue as short as the slots
// would make the kernel drop their connection attempts instead, which they
// retry only after 1, 3, 7 s.
constexpr int listen_queue_floor = 1024;

int listen_backlog(const Z_SOCKET& engine) {
  return engine.cw_connections > listen_queue_floor ? engine.cw_connections : listen_queue_floor;
}

os::socket_t open_listening_socket(Z_SOCKET& engine) {
  // An IPv6 address here is always the any address of a dual-stack socket.
  const bool dual = engine.addr_local.family == os::af_inet6;
  os::socket_t so = os::socket_create(engine.addr_local.family, engine.cso_type, engine.cso_protocol);
  if (so == os::invalid_socket) {
    os::print_error(os::last_error(),
                    dual ? "socket(AF_INET6, cso_type, cso_protocol)" : "socket(AF_INET, cso_type, cso_protocol)");
    return so;
  }
  os::socket_set_int(so, os::socket_option::receive_buffer, static_cast<int>(engine.packet_length_r));
  os::socket_set_int(so, os::socket_option::send_buffer, static_cast<int>(engine.packet_length_w));
  os::socket_set_int(so, os::socket_option::reuse_address, 1);
  // Accepted sockets inherit their timeouts from the listening one: no
  // system call per connection for them. (accept itself waits without limit:
  // a timeout there only sends the slot back to accept.)
  os::socket_set_send_timeout(so, send_timeout_ms);
  os::socket_set_receive_timeout(so, request_timeout_ms);
  os::out(":: bind(%s:%u)  %s  ", engine.local_address[0] != 0 ? engine.local_address : "0.0.0.0",
          static_cast<unsigned>(engine.port), dual ? "(IPv4 and IPv6)" : "(IPv4 only)");
  if (os::socket_bind(so, engine.addr_local) != 0) {
    os::print_error(os::last_error(), "\nbind(so, (sockaddr *) &addr_local, sizeof(addr_local))");
    os::socket_close(so);
    return os::invalid_socket;
  }
  if (os::socket_listen(so, listen_backlog(engine)) != 0) {
    os::print_error(os::last_error(), "listen(so, cw_connections)");
    os::socket_close(so);
    return os::invalid_socket;
  }
  os::out("HTTP%s  max connections: %u\n:: waiting for client connection...\n\n", tls_ready ? " HTTPS" : "",
          static_cast<unsigned>(engine.cw_connections));
  return so;
}

void release_slots(Z_SOCKET& engine) {
  for (uint32_t i = 0; i < engine.cw_connections && i < slot_count; ++i) {
    if (engine.tasks[i].start_event.created) os::event_set(engine.tasks[i].start_event);
  }
}

// Waits for the stop event, looking after the slots under pressure meanwhile.
void wait_for_stop(Z_SOCKET& engine) {
  os::z_event& stop = z_service.service_mode ? z_service.service_stop_event : z_shadow_console.console_stop_event;
  if (!stop.created) return;
  while (os::event_wait(stop, pressure_tick_ms) == os::wait_result::timed_out) relieve_pressure(engine);
}

// ------------------------------------------------------------- accept loop

// The receive timeout of the channel's socket, set only when it changes.
void set_receive_timeout(Z_TLS& tls, uint32_t ms) {
  if (ms == tls.receive_timeout_ms) return;
  if (os::socket_set_receive_timeout(tls.so, ms) == 0) tls.receive_timeout_ms = ms;
}

// What is left until deadline, as a receive timeout of at most cap ms; 0
// when nothing is left.
uint32_t left_ms(int64_t deadline, uint32_t cap) {
  int64_t left = (deadline - os::monotonic_ns() + ns_per_ms - 1) / ns_per_ms;
  if (left <= 0) return 0;
  return left < cap ? static_cast<uint32_t>(left) : cap;
}

// What the first bytes say.
enum class opening { plain, tls, gone };

// The six-byte peek: a TLS client starts with a handshake record (22) that
// carries a ClientHello (1). It waits until six bytes are there, however
// they are split, while they keep coming (a gap of 15 s ends the
// connection, as inside any request) and the first request's time lasts.
opening peek_opening(Z_TASK& task, int64_t deadline) {
  unsigned char bytes[6] = {};
  int64_t result = 0, seen = 0;
  for (;;) {
    uint32_t ms = left_ms(deadline, request_timeout_ms);
    if (ms == 0) break;
    set_receive_timeout(task.tls, ms);
    int64_t asked = os::monotonic_ns();
    result = os::socket_peek_all(task.tls.so, bytes, sizeof bytes);
    if (result == 6) break;
    if (result == 0) return opening::gone;
    uint32_t error = result < 0 ? os::last_error() : 0;
    if (result < 0 && error != os::err_interrupted && error != os::err_timed_out) return opening::gone;
    int64_t now_seen = result > 0 ? result : 0;
    // Fewer bytes before the timeout ran out: the peer closed after them.
    if (result > 0 && os::monotonic_ns() - asked < (static_cast<int64_t>(ms) - 50) * ns_per_ms) break;
    if (now_seen == seen && ms == request_timeout_ms) return opening::gone;  // a whole gap without a byte
    seen = now_seen;
  }
  task.tls.sock_error = 0;
  return result == 6 && bytes[0] == 22 && bytes[5] == 1 ? opening::tls : opening::plain;
}

void serve_connection(Z_TASK& task, int64_t accepted_ns) {
  opening first = peek_opening(task, accepted_ns + request_allowance_ns);
  if (first == opening::gone) return;
  if (first == opening::plain) {
    work_r(task, accepted_ns);
    return;
  }
  // A ClientHello without a usable certificate is closed without a reply.
  if (!tls_ready || !channel_start_tls(task.tls)) return;
  task.tls.handshake_deadline_ns = accepted_ns + handshake_allowance_ns;
  handshake_begins(task.pressure);
  int shaken = task.tls.handshake();
  handshake_ends(task.pressure);
  task.tls.handshake_deadline_ns = 0;
  if (shaken != 0) return;
  work_r(task, accepted_ns);
}

int end_accept_loop(Z_TASK& task, uint32_t error) {
  if (error == os::err_accept_closed) {
    os::socket_t so = so_listen.exchange(os::invalid_socket);
    if (so != os::invalid_socket) {
      os::socket_shutdown(so);
      os::socket_close(so);
    }
  }
  if (stopping.exchange(true)) return -1;
  task.active = false;
  os::socket_t so = so_listen.load();
  if (so != os::invalid_socket) {
    os::out("!! server %02u  accept(so_listen:%08llx, (sockaddr *) &addr_listen:%08llx, &addr_listen_size:%u)\n",
            task.number, static_cast<unsigned long long>(so), 0ull, 16u);
    os::print_error(error, nullptr);
  }
  return -1;
}

// ------------------------------------------------------------------ work_r

// Ends a connection: lets a running send finish first.
uint32_t end_connection(Z_TASK& task, uint32_t error) {
  os::z_event& done = task.response.done_event;
  if (done.created) {
    os::event_wait(done, os::wait_forever);
    os::event_set(done);
  }
  return error;
}

// A send that made no progress for the send timeout says so (rate-limited).
uint32_t end_of_failed_send(Z_TASK& task) {
  uint32_t error = task.response.error_send;
  if (error == os::err_timed_out) report_drop(task, "dropped: its response was not read for 60 s");
  return end_connection(task, error);
}

// A receive timeout while the send thread is still sending (a large file to
// a slow client) does not end the connection.
bool send_in_progress(Z_TASK& task) {
  os::z_event& done = task.response.done_event;
  if (!done.created || !os::event_test(done)) return true;
  os::event_set(done);
  return false;
}

void begin_connection(Z_TASK& task) {
  clear_request(task.request);
  Z_RESPONSE& response = task.response;
  response.encoding_br = 0;
  response.encoding_gzip = 0;
  response.result_send = 0;
  response.error_send = 0;
  response.over_tls = 0;
  response.size_send = 0;
}

// The bytes after the current request, when it was complete and followed by
// more: moved to the start of the buffer; their count, or 0.
uint64_t move_pipelined(Z_TASK& task, uint64_t total) {
  Z_REQUEST& request = task.request;
  if (request.body_in_buffer != 0 || request.body_start == nullptr || request.content_length < 0) return 0;
  char* data_end = task.recv_begin + total;
  if (request.body_start < task.recv_begin || request.body_start > data_end) return 0;
  uint64_t body = static_cast<uint64_t>(request.content_length);
  if (body >= static_cast<uint64_t>(data_end - request.body_start)) return 0;
  char* next = request.body_start + body;
  uint64_t rest = static_cast<uint64_t>(data_end - next);
  std::memmove(task.recv_begin, next, rest);
  task.recv_begin[rest] = 0;
  return rest;
}

}  // namespace

int listener(Z_SOCKET& engine) {
  os::socket_t so = open_listening_socket(engine);
  if (so == os::invalid_socket) return -1;
  so_listen = so;
  if (z_service.listening_event.created) os::event_set(z_service.listening_event);
  if (z_service.proceed_event.created) os::event_wait(z_service.proceed_event, os::wait_forever);
  lower_privileges();
  // Now, with the rights the slots will serve with, and before any of them reads the settings.
  report_served_folders();
  release_slots(engine);
  wait_for_stop(engine);
  engine.running = false;
  if (z_service.reload_event.created) os::event_set(z_service.reload_event);
  os::out("stopping...\n\n");
  return 0;
}

int accept_loop(Z_TASK& task) {
  for (;;) {
    // A slot that is being destroyed takes no further connection.
    if (!task.active) return -1;
    os::z_sockaddr peer;
    os::socket_t so = os::socket_accept(so_listen.load(), &peer);
    if (so == os::invalid_socket) {
      uint32_t error = os::last_error();
      if (error == os::err_conn_reset || error == os::err_conn_aborted || error == os::err_interrupted ||
          error == os::err_timed_out) {
        continue;
      }
      return end_accept_loop(task, error);
    }
    const int64_t accepted_ns = os::monotonic_ns();
    active_count.fetch_add(1);
    task.busy = true;
    task.tls.so = so;
    task.tls.receive_timeout_ms = request_timeout_ms;  // inherited from the listening socket
    connection_begins(task, peer);
    serve_connection(task, accepted_ns);
    connection_ends(task);
    channel_release(task.tls);
    task.busy = false;
    active_count.fetch_sub(1);
  }
}

int64_t request_deadline(const Z_REQUEST& request, int64_t began_ns) {
  int64_t deadline = began_ns + request_allowance_ns;
  if (request.body_start != nullptr && request.content_length > 0) {
    deadline += request.content_length * (1000000000ll / static_cast<int64_t>(rate_floor));
  }
  return deadline;
}

int64_t receive_before(Z_TLS& tls, void* buffer, uint64_t size, int64_t began_ns, int64_t deadline) {
  uint32_t ms = left_ms(deadline, request_timeout_ms);
  if (ms == 0) {
    os::set_last_error(os::err_timed_out);
    return -1;
  }
  set_receive_timeout(tls, ms);
  if (tls.pressure != nullptr) wait_for_request(*tls.pressure, began_ns);
  int64_t got = tls.recv(buffer, size);
  if (tls.pressure != nullptr) stop_waiting(*tls.pressure);
  return got;
}

namespace {

// A body its handler did not read: the rest is read and thrown away, so
// that none of it is ever taken for a request; false when the connection
// must end instead (too large, too slow, or cut).
bool discard_body(Z_TASK& task) {
  Z_REQUEST& request = task.request;
  uint64_t length = static_cast<uint64_t>(request.content_length);
  uint64_t remaining = length > request.body_in_buffer ? length - request.body_in_buffer : 0;
  if (remaining > discard_limit) return false;
  const int64_t deadline = request_deadline(request, request.began_ns);
  const uint64_t room = task.packet_length_r - 1;
  while (remaining > 0) {
    int64_t got = receive_before(task.tls, task.recv_begin, remaining < room ? remaining : room, request.began_ns,
                                 deadline);
    if (got <= 0) return false;
    remaining -= static_cast<uint64_t>(got);
  }
  request.body_drained = 1;
  return true;
}

// How a receive that failed ends the connection; false to wait again (the
// client's silence while its last answer is still being sent is no fault).
bool receive_failed(Z_TASK& task, int64_t received, uint32_t& result) {
  uint32_t error = os::last_error();
  if (error == 0) error = task.tls.sock_error;
  if (received == 0 || !task.active || error == os::err_conn_aborted || error == os::err_conn_reset) {
    result = end_connection(task, 0);
    return true;
  }
  if (error == os::err_timed_out) {
    if (send_in_progress(task)) return false;
    result = error;
    return true;
  }
  if (error != 0) {
    os::out("\n!! recv(%u)\n", task.number);
    os::print_error(error, "");
  }
  result = end_connection(task, error);
  return true;
}

}  // namespace

uint32_t work_r(Z_TASK& task, int64_t accepted_ns) {
  if (task.recv_begin == nullptr || task.packet_length_r == 0) return 0xFFFFFFFFu;
  Z_REQUEST& request = task.request;
  begin_connection(task);
  bool between_requests = false;  // a request was answered and nothing of the next has come
  int64_t request_began = accepted_ns;  // the first request's time counts from accept
  const uint64_t room_total = task.packet_length_r - 1;

  for (;;) {
    if (z_service.paused) return 0;
    char* at = task.recv_begin;
    if (request.resume_end != nullptr) at = request.resume_end;
    uint64_t used = static_cast<uint64_t>(at - task.recv_begin);
    if (used >= room_total) return end_connection(task, 0);  // no room left for a request that never ends

    os::set_last_error(0);
    task.tls.sock_error = 0;
    int64_t received;
    if (between_requests) {
      set_receive_timeout(task.tls, idle_timeout_ms);
      wait_idle(task.pressure);
      received = task.tls.recv(at, room_total - used);
      stop_waiting(task.pressure);
    } else {
      int64_t deadline = request_deadline(request, request_began);
      if (left_ms(deadline, 1) == 0) return end_connection(task, os::err_timed_out);
      received = receive_before(task.tls, at, room_total - used, request_began, deadline);
    }
    if (received <= 0) {
      uint32_t result = 0;
      if (receive_failed(task, received, result)) return result;
      continue;
    }

    if (between_requests) request_began = os::monotonic_ns();
    between_requests = false;
    at[received] = 0;
    uint64_t total = used + static_cast<uint64_t>(received);
    dispatch_request(task, task.recv_begin, total);
    for (;;) {
      if (task.response.result_send == -1) return end_of_failed_send(task);
      if (!request.complete) break;
      if (request.body_cut && !request.body_drained && (!request.keep_alive || !discard_body(task))) {
        request.keep_alive = 0;
      }
      if (!request.keep_alive) return end_connection(task, 0);
      uint64_t rest = request.body_cut ? 0 : move_pipelined(task, total);
      request_began = os::monotonic_ns();
      between_requests = rest == 0;
      if (rest == 0) break;
      total = rest;
      dispatch_request(task, task.recv_begin, total);
    }
  }
}

namespace {

// A failed send, inline or on the send thread: the connection ends after
// this answer, and only unexpected errors are printed.
bool send_failed(Z_RESPONSE& response, Z_REQUEST& request) {
  if (response.done_event.created) os::event_set(response.done_event);
  request.keep_alive = 0;
  uint32_t error = response.error_send;
  bool quiet = error == os::err_bad_descriptor || error == os::err_broken_pipe || error == os::err_conn_aborted ||
               error == os::err_conn_reset || error == os::err_timed_out;
  if (!quiet) os::print_error(error, "!! send_packet() !! work_w() !! send(so, p_send, size_send, 0)");
  return false;
}

// One send through the channel, by whichever thread sends; the result is
// left in result_send and error_send.
void send_through(Z_RESPONSE& response, Z_TLS& channel, const char* bytes, uint64_t size) {
  if (response.pressure != nullptr) send_begins(*response.pressure);
  int64_t sent = channel.send(bytes, size);
  if (response.pressure != nullptr) send_ends(*response.pressure);
  if (sent <= 0) {
    uint32_t error = os::last_error();
    response.error_send = error != 0 ? error : channel.send_error;
    sent = -1;
  }
  response.result_send = sent;
}

}  // namespace

bool send_packet(Z_RESPONSE& response, const char* bytes, uint64_t size, Z_REQUEST& request) {
  if (response.done_event.created) os::event_wait(response.done_event, os::wait_forever);
  if (response.result_send == -1) return send_failed(response, request);
  if (!response.streaming && response.channel != nullptr) {
    // The channel is idle and nothing is read meanwhile: no hand-off.
    send_through(response, *response.channel, bytes, size);
    if (response.result_send == -1) return send_failed(response, request);
    if (response.done_event.created) os::event_set(response.done_event);
    return true;
  }
  response.p_send = const_cast<char*>(bytes);
  response.size_send = size;
  if (response.send_event.created) os::event_set(response.send_event);
  response.p_write = response.half_index == 0 ? response.send_base + response.size_write : response.send_base;
  response.half_index ^= 1;
  return true;
}

void work_w(Z_TASK& task) {
  Z_RESPONSE& response = task.response;
  bool restricted = false;  // the thread starts before the process lowers its rights
  while (response.send_event.created) {
    if (os::event_wait(response.send_event, os::wait_forever) != os::wait_result::signaled) return;
    if (!restricted) restricted = apply_thread_restrictions() || true;
    if (!response.send_event.created || !task.active || stopping) return;
    send_through(response, task.tls, response.p_send, response.size_send);
    if (response.done_event.created) os::event_set(response.done_event);
  }
}

void bootstrap_r(void* slot) {
  Z_TASK& task = *static_cast<Z_TASK*>(slot);
  bool released = false;
  if (task.start_event.created) released = os::event_wait(task.start_event, os::wait_forever) == os::wait_result::signaled;
  if (released && task.start_event.created) {
    apply_thread_restrictions();
    accept_loop(task);
  }
  task.active = false;
  channel_release(task.tls);
}

void bootstrap_w(void* slot) {
  Z_TASK& task = *static_cast<Z_TASK*>(slot);
  work_w(task);
  task.active = false;
  os::event_close(task.response.done_event);
  os::event_close(task.start_event);
}

namespace {

// Wakes a slot's threads wherever they block: the connection socket is shut
// down (recv and send return) and every event they may wait on is set.
void wake_slot(Z_TASK& task) {
  os::socket_t so = task.tls.so.load();
  if (so != os::invalid_socket) os::socket_shutdown(so);
  if (task.response.send_event.created) os::event_set(task.response.send_event);
  if (task.response.done_event.created) os::event_set(task.response.done_event);
  if (task.response.file_event.created) os::event_set(task.response.file_event);
}

// Waits for a thread of the slot; a thread that does not end within the grace
// time is woken wherever it blocks and then joined.
bool join_or_wake(Z_TASK& task, Z_THREAD& thread, bool overdue, const char* name) {
  if (!overdue && os::thread_join(thread.handle, destroy_grace_ms)) return false;
  os::out(":: server %02u  %s\n", task.number, name);
  wake_slot(task);
  os::thread_join(thread.handle, os::wait_forever);
  return true;
}

void forget_thread(Z_THREAD& thread) {
  thread.created = false;
  thread.handle = os::thread_handle{};
}

// Returns whether the thread was overdue.
bool end_receive_thread(Z_TASK& task, bool overdue) {
  if (!task.thread_r.created) return overdue;
  if (!overdue) {
    os::socket_t so = so_listen.exchange(os::invalid_socket);
    if (so != os::invalid_socket) {
      os::socket_shutdown(so);  // every slot blocked in accept now leaves it
      os::socket_close(so);
    }
  }
  overdue = join_or_wake(task, task.thread_r, overdue, "terminate_r");
  forget_thread(task.thread_r);
  return overdue;
}

void end_send_thread(Z_TASK& task, bool overdue) {
  if (!task.thread_w.created) return;
  if (!overdue && task.response.send_event.created) os::event_set(task.response.send_event);
  join_or_wake(task, task.thread_w, overdue, "terminate_w");
  forget_thread(task.thread_w);
}

void close_response_events(Z_RESPONSE& response) {
  os::event_close(response.send_event);
  os::event_close(response.done_event);
  os::event_close(response.file_event);
}

}  // namespace

void destroy_task(Z_TASK& task) {
  task.active = false;
  if (task.number == 0 && config_gate.created) os::event_close(config_gate);
  // A busy slot's socket is shut down rather than closed under its threads:
  // they own the channel until they have ended, and the channel is released
  // only after they have been joined (channel_destroy below).
  os::socket_t so = task.tls.so.load();
  if (so != os::invalid_socket && task.busy) os::socket_shutdown(so);
  os::event_close(task.start_event);

  // A busy slot gets the grace time to finish its connection.
  bool overdue = false;
  if (task.busy && task.thread_r.created) {
    if (os::thread_join(task.thread_r.handle, destroy_grace_ms)) forget_thread(task.thread_r);
    else overdue = true;
  }
  overdue = end_receive_thread(task, overdue);
  end_send_thread(task, overdue);

  channel_destroy(task.tls);
  clear_file_cache(task.files);
  close_response_events(task.response);
  task.packet_length_r = 0;
  task.packet_length_w = 0;
  task.recv_begin = nullptr;
  task.recv_end = nullptr;
  task.names_begin = nullptr;
  clear_request(task.request);
}

}  // namespace qm
