// Where output goes, and the console's stop event.
//
// A foreground process writes to the terminal (or whatever) it was started
// with. A service points its output, once, at one of three places: the
// terminal of another process (attach_console), the system console
// (use_own_console), or its log file, /var/log/<service name>.log
// (open_log), opened for appending before the server lowers its rights.
// Only standard output goes to the log; standard error stays where the
// service manager put it.
//
// A foreground server is stopped by Ctrl+C, SIGTERM, SIGHUP or SIGQUIT, and,
// when standard input is a terminal, by Esc or Q; each sets
// console_stop_event, on which the listener of a foreground server waits.
#pragma once
#include <atomic>
#include <cstdint>

#include "os/event.h"

namespace qm {

inline constexpr uint32_t log_path_capacity = 512;  // UTF-16 units

struct Z_CONSOLE {
  os::z_event console_stop_event;  // manual-reset
  std::atomic<bool> ctrl_event_seen{false};
  std::atomic<bool> had_window{false};  // standard output was a terminal at set-up
  std::atomic<bool> to_log{false};      // standard output goes to the log file
  std::atomic<bool> attached{false};    // output goes to another process's terminal
  std::atomic<bool> own_console{false};  // output goes to the system console
  std::atomic<int> own_descriptor{-1};  // the terminal, console or log opened for output
  char16_t log_path[log_path_capacity] = {};
  bool watching = false;
};

extern Z_CONSOLE z_shadow_console;

// Set-up after the service object; teardown before it.
void console_setup();
void console_teardown();

// "/var/log/<name>.log" into out; false when it does not fit.
bool build_log_path(char16_t* out, uint32_t capacity, const char16_t* service_name);

// Standard output to the log file, leaving the current console first when
// asked: 0, or -1 after falling back to use_own_console.
int open_log(bool leave_first);
// Output to the system console: 0.
int use_own_console();
// Output to the terminal of process pid, framed by the "++" line: 0, or -1
// when that process has no terminal to write to.
int attach_console(uint32_t pid);
// Leaves the current console: the "--" line when attached, then output that
// went to a terminal goes nowhere. Output that never went to a terminal
// (the manager's log stream, a file, a pipe) stays where it is.
void detach_console();
// Writes the colour for the requested console attribute word, when output
// is a terminal.
void set_colour(uint16_t requested);
// The attribute word set_colour shows for requested on a console whose own
// colours are saved (0x07 is grey on black).
uint16_t colour_for(uint16_t requested, uint16_t saved);

}  // namespace qm
