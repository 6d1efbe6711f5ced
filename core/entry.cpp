// The process entry.
#include "core/entry.h"

#include <cstdlib>

#include "core/connection.h"
#include "core/engine.h"
#include "http/file.h"
#include "os/output.h"
#include "os/socket.h"
#include "platform/service.h"

namespace qm {

namespace {

bool start_sockets() {
  uint16_t granted = 0;
  uint32_t error = os::sockets_startup(0x0202, &granted);
  if (error != 0) {
    os::print_error(error, "WSAStartup(wsa_version_requested, &wsa_data)");
    os::sockets_cleanup();
    return false;
  }
  if (granted != 0x0202) {
    os::out("Version 2.2 of Winsock is required, but not available!\r\n");
    os::sockets_cleanup();
    return false;
  }
  return true;
}

// A dotted IPv4 address binds that address alone; without one the server
// takes every address of both families, or of IPv4 where the system has no
// IPv6.
void fill_local_address(Z_SOCKET& engine) {
  os::z_sockaddr_in ipv4;
  ipv4.family = os::af_inet;
  ipv4.port = os::host_to_net16(engine.port);
  if (engine.local_address[0] != 0 && os::parse_ipv4(engine.local_address, &ipv4.address)) {
    engine.addr_local = os::to_address(ipv4);
  } else {
    engine.addr_local = os::any_address(engine.port);
  }
}

void free_ini_path(Z_SOCKET& engine) {
  std::free(engine.ini_path);
  engine.ini_path = nullptr;
  engine.ini_dir_length = 0;
}

// The listener returned without its stop sequence, or sockets never started.
void stop_engine(Z_SOCKET& engine) {
  engine.running = false;
  tls_ready = false;
  cert_valid = false;
  free_server_context();
  free_ini_path(engine);
  release_arena(engine.arena);
}

void end_reload_thread(Z_SOCKET& engine) {
  if (!engine.thread_config.created) return;
  // With running false the reload thread ends as soon as it wakes.
  if (z_service.reload_event.created) os::event_set(z_service.reload_event);
  os::thread_join(engine.thread_config.handle, os::wait_forever);
  engine.thread_config.created = false;
  engine.thread_config.handle = os::thread_handle{};
}

}  // namespace

void teardown(Z_SOCKET& engine) {
  if (engine.running) stop_engine(engine);
  for (int i = static_cast<int>(slot_count) - 1; i >= 0; --i) destroy_task(engine.tasks[i]);
  release_arena(engine.arena);
  engine.arena = Z_ARENA{};
  end_reload_thread(engine);
  free_ini_path(engine);
}

void serve(Z_SOCKET& engine) {
  if (!start_sockets()) return;
  fill_local_address(engine);
  listener(engine);
}

int entry(int argc, char16_t** argv) {
  file_quiet_open = true;
  file_no_console_names = true;
  if (run_commands(argc, argv) == -1) return 0;

  // The engine outlives every thread that uses it: teardown joins them all.
  static Z_SOCKET engine;
  build(engine, argc > 0 ? argv[0] : u"");
  if (engine.running) serve(engine);
  teardown(engine);
  return 0;
}

}  // namespace qm
