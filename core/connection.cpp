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

#include "core/engine.h"
#include "core/privileges.h"
#include "os/error.h"
#include "os/output.h"
#include "os/time.h"
#include "platform/console.h"
#include "platform/service.h"

namespace qm {

namespace {

constexpr uint32_t peek_timeout_ms = 1000;
constexpr uint32_t request_timeout_ms = 15000;
constexpr uint32_t idle_timeout_ms = 300000;
constexpr int64_t first_request_deadline_ns = 30ll * 1000000000ll;
constexpr uint32_t destroy_grace_ms = 200;

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
  os::socket_t so = os::socket_create(engine.cso_type, engine.cso_protocol);
  if (so == os::invalid_socket) {
    os::print_error(os::last_error(), "socket(AF_INET, cso_type, cso_protocol)");
    return so;
  }
  os::socket_set_int(so, os::socket_option::receive_buffer, static_cast<int>(engine.packet_length_r));
  os::socket_set_int(so, os::socket_option::send_buffer, static_cast<int>(engine.packet_length_w));
  os::socket_set_int(so, os::socket_option::reuse_address, 1);
  os::out(":: bind(%s:%u)  ", engine.local_address[0] != 0 ? engine.local_address : "0.0.0.0",
          static_cast<unsigned>(engine.port));
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

// The six-byte peek: a TLS client starts with a handshake record (22) that
// carries a ClientHello (1).
bool peek_client_hello(Z_TASK& task) {
  unsigned char bytes[6] = {};
  int64_t result;
  while ((result = os::socket_recv(task.tls.so, bytes, sizeof bytes, true)) <= 0) {
    task.tls.sock_error = os::last_error();
    if (result < 0 && task.tls.sock_error == os::err_interrupted) {
      task.tls.sock_error = 0;
      continue;
    }
    break;
  }
  return result == 6 && bytes[0] == 22 && bytes[5] == 1;
}

void serve_connection(Z_TASK& task) {
  if (!peek_client_hello(task)) {
    work_r(task);
    return;
  }
  // A ClientHello without a usable certificate is closed without a reply.
  if (!tls_ready || !channel_start_tls(task.tls)) return;
  handshake_begins(task.pressure);
  int shaken = task.tls.handshake();
  handshake_ends(task.pressure);
  if (shaken != 0) return;
  work_r(task);
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

int64_t deadline_from_now() { return os::monotonic_ns() + first_request_deadline_ns; }

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
    os::z_sockaddr_in peer;
    os::socket_t so = os::socket_accept(so_listen.load(), &peer);
    if (so == os::invalid_socket) {
      uint32_t error = os::last_error();
      if (error == os::err_conn_reset || error == os::err_conn_aborted || error == os::err_interrupted) continue;
      return end_accept_loop(task, error);
    }
    active_count.fetch_add(1);
    task.busy = true;
    os::socket_set_receive_timeout(so, peek_timeout_ms);
    os::socket_set_send_timeout(so, send_timeout_ms);
    task.tls.so = so;
    connection_begins(task, peer);
    serve_connection(task);
    connection_ends(task);
    channel_release(task.tls);
    task.busy = false;
    active_count.fetch_sub(1);
  }
}

uint32_t work_r(Z_TASK& task) {
  if (task.recv_begin == nullptr || task.packet_length_r == 0) return 0xFFFFFFFFu;
  Z_REQUEST& request = task.request;
  int64_t deadline = deadline_from_now();
  os::socket_set_receive_timeout(task.tls.so, request_timeout_ms);
  begin_connection(task);
  bool fresh = true;
  bool between_requests = false;  // a request was answered and nothing of the next has come
  int64_t request_began = os::monotonic_ns();
  const uint64_t room_total = task.packet_length_r - 1;

  for (;;) {
    if (z_service.paused) return 0;
    char* at = task.recv_begin;
    if (request.resume_end != nullptr) at = request.resume_end;
    uint64_t used = static_cast<uint64_t>(at - task.recv_begin);
    if (used >= room_total) return end_connection(task, 0);  // no room left for a request that never ends

    os::set_last_error(0);
    task.tls.sock_error = 0;
    if (between_requests) {
      wait_idle(task.pressure);
    } else {
      wait_for_request(task.pressure, request_began);
    }
    int64_t received = task.tls.recv(at, room_total - used);
    stop_waiting(task.pressure);
    if (received <= 0) {
      uint32_t error = os::last_error();
      if (error == 0) error = task.tls.sock_error;
      if (received == 0 || !task.active || error == os::err_conn_aborted || error == os::err_conn_reset) {
        return end_connection(task, 0);
      }
      if (error == os::err_timed_out) {
        if (fresh && !send_in_progress(task)) return error;
        deadline = deadline_from_now();
        os::socket_set_receive_timeout(task.tls.so, request_timeout_ms);
        fresh = true;
        continue;
      }
      if (error != 0) {
        os::out("\n!! recv(%u)\n", task.number);
        os::print_error(error, "");
      }
      return end_connection(task, error);
    }

    if (between_requests) request_began = os::monotonic_ns();
    between_requests = false;
    at[received] = 0;
    uint64_t total = used + static_cast<uint64_t>(received);
    dispatch_request(task, task.recv_begin, total);
    for (;;) {
      if (task.response.result_send == -1) return end_of_failed_send(task);
      if (!request.complete) break;
      if (!request.keep_alive) return end_connection(task, 0);
      os::socket_set_receive_timeout(task.tls.so, idle_timeout_ms);
      fresh = false;
      uint64_t rest = move_pipelined(task, total);
      request_began = os::monotonic_ns();
      between_requests = rest == 0;
      if (rest == 0) break;
      total = rest;
      dispatch_request(task, task.recv_begin, total);
    }
    if (!request.complete && fresh && request.method < method_patch && os::monotonic_ns() > deadline) {
      return end_connection(task, os::err_timed_out);
    }
  }
}

bool send_packet(Z_RESPONSE& response, const char* bytes, uint64_t size, Z_REQUEST& request) {
  if (response.done_event.created) os::event_wait(response.done_event, os::wait_forever);
  if (response.result_send == -1) {
    if (response.done_event.created) os::event_set(response.done_event);
    request.keep_alive = 0;
    uint32_t error = response.error_send;
    bool quiet = error == os::err_bad_descriptor || error == os::err_broken_pipe ||
                 error == os::err_conn_aborted || error == os::err_conn_reset;
    if (!quiet) os::print_error(error, "!! send_packet() !! work_w() !! send(so, p_send, size_send, 0)");
    return false;
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
    send_begins(task.pressure);
    response.result_send = task.tls.send(response.p_send, response.size_send);
    send_ends(task.pressure);
    if (response.result_send <= 0) {
      uint32_t error = os::last_error();
      response.error_send = error != 0 ? error : task.tls.send_error;
      response.result_send = -1;
    }
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
  close_response_events(task.response);
  task.packet_length_r = 0;
  task.packet_length_w = 0;
  task.recv_begin = nullptr;
  task.recv_end = nullptr;
  clear_request(task.request);
}

}  // namespace qm
