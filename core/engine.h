// The socket engine and its worker slots.
//
// Z_SOCKET is the running server: run settings, the local address, the
// configuration file's location, the arena, the reload thread and 64 worker
// slots. Each slot (Z_TASK) has a receive thread that accepts and serves
// connections and a send thread that sends one half of the slot's send buffer
// while the receive thread fills the other. Every slot buffer is cut from the
// arena once, when the engine is built; nothing here is allocated per
// connection.
#pragma once
#include <atomic>
#include <cstdint>

#include "core/arena.h"
#include "core/pressure.h"
#include "core/response.h"
#include "core/tls.h"
#include "http/dispatch.h"
#include "http/file_cache.h"
#include "http/request.h"
#include "os/event.h"
#include "os/socket.h"
#include "os/thread.h"

namespace qm {

inline constexpr uint32_t slot_count = 64;

// Engine constants: no key or option changes them.
inline constexpr uint16_t default_connections = 64;
inline constexpr uint32_t default_path_length = 8192;       // 16-bit units
inline constexpr uint32_t default_packet_length_r = 65536;  // receive buffer bytes
inline constexpr uint32_t default_packet_length_w = 524288; // send buffer bytes, two halves
// Bytes a slot sorts a listing's names in (os::dir_options): about 450 names
// of 30 bytes, or 60 of the longest, per read of the folder. 64 slots take the
// 1 MiB that the other buffers leave free in the arena's 19 units of 2 MiB,
// so the arena does not grow.
inline constexpr uint32_t names_length = 16384;
inline constexpr int32_t default_cso_type = 1;              // SOCK_STREAM
inline constexpr int32_t default_cso_protocol = 6;          // IPPROTO_TCP

struct Z_THREAD {
  uint64_t stack_reservation = 0;
  uint32_t creation_flags = 0;
  void* security_attributes = nullptr;
  os::thread_handle handle;
  uint32_t id = 0;
  std::atomic<bool> created{false};
};

struct Z_TASK {
  Z_REQUEST request;
  Z_RESPONSE response;
  os::z_event start_event;  // auto-reset; the receive thread waits on it before its first accept
  Z_TLS tls;
  std::atomic<bool> busy{false};
  std::atomic<bool> active{false};
  Z_THREAD thread_r;
  Z_THREAD thread_w;
  uint32_t number = 0;
  uint32_t packet_length_r = 0;
  uint32_t packet_length_w = 0;
  uint64_t host_verdict = 0;  // HTTPS-upgrade host cache
  Z_PRESSURE pressure;        // what the listener sees of the slot's connection
  Z_FILE_CACHE files;         // the files the slot served lately, kept open
  char* recv_begin = nullptr;
  char* recv_end = nullptr;
  char* names_begin = nullptr;  // names_length bytes for sorting listings
};

struct Z_SOCKET {
  // Switches as read from the configuration file.
  bool list_directories = false;
  bool min_gz = false;
  bool upgrade_hsts = false;
  bool upgrade_https = false;
  char local_address[64] = {};  // dotted IPv4, or empty for any address
  uint16_t port = 80;           // host order
  uint16_t cw_connections = 0;
  uint32_t path_length = 0;
  uint32_t packet_length_r = 0;
  uint32_t packet_length_w = 0;
  int32_t cso_type = 0;
  int32_t cso_protocol = 0;
  uint64_t ini_dir_length = 0;
  char16_t* ini_path = nullptr;  // owned; null before the first load, empty when no usable file
  const char16_t* program_path = nullptr;
  Z_THREAD thread_config;
  Z_ARENA arena;
  Z_TASK tasks[slot_count];
  std::atomic<bool> running{false};
  // The IPv6 any address (one dual-stack socket for both families), or an
  // IPv4 one where the system has no IPv6 or a dotted address is set.
  os::z_sockaddr addr_local;
};

// Process-wide state of the engine.
extern std::atomic<os::socket_t> so_listen;
extern std::atomic<int32_t> active_count;
extern uint32_t task_count;
extern std::atomic<bool> stopping;
extern os::z_event config_gate;  // manual-reset, open except while re-reading
extern std::atomic<bool> reloading;

// Builds the zeroed engine: slots, TLS context, configuration, resource
// groups, locale, arena, gate and parked threads. Afterwards running tells
// whether the engine can serve.
void build(Z_SOCKET& engine, const char16_t* program_path);

// Slot sizes: a value of 0 or above the unit becomes the unit; each is then
// rounded up to a multiple of 4096.
uint32_t clamp_to_unit(uint32_t size, uint32_t unit);
uint64_t round_to_4096(uint64_t size);
// Units of the arena for the engine's sizes.
uint32_t arena_units(const Z_SOCKET& engine);
// Cuts slot i's buffers from the arena (send buffers, then receive, then
// path, then names).
void cut_slot_buffers(Z_SOCKET& engine, Z_TASK& task, uint32_t index);

// The configuration gate, used around everything that reads settings.
void enter_config(Z_TASK& task);
void leave_config(Z_TASK& task);

}  // namespace qm
