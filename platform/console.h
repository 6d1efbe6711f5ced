// Where output goes, and the console's stop event.
//
// A foreground server is stopped by Ctrl+C, SIGTERM, SIGHUP or SIGQUIT, and,
// when standard input is a terminal, by Esc or Q; each sets
// console_stop_event, on which the listener of a foreground server waits.
#pragma once
#include <atomic>

#include "os/event.h"

namespace qm {

struct Z_CONSOLE {
  os::z_event console_stop_event;  // manual-reset
  std::atomic<bool> ctrl_event_seen{false};
  bool watching = false;
};

extern Z_CONSOLE z_shadow_console;

// Set-up after the service object; teardown before it.
void console_setup();
void console_teardown();

}  // namespace qm
