// The socket engine: slot construction, the engine build, the reload thread
// and the configuration gate.
#include "core/engine.h"

#include <cstdlib>

#include "config/config.h"
#include "config/served.h"
#include "content/resources.h"
#include "core/connection.h"
#include "core/privileges.h"
#include "http/file.h"
#include "os/file.h"
#include "os/console.h"
#include "os/error.h"
#include "os/memory.h"
#include "os/output.h"
#include "platform/service.h"
#include "platform/service_runtime.h"

namespace qm {

std::atomic<os::socket_t> so_listen{os::invalid_socket};
std::atomic<int32_t> active_count{0};
uint32_t task_count = 0;
std::atomic<bool> stopping{false};
os::z_event config_gate;
std::atomic<bool> reloading{false};

namespace {

void reset_response(Z_RESPONSE& response) {
  response.encoding_br = 0;
  response.encoding_gzip = 0;
  response.in_config_use = false;
  response.path = Z_PATH{};
  response.result_send = 0;
  response.error_send = 0;
  response.over_tls = 0;
  response.half_index = 0;
  response.send_base = nullptr;
  response.p_write = nullptr;
  response.p_send = nullptr;
  response.size_write = 0;
  response.size_send = 0;
}

void reset_thread(Z_THREAD& thread) {
  thread.stack_reservation = 0;
  thread.creation_flags = 0;
  thread.security_attributes = nullptr;
  thread.handle = os::thread_handle{};
  thread.id = 0;
  thread.created = false;
}

void construct_slot(Z_TASK& task, uint32_t index) {
  clear_request(task.request);
  reset_response(task.response);
  os::event_create(task.response.send_event, false, false);
  os::event_create(task.response.done_event, false, true);
  os::event_create(task.response.file_event, false, false);
  channel_init(task.tls);
  task.tls.pressure = &task.pressure;
  task.response.channel = &task.tls;
  task.response.pressure = &task.pressure;
  task.busy = false;
  task.active = false;
  reset_thread(task.thread_r);
  reset_thread(task.thread_w);
  task.number = index;
  task.packet_length_r = 0;
  task.packet_length_w = 0;
  task.host_verdict = 0;
  task.recv_begin = nullptr;
  task.recv_end = nullptr;
  task.names_begin = nullptr;
}

// Threads are created with the stack reservation of the engine (one granule).
void start_thread(Z_THREAD& thread, os::thread_routine routine, void* argument, uint64_t stack) {
  thread.stack_reservation = stack;
  thread.creation_flags = 0x10000;  // the stack size is a reservation
  uint32_t error = os::thread_start(thread.handle, os::thread_stack_size(stack), routine, argument);
  if (error != 0) {
    os::print_error(error, "CreateThread(NULL, 0, bootstrap_r/w, this, 0, NULL)");
    std::_Exit(static_cast<int>(error));
  }
  thread.id = static_cast<uint32_t>(thread.handle.id);
  thread.created = true;
}

void reload_thread(void* argument) {
  Z_SOCKET& engine = *static_cast<Z_SOCKET*>(argument);
  bool restricted = false;  // the thread starts before the process lowers its rights
  for (;;) {
    if (z_service.reload_event.created) os::event_wait(z_service.reload_event, os::wait_forever);
    if (!restricted) restricted = apply_thread_restrictions() || true;
    if (!engine.running || !z_service.reload_event.created) return;
    if (config_gate.created) os::event_reset(config_gate);
    reloading = true;
    config(engine, engine.program_path);
    reloading = false;
    if (config_gate.created) os::event_set(config_gate);
    // Outside the gate, since a slow file system must not hold requests;
    // this thread is the only one that changes what it reads.
    report_served_folders();
    report_reload_done();
  }
}

void size_buffers(Z_SOCKET& engine) {
  uint32_t unit = engine.arena.unit;
  engine.packet_length_r = clamp_to_unit(engine.packet_length_r, unit);
  engine.packet_length_w = clamp_to_unit(engine.packet_length_w, unit);
}

void start_slot(Z_SOCKET& engine, Z_TASK& task, uint32_t index) {
  task.packet_length_r = engine.packet_length_r;
  task.packet_length_w = engine.packet_length_w;
  cut_slot_buffers(engine, task, index);
  task.active = true;
  os::event_create(task.start_event, false, false);
  uint64_t stack = engine.arena.allocation_granularity;
  start_thread(task.thread_r, bootstrap_r, &task, stack);
  start_thread(task.thread_w, bootstrap_w, &task, stack);
}

}  // namespace

uint32_t clamp_to_unit(uint32_t size, uint32_t unit) { return size == 0 || size > unit ? unit : size; }

uint64_t round_to_4096(uint64_t size) { return (size + 4095) & ~uint64_t{4095}; }

uint32_t arena_units(const Z_SOCKET& engine) {
  uint64_t per_slot = round_to_4096(engine.packet_length_w) + round_to_4096(engine.packet_length_r) +
                      2 * round_to_4096(engine.path_length) + round_to_4096(names_length);
  uint64_t total = per_slot * engine.cw_connections;
  uint64_t unit = engine.arena.unit;
  return static_cast<uint32_t>((total + unit - 1) / unit);
}

void cut_slot_buffers(Z_SOCKET& engine, Z_TASK& task, uint32_t index) {
  uint64_t send_size = round_to_4096(engine.packet_length_w);
  uint64_t recv_size = round_to_4096(engine.packet_length_r);
  uint64_t path_size = round_to_4096(engine.path_length);
  uint64_t slots = engine.cw_connections;
  char* base = reinterpret_cast<char*>(engine.arena.base);

  Z_RESPONSE& response = task.response;
  response.send_base = base + index * send_size;
  response.p_write = response.send_base;
  response.half_index = 0;
  response.size_write = engine.packet_length_w / 2;  // from the unrounded size
  response.size_send = 0;

  task.recv_begin = base + slots * send_size + index * recv_size;
  task.recv_end = task.recv_begin + recv_size;
  task.tls.p_recv = task.recv_begin;
  task.tls.p_recv_size = engine.packet_length_r;

  char* path = base + slots * (send_size + recv_size) + index * 2 * path_size;
  response.path.buffer = reinterpret_cast<char16_t*>(path);
  response.path.capacity = path_size;  // in 16-bit units: the buffer holds 2 * path_size bytes

  task.names_begin = base + slots * (send_size + recv_size + 2 * path_size) + index * round_to_4096(names_length);
}

void build(Z_SOCKET& engine, const char16_t* program_path) {
  reset_thread(engine.thread_config);
  engine.arena = Z_ARENA{};
  bool large_pages = false;
  engine.arena.unit = query_unit(&large_pages);
  engine.arena.page_size = os::page_size();
  engine.arena.allocation_granularity = os::allocation_granularity();

  for (uint32_t i = 0; i < slot_count; ++i) construct_slot(engine.tasks[i], i);

  engine.running = false;
  engine.ini_dir_length = 0;
  engine.ini_path = nullptr;
  engine.program_path = program_path;
  open_flags = os::flag_backup_semantics;

  if (!tls_ready) create_server_context();
  if (config(engine, program_path) != 0) return;
  sort_resource_groups();

  engine.running = true;
  os::set_process_locale("bg_BG.UTF-8");

  size_buffers(engine);
  engine.arena.report = true;
  allocate_arena(engine.arena, arena_units(engine));
  if (engine.arena.base == nullptr) std::_Exit(1);

  os::event_create(config_gate, true, true);
  stopping = false;
  task_count = engine.cw_connections;
  for (uint32_t i = 0; i < engine.cw_connections && i < slot_count; ++i) start_slot(engine, engine.tasks[i], i);
  for (uint32_t i = engine.cw_connections; i < slot_count; ++i) engine.tasks[i].active = false;

  // A reload thread that cannot start only means the server cannot reload.
  engine.thread_config.stack_reservation = engine.arena.allocation_granularity;
  if (os::thread_start(engine.thread_config.handle, os::thread_stack_size(engine.arena.allocation_granularity),
                       reload_thread, &engine) == 0) {
    engine.thread_config.created = true;
  }
}

void enter_config(Z_TASK& task) {
  std::atomic<bool>& flag = task.response.in_config_use;
  flag.store(true, std::memory_order_seq_cst);
  while (reloading.load(std::memory_order_seq_cst)) {
    flag.store(false, std::memory_order_seq_cst);
    if (config_gate.created) os::event_wait(config_gate, os::wait_forever);
    flag.store(true, std::memory_order_seq_cst);
  }
}

void leave_config(Z_TASK& task) { task.response.in_config_use.store(false, std::memory_order_seq_cst); }

}  // namespace qm
