// The service object, the command line and the service commands.
//
// z_service is set up before the entry runs: the service name (from a "-d:"
// argument), the process events that connect the process modes with the
// server core, the mode flags, the connection to the service manager and
// whether a service of the name exists (the unit "<name>.service"). When it
// exists, and the process is to run the server, the dispatcher thread
// settles whether this process is that service; otherwise proceed_event and
// service_stop_event are set at once.
#pragma once
#include <atomic>
#include <cstdint>

#include "os/event.h"
#include "os/manager.h"
#include "os/thread.h"
#include "platform/service_status.h"

namespace qm {

inline constexpr uint32_t service_name_capacity = 256;  // UTF-16 units, terminator included
extern const char16_t default_service_name[];           // u"marvent.quillmere"

// Failures the service commands report by number besides the manager's.
inline constexpr uint32_t error_service_missing = 1060;
inline constexpr uint32_t error_service_exists = 1073;
inline constexpr uint32_t error_marked_for_delete = 1072;
inline constexpr uint32_t error_invalid_handle = 6;
inline constexpr uint32_t error_invalid_name = 123;

struct Z_SERVICE {
  z_service_status status;
  std::atomic<bool> status_registered{false};  // the control handler is registered
  os::z_event stop_event;          // manual-reset
  os::thread_handle dispatcher;    // the dispatcher thread, when started
  os::z_manager manager;           // connected at set-up; not connected on failure
  bool service_open = false;       // the service (unit) exists, found at set-up or just installed
  uint32_t manager_error = 0;      // of the connection at set-up; 0 after an install
  uint32_t service_error = 0;      // of opening the service at set-up; 1060 when not tried
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
  // The same name in UTF-8, for messages and the manager.
  char name_utf8[1024] = {};
  char unit_name[1040] = {};   // "<name>.service"
  char unit_path[1024] = {};   // the unit's file as the manager knows it, empty when none
};

extern Z_SERVICE z_service;

// Set-up from the process's arguments (UTF-16): the name part of "-d:", the
// events, the manager and the service. Called once before the entry;
// service_teardown at exit.
void service_setup(int argc, char16_t** argv);
void service_teardown();

// Executes the command letters and words; 0: run the server, -1: end.
int run_commands(int argc, char16_t** argv);
// Whether a process with these arguments runs the server rather than only
// service commands (run_commands then answers 0).
bool runs_server(int argc, char16_t** argv);
void print_help();

// "[YYYY-MM-DD / HH:MM:SS] " in UTC, before every service message.
void print_stamp();

// Codes of service_command: the manager's control codes.
inline constexpr uint32_t control_start = 0;
inline constexpr uint32_t control_stop = 1;
inline constexpr uint32_t control_pause = 2;
inline constexpr uint32_t control_continue = 3;
inline constexpr uint32_t control_interrogate = 4;
inline constexpr uint32_t control_shutdown = 5;
inline constexpr uint32_t control_param_change = 6;

// Start (0), stop (1), pause (2), continue (3) or reload (6) the service:
// -1 when the manager or the service cannot be reached, 0 after a start,
// otherwise the service's state code afterwards.
int service_command(uint32_t code);
// Stop, then start once the service has begun to stop.
int restart_service();
// Installs (and then starts) the service: 0, the failure, or -1.
int install_service(bool interactive);
// Stops and removes the service and deletes its log file; nonzero when the
// log file was deleted.
int remove_service();

}  // namespace qm
