// Where output goes, and the console's stop event.
#include "platform/console.h"

#include <mutex>

#include "os/console.h"
#include "os/file.h"
#include "os/output.h"
#include "platform/service.h"
#include "platform/service_runtime.h"

namespace qm {

Z_CONSOLE z_shadow_console;

namespace {

// Titles and frame lines always carry the default name.
constexpr const char* console_title = "marvent.quillmere";
constexpr char16_t log_folder[] = u"/var/log/";
constexpr char16_t log_extension[] = u".log";
// A terminal's own colours cannot be read back: taken as grey on black.
constexpr uint16_t saved_attribute = 0x07;
constexpr uint16_t attached_colour = 0x8A;
constexpr uint16_t detached_colour = 0x0C;

// Set-up and the dispatcher thread's choice of output may run at the same
// time: whichever comes second sees what the first did.
std::mutex output_lock;

// Output that has nowhere to go; opened once and kept.
int null_descriptor() {
  static const int descriptor = os::open_null();
  return descriptor;
}

// Points standard output (and standard error when given) at descriptor,
// which becomes the one this object owns; the one owned before is retired.
void point_output(int descriptor, bool with_error) {
  int previous = z_shadow_console.own_descriptor.exchange(descriptor);
  os::set_out_descriptor(descriptor);
  if (with_error) {
    os::set_err_descriptor(descriptor);
  } else if (previous >= 0 && os::err_descriptor() == previous) {
    os::set_err_descriptor(null_descriptor());
  }
  if (previous >= 0 && previous != descriptor) os::retire_descriptor(previous);
}

// The frame line in one write, so that no other thread's line lands inside
// it: the line breaks before it, its colour, the mark and the name.
void print_frame_line(const char* before, uint16_t colour, char mark) {
  char on[32] = "";
  const char* off = "";
  if (os::out_is_terminal()) {
    os::ansi_colour(colour_for(colour, saved_attribute), on, sizeof on);
    off = os::ansi_restore;
  }
  os::out("%s%s%c%c %s%s\n", before, on, mark, mark, console_title, off);
}

// Output that went to a terminal of the process's own goes nowhere now.
void leave_own_output() {
  int own = z_shadow_console.own_descriptor.exchange(-1);
  int null = null_descriptor();
  if (own >= 0) {
    if (os::out_descriptor() == own) os::set_out_descriptor(null);
    if (os::err_descriptor() == own) os::set_err_descriptor(null);
    os::retire_descriptor(own);
    return;
  }
  if (os::is_terminal(os::out_descriptor())) os::set_out_descriptor(null);
  if (os::is_terminal(os::err_descriptor())) os::set_err_descriptor(null);
}

}  // namespace

void console_setup() {
  os::event_create(z_shadow_console.console_stop_event, true, false);
  {
    // A window of its own: standard output is still the terminal it started with.
    std::lock_guard<std::mutex> guard(output_lock);
    z_shadow_console.had_window = os::out_descriptor() == 1 && os::out_is_terminal();
    if (z_shadow_console.had_window) os::out("\033]0;%s\007", console_title);
  }
  z_shadow_console.watching = os::console_watch_start(on_console_event, nullptr);
}

void console_teardown() {
  if (z_shadow_console.watching) os::console_watch_stop();
  z_shadow_console.watching = false;
  bool console_of_its_own = z_shadow_console.attached || z_shadow_console.own_console;
  if (console_of_its_own && !z_shadow_console.ctrl_event_seen && !z_shadow_console.had_window) detach_console();
  os::event_close(z_shadow_console.console_stop_event);
}

bool build_log_path(char16_t* out, uint32_t capacity, const char16_t* service_name) {
  uint32_t at = 0;
  for (const char16_t* part : {log_folder, service_name, log_extension}) {
    for (const char16_t* p = part; *p != 0; ++p) {
      if (at + 1 >= capacity) {
        out[0] = 0;
        return false;
      }
      out[at++] = *p;
    }
  }
  out[at] = 0;
  return true;
}

int open_log(bool leave_first) {
  if (leave_first) detach_console();
  std::unique_lock<std::mutex> guard(output_lock);
  int descriptor = -1;
  if (build_log_path(z_shadow_console.log_path, log_path_capacity, z_service.service_name)) {
    descriptor = os::file_open_log(z_shadow_console.log_path);
  }
  if (descriptor < 0) {
    guard.unlock();
    use_own_console();
    return -1;
  }
  point_output(descriptor, false);
  z_shadow_console.to_log = true;
  return 0;
}

int use_own_console() {
  std::lock_guard<std::mutex> guard(output_lock);
  z_shadow_console.to_log = false;
  int descriptor = os::open_system_console();
  if (descriptor >= 0) {
    point_output(descriptor, true);
    z_shadow_console.own_console = true;
  }
  return 0;
}

int attach_console(uint32_t pid) {
  detach_console();
  std::lock_guard<std::mutex> guard(output_lock);
  int descriptor = os::open_process_terminal(pid);
  if (descriptor < 0) return -1;
  point_output(descriptor, true);
  z_shadow_console.to_log = false;
  z_shadow_console.attached = true;
  print_frame_line("\n\n", attached_colour, '+');
  return 0;
}

void detach_console() {
  std::lock_guard<std::mutex> guard(output_lock);
  if (z_shadow_console.attached.exchange(false)) print_frame_line("", detached_colour, '-');
  leave_own_output();
  z_shadow_console.own_console = false;
  z_shadow_console.had_window = false;
}

void set_colour(uint16_t requested) {
  if (!os::out_is_terminal()) return;
  char sequence[32];
  os::out("%s", os::ansi_colour(colour_for(requested, saved_attribute), sequence, sizeof sequence));
}

uint16_t colour_for(uint16_t a, uint16_t b) {
  uint32_t result;
  if ((b & 0x70) != 0) {
    if ((a | 7) == a) {
      result = (a & 8) ? (a << 4) | b : (a << 4) | b | (a & 7) | 8;
    } else if ((a & 6) != 0 && (a & 8) != 0) {
      result = (a & 7) | (a << 4) | b;
    } else if ((b | a) == b) {
      result = a | (b & 0xFFF8) | 8;
    } else if (((static_cast<uint32_t>(b | a) << 4) ^ b) & 0xA0) {
      result = b | a;
    } else {
      result = a | (b & 0xFFF0);
    }
  } else if (a & 8) {
    result = ((a & 7) << 4) | b | 0xF;
  } else if (a == 2) {
    result = 0xA;
  } else {
    result = a | ((a | 4) << 1) | (b & 0xFFF8);
  }
  return static_cast<uint16_t>(result);
}

}  // namespace qm
