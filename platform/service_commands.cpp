// The service commands: start, stop, pause, continue and reload through the
// service manager, install and remove.
//
// The manager checks a caller's rights when it is asked to act, not when a
// unit is looked up; a refusal of the act is therefore reported as the
// failure to open the service with the right the act needs, as a caller
// without those rights is told on a system that checks them on opening.
#include <cstdio>
#include <cstring>

#include "config/lists.h"
#include "os/error.h"
#include "os/file.h"
#include "os/output.h"
#include "os/thread.h"
#include "platform/console.h"
#include "platform/service.h"
#include "platform/unit_file.h"

namespace qm {

namespace {

constexpr char unit_folder[] = "/etc/systemd/system";
constexpr uint32_t unit_file_mode = 0644;
constexpr uint32_t command_line_capacity = 1024;
// A pause or continue is answered once the service has reported its new
// state, as a control is answered after the service's handler ran.
constexpr uint32_t control_answer_ms = 5000;
constexpr uint32_t control_poll_ms = 20;

const char* name() { return z_service.name_utf8; }
const char* unit() { return z_service.unit_name; }

uint32_t access_mapped(uint32_t error) {
  return error == os::err_access_denied || error == os::err_not_permitted ? os::manager_access_denied : error;
}

void print_manager_failure(const char* what, uint32_t error) {
  print_stamp();
  os::out("!! Cannot connect to Service Control Manager.\n\tDo I have administrator priviledges?\n\t%s %s [%u]\n",
          name(), what, error);
}

void print_open_failure(uint32_t code, uint32_t error) {
  print_stamp();
  os::out("!! service command [%u]: failed to open %s! [%u]\n", code, name(), error);
}

// The unit looked up afresh through the set-up connection: 0 or why not.
uint32_t open_service() {
  if (!unit_name_valid(name())) return error_invalid_name;
  return os::unit_load(z_service.manager, unit(), nullptr, 0);
}

// The unit's state into the status record; false when it cannot be read.
bool query_status() {
  os::z_unit_state state;
  if (os::unit_query(z_service.manager, unit(), state) != 0) return false;
  z_service.status.current_state = state_of_unit(state);
  return true;
}

// Waits until the service shows the state it was asked for, or has left
// its running states, or the time is up.
void await_state(uint32_t wanted) {
  for (uint32_t waited = 0; waited < control_answer_ms; waited += control_poll_ms) {
    if (!query_status()) return;
    uint32_t state = z_service.status.current_state;
    if (state == wanted || (state != state_running && state != state_paused)) return;
    os::sleep_ms(control_poll_ms);
  }
}

// A start queued while the stop job still waits would replace it (the
// manager merges the two into nothing): a restart starts once the service
// has begun to stop.
void await_stop_begun() {
  for (uint32_t waited = 0; waited < control_answer_ms; waited += control_poll_ms) {
    os::z_unit_state state;
    if (os::unit_query(z_service.manager, unit(), state) != 0) return;
    if (std::strcmp(state.active, "active") != 0 && std::strcmp(state.active, "reloading") != 0) return;
    os::sleep_ms(control_poll_ms);
  }
}

uint32_t send_control(uint32_t code) {
  switch (code) {
    case control_stop: return os::unit_stop(z_service.manager, unit());
    case control_pause: return os::unit_signal_main(z_service.manager, unit(), os::unit_signal::pause);
    case control_continue: return os::unit_signal_main(z_service.manager, unit(), os::unit_signal::resume);
    case control_param_change: return os::unit_reload(z_service.manager, unit());
    default: return 0;
  }
}

int print_state_and_end() {
  char text[32];
  os::out("%s\n", state_name(z_service.status.current_state, text, sizeof text));
  return static_cast<int>(z_service.status.current_state);
}

// ------------------------------------------------------------------ install

constexpr uint32_t path_capacity = 1200;

// The folder of the unit files, or the unit's own file there, as UTF-16.
void unit_folder_path(char16_t* out, bool with_unit) {
  char path[path_capacity];
  std::snprintf(path, sizeof path, "%s%s%s", unit_folder, with_unit ? "/" : "", with_unit ? unit() : "");
  utf8_to_utf16(out, path_capacity, path);
}

uint32_t unit_folder_writable() {
  char16_t folder[path_capacity];
  unit_folder_path(folder, false);
  return access_mapped(os::folder_writable(folder));
}

// Connecting with the right to create a service: the manager, and the right
// to write unit files.
uint32_t connect_to_create(os::z_manager& manager) {
  uint32_t error = os::manager_connect(manager);
  return error != 0 ? error : unit_folder_writable();
}

// Makes the manager forget a unit file that was written but not taken up.
void withdraw_unit(os::z_manager& manager, const char16_t* path) {
  os::unit_disable(manager, unit());
  os::file_delete(path);
  os::manager_reload(manager);
}

// Writes the unit file, has the manager read it and enables the service.
uint32_t create_service(os::z_manager& manager, const char* command_line, bool interactive) {
  if (!unit_name_valid(name())) return error_invalid_name;
  if (os::unit_load(manager, unit(), nullptr, 0) == 0) return error_service_exists;
  z_unit_values values;
  values.type = service_type_own_process | (interactive ? service_type_interactive : 0);
  values.console_pid = z_service.console_pid;
  values.console_sid = z_service.console_sid;
  char text[4096];
  uint64_t size = build_unit_file(text, sizeof text, command_line, values);
  if (size == 0) return os::err_no_memory;
  char16_t path[path_capacity];
  unit_folder_path(path, true);
  uint32_t error = os::file_publish_new(path, text, size, unit_file_mode);
  if (error == os::err_exists) return error_service_exists;
  if (error != 0) return access_mapped(error);
  error = os::manager_reload(manager);
  if (error == 0) error = os::unit_enable(manager, unit());
  if (error == 0) error = os::manager_reload(manager);
  if (error == 0) error = os::unit_load(manager, unit(), z_service.unit_path, sizeof z_service.unit_path);
  if (error != 0) withdraw_unit(manager, path);
  return error;
}

// The command line of the service; its length, or 0 with the error set.
uint64_t service_command_line(char* out, uint64_t room) {
  char16_t executable[command_line_capacity];
  if (os::executable_path(executable, command_line_capacity) == 0) return 0;
  char path[3 * command_line_capacity];
  os::u16_arg(executable, path, sizeof path);
  uint64_t length = unit_command_line(out, room, path, name());
  if (length == 0) os::set_last_error(os::err_no_memory);
  return length;
}

void report_installed(const char* command_line, bool interactive) {
  z_service.manager_error = 0;
  z_service.service_open = true;
  print_stamp();
  os::out(":: %s service installed%s\n", name(), interactive ? " [INTERACTIVE]" : "");
  print_stamp();
  os::out(":: %s requires Read+Execute ACL rights on:\n%s\n", "root", command_line);
}

void report_install_failure(uint32_t error) {
  print_stamp();
  if (error == error_service_exists) {
    os::out("!! %s service already exists.\n", name());
  } else {
    os::out("!! %s service installation failed [%u]\n", name(), error);
  }
}

// ------------------------------------------------------------------- remove

// Opening with the right to delete: the unit exists and its file may go.
uint32_t open_to_delete() {
  if (!os::manager_connected(z_service.manager)) return z_service.manager_error;
  uint32_t error = open_service();
  return error != 0 ? error : unit_folder_writable();
}

uint32_t delete_service() {
  uint32_t error = os::unit_disable(z_service.manager, unit());
  if (error == os::manager_access_denied) return error;
  char16_t path[path_capacity];
  unit_folder_path(path, true);
  error = os::file_delete(path);
  if (error == os::err_not_found) return error_marked_for_delete;
  if (error != 0) return access_mapped(error);
  os::unit_reset_failed(z_service.manager, unit());
  os::manager_reload(z_service.manager);
  return 0;
}

void report_delete(uint32_t error) {
  print_stamp();
  if (error == 0) {
    os::out(":: %s service was removed successfully!\n", name());
  } else if (error == os::manager_access_denied) {
    os::out("!! Access Denied while trying to remove service %s.\n", name());
  } else if (error == error_invalid_handle) {
    os::out("!! Invalid Handle while trying to remove service %s.\n", name());
  } else if (error == error_marked_for_delete) {
    os::out("!! %s service is already marked for deletion.\n", name());
  } else {
    os::out("!! delete service %s failed [%u].\n", name(), error);
  }
}

// Deletes the service once it has stopped; false when it is still there.
bool remove_opened_service() {
  if (!query_status()) return false;
  if (z_service.status.current_state != state_stopped) {
    print_stamp();
    os::out("!! %s is still running. Stop the service and try again!\n", name());
    return false;
  }
  z_service.service_open = false;
  z_service.service_error = error_service_missing;
  uint32_t error = delete_service();
  report_delete(error);
  return error == 0;
}

}  // namespace

int service_command(uint32_t code) {
  if (!os::manager_connected(z_service.manager)) {
    print_manager_failure("service command failed", z_service.manager_error);
    return -1;
  }
  uint32_t error = open_service();
  if (error != 0) {
    print_open_failure(code, error);
    return -1;
  }
  if (code == control_start) {
    error = os::unit_start(z_service.manager, unit());
    if (error == os::manager_access_denied) {
      print_open_failure(code, error);
      return -1;
    }
    print_stamp();
    if (error == 0) {
      os::out(":: %s service start [OK]\n", name());
      return 0;
    }
    os::out("!! %s service start [FAILED:%u]", name(), error);
    query_status();
    return print_state_and_end();
  }
  error = send_control(code);
  if (error == os::manager_access_denied) {
    print_open_failure(code, error);
    return -1;
  }
  if (code == control_pause || code == control_continue) {
    await_state(code == control_pause ? state_paused : state_running);
  } else {
    query_status();
  }
  print_stamp();
  os::out(":: %s service ", name());
  return print_state_and_end();
}

int restart_service() {
  int stopped = service_command(control_stop);
  if (stopped != -1 && os::manager_connected(z_service.manager)) await_stop_begun();
  return service_command(control_start);
}

int install_service(bool interactive) {
  char command_line[3 * command_line_capacity];
  if (service_command_line(command_line, sizeof command_line) == 0) {
    print_stamp();
    os::out("!! Unable to determine the path to executable image.\n\t%s service installation failed [%u]\n", name(),
            os::last_error());
    return -1;
  }
  os::z_manager manager;
  uint32_t error = connect_to_create(manager);
  if (error != 0) {
    os::manager_disconnect(manager);
    print_manager_failure("service installation failed", error);
    return -1;
  }
  error = create_service(manager, command_line, interactive);
  if (error == 0) {
    report_installed(command_line, interactive);
  } else {
    report_install_failure(error);
  }
  os::manager_disconnect(manager);
  os::out("\n");
  if (z_service.start_after_install) service_command(control_start);
  return static_cast<int>(error);
}

int remove_service() {
  service_command(control_stop);
  uint32_t error = open_to_delete();
  bool gone = false;
  if (error != 0) {
    print_stamp();
    gone = !z_service.service_open;
    if (gone) {
      os::out("!! %s service was not found on the system! %s [%u]\n", name(), "service remove",
              z_service.service_error);
    } else {
      os::out("!! service remove: failed to open service %s! [%u]\n", name(), error);
    }
  } else {
    gone = remove_opened_service();
  }
  // The log of a service that is still there is still written to.
  if (!gone) return 0;
  char16_t log_path[log_path_capacity];
  build_log_path(log_path, log_path_capacity, z_service.service_name);
  return os::file_delete(log_path) == 0 ? 1 : 0;
}

}  // namespace qm
