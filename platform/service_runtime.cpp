// The service at run time and its controls.
#include "platform/service_runtime.h"

#include <cstdlib>
#include <mutex>

#include "config/lists.h"
#include "os/file.h"
#include "os/notify.h"
#include "os/output.h"
#include "platform/console.h"
#include "platform/service.h"
#include "platform/unit_file.h"

namespace qm {

namespace {

constexpr uint32_t no_console_pid = 0xFFFFFFFFu;
constexpr uint64_t unit_file_limit = 1 << 20;

// The status record is changed and reported by service_main and by the
// controls, which arrive on the console watcher's thread.
std::mutex status_lock;

void set_state(uint32_t state, uint32_t accepted) {
  z_service.status.current_state = state;
  z_service.status.controls_accepted = accepted;
}

// Sends the status to the manager; false when it could not be sent.
bool report_status() { return os::notify_manager(notification_of(z_service.status.current_state)) == 0; }

void change_state(uint32_t state, uint32_t accepted) {
  std::lock_guard<std::mutex> guard(status_lock);
  set_state(state, accepted);
  report_status();
}

// The unit file of this service, as the manager named it at set-up.
z_unit_values read_own_unit_values() {
  z_unit_values values;
  char16_t path[sizeof z_service.unit_path];
  if (z_service.unit_path[0] == 0 || utf8_to_utf16(path, sizeof z_service.unit_path, z_service.unit_path) == 0) {
    return values;
  }
  os::file_descriptor file;
  if (os::file_open(file, path, os::generic_read, os::open_existing, 0, nullptr) != 0) return values;
  uint64_t size = 0, last_write = 0;
  bool folder = false;
  if (os::file_info(file, &size, &last_write, &folder) == 0 && !folder && size <= unit_file_limit) {
    char* text = static_cast<char*>(std::malloc(size + 1));
    int64_t read = text != nullptr ? os::file_read(file, text, size) : -1;
    if (read > 0) values = read_unit_values(text, static_cast<uint64_t>(read));
    std::free(text);
  }
  os::file_close(file);
  return values;
}

// Step 4 and 6.1: the service's type and its console values.
void take_unit_values() {
  z_unit_values values = read_own_unit_values();
  if (values.type_found && (values.type & service_type_interactive) != 0) {
    std::lock_guard<std::mutex> guard(status_lock);
    z_service.status.service_type |= service_type_interactive;
    z_service.interactive = true;
  }
  z_service.console_pid = values.console_pid;
  z_service.console_sid = values.console_sid;
}

// Attach to the console of console_pid, else an own console for an
// interactive service, else the log file.
void choose_output() {
  if (z_service.console_sid == 0 && z_service.console_pid != 0 && z_service.console_pid != no_console_pid) {
    if (attach_console(z_service.console_pid) != 0) z_service.console_pid = 0;
  }
  if (z_service.console_sid == 0 && z_service.console_pid != 0) return;
  if (z_service.interactive) {
    detach_console();
    use_own_console();
  } else {
    open_log(true);
  }
}

// The manager takes the process only when it started it as this service.
bool start_control_dispatcher() {
  if (!os::started_by_manager(z_service.unit_name)) return false;
  service_main();
  return true;
}

bool register_control_handler() {
  std::lock_guard<std::mutex> guard(status_lock);
  set_state(state_start_pending, 0);
  if (!report_status()) return false;
  z_service.status_registered = true;
  return true;
}

// Pause, continue and reload reach only a running service; a stop always does.
bool control_accepted(uint32_t code) {
  if (code == control_stop || code == control_shutdown || code == control_interrogate) return true;
  return (z_service.status.controls_accepted & accept_pause_continue) != 0;
}

void apply_control(uint32_t code) {
  switch (code) {
    case control_stop:
    case control_shutdown:
      set_state(state_stop_pending, z_service.status.controls_accepted);
      z_service.stop_requested = true;
      break;
    case control_pause:
      set_state(state_paused, z_service.status.controls_accepted);
      print_stamp();
      os::out("{paused}\n");
      z_service.paused = true;
      break;
    case control_continue:
      set_state(state_running, z_service.status.controls_accepted);
      print_stamp();
      os::out("{resumed}\n");
      z_service.paused = false;
      break;
    case control_param_change:
      if (z_service.status_registered) os::notify_manager("RELOADING=1");
      if (z_service.reload_event.created) os::event_set(z_service.reload_event);
      break;
    default: break;
  }
}

}  // namespace

void dispatcher_thread(void*) {
  {
    std::lock_guard<std::mutex> guard(status_lock);
    z_service.status = z_service_status{};
    z_service.status.service_type = service_type_own_process;
    z_service.status.current_state = state_stopped;
  }
  z_service.interactive = false;
  z_service.service_mode = false;
  if (os::has_controlling_terminal()) {
    z_service.interactive = true;
  } else {
    z_service.service_mode = true;
    take_unit_values();
    choose_output();
    // A server that never listens ends the process without a service.
    bool listening = z_service.listening_event.created &&
                     os::event_wait(z_service.listening_event, os::wait_forever) == os::wait_result::signaled;
    z_service.service_mode = listening && start_control_dispatcher();
  }
  if (z_service.service_stop_event.created) os::event_set(z_service.service_stop_event);
  if (z_service.proceed_event.created) os::event_set(z_service.proceed_event);
}

void service_main() {
  if (!register_control_handler()) {
    print_stamp();
    os::out("!! RegisterServiceCtrlHandler() failed.\n");
    if (z_service.proceed_event.created) os::event_set(z_service.proceed_event);
    return;
  }
  change_state(state_running, accept_while_running);
  if (z_service.console_pid == 0) {
    print_stamp();
    os::out("[STARTED] %s\n", z_service.name_utf8);
  }
  if (z_service.proceed_event.created) os::event_set(z_service.proceed_event);
  if (z_service.stop_event.created) os::event_wait(z_service.stop_event, os::wait_forever);
  if (z_service.console_pid == 0) {
    print_stamp();
    os::out("[STOPPED] %s\n#################################\n\n", z_service.name_utf8);
  }
  change_state(state_stop_pending, 0);
  change_state(state_stopped, 0);
}

void control_handler(uint32_t code) {
  std::lock_guard<std::mutex> guard(status_lock);
  if (control_accepted(code)) apply_control(code);
  if (z_service.status_registered) report_status();
  if (!z_service.stop_requested) return;
  if (z_service.stop_event.created) os::event_set(z_service.stop_event);
  if (!z_service.service_mode && z_service.service_stop_event.created) os::event_set(z_service.service_stop_event);
}

void console_control_handler() {
  z_shadow_console.ctrl_event_seen = true;
  if (z_shadow_console.console_stop_event.created) os::event_set(z_shadow_console.console_stop_event);
  control_handler(control_stop);
}

void console_input_stop() {
  if (z_shadow_console.console_stop_event.created) os::event_set(z_shadow_console.console_stop_event);
  control_handler(control_stop);
}

void on_console_event(void*, os::console_event event) {
  using os::console_event;
  if (z_service.status_registered) {
    switch (event) {
      case console_event::terminate: control_handler(control_stop); return;
      case console_event::user1: control_handler(control_pause); return;
      case console_event::user2: control_handler(control_continue); return;
      case console_event::hangup: control_handler(control_param_change); return;
      default: break;
    }
  } else if (event == console_event::user1 || event == console_event::user2) {
    return;  // a console process has nothing to pause
  }
  if (event == console_event::stop_key) {
    console_input_stop();
  } else {
    console_control_handler();
  }
}

void report_reload_done() {
  std::lock_guard<std::mutex> guard(status_lock);
  if (!z_service.status_registered) return;
  // READY=1 ends the reload in every state, a paused one included.
  os::notify_manager("READY=1");
  report_status();
}

}  // namespace qm
