// The service object and the command line.
//
// z_service is set up before the entry runs: the service name (from a "-d:"
// argument), the process events that connect the process modes with the
// server core, and the mode flags. No service manager exists yet on this
// platform, so every process is a console process: proceed_event and
// service_stop_event are set at once, as for a service that is not installed.
#pragma once
#include <atomic>
#include <cstdint>

#include "os/event.h"

namespace qm {

inline constexpr uint32_t service_name_capacity = 256;  // UTF-16 units, terminator included
extern const char16_t default_service_name[];           // u"marvent.quillmere"

struct Z_SERVICE {
  os::z_event stop_event;          // manual-reset
  os::z_event listening_event;     // manual-reset: the server listens
  os::z_event proceed_event;       // manual-reset: the service question is settled
  os::z_event service_stop_event;  // manual-reset: a service process shuts down
  os::z_event reload_event;        // auto-reset: read the configuration again
  std::atomic<bool> stop_requested{false};
  std::atomic<bool> paused{false};
  std::atomic<bool> interactive{false};
  std::atomic<bool> service_mode{false};
  bool name_given = false;
  bool start_after_install = true;
  char16_t service_name[service_name_capacity] = {};
  uint32_t console_pid = 0;
  uint32_t console_sid = 0;
};

extern Z_SERVICE z_service;

// Set-up from the process's arguments (UTF-16): the name part of "-d:" and
// the events. Called once before the entry; service_teardown at exit.
void service_setup(int argc, char16_t** argv);
void service_teardown();

// Executes the command letters and words; 0: run the server, -1: end.
int run_commands(int argc, char16_t** argv);
void print_help();

}  // namespace qm
