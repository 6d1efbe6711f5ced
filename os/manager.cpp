// The service manager through sd-bus.
#include "os/manager.h"

#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qm::os {

namespace {

constexpr const char* manager_name = "org.freedesktop.systemd1";
constexpr const char* manager_path = "/org/freedesktop/systemd1";
constexpr const char* manager_interface = "org.freedesktop.systemd1.Manager";
constexpr const char* unit_interface = "org.freedesktop.systemd1.Unit";
constexpr const char* service_interface = "org.freedesktop.systemd1.Service";
constexpr const char* job_interface = "org.freedesktop.systemd1.Job";
constexpr const char* private_address = "unix:path=/run/systemd/private";

sd_bus* bus_of(z_manager& manager) { return static_cast<sd_bus*>(manager.bus); }
const char* destination(const z_manager& manager) { return manager.direct ? nullptr : manager_name; }

uint32_t errno_of(int result) { return static_cast<uint32_t>(result < 0 ? -result : result); }

// The manager's refusals by name where the service commands have a number
// for them; anything else by its errno.
uint32_t failure_of(int result, const sd_bus_error* error) {
  if (sd_bus_error_has_names(error, SD_BUS_ERROR_ACCESS_DENIED, SD_BUS_ERROR_INTERACTIVE_AUTHORIZATION_REQUIRED)) {
    return manager_access_denied;
  }
  if (sd_bus_error_has_names(error, "org.freedesktop.systemd1.NoSuchUnit")) return manager_no_such_unit;
  if (sd_bus_error_has_names(error, "org.freedesktop.systemd1.NoSuchProcess")) return manager_not_active;
  if (sd_bus_error_has_names(error, "org.freedesktop.systemd1.UnitMasked")) return manager_disabled;
  if (result == -EACCES || result == -EPERM) return manager_access_denied;
  uint32_t number = errno_of(result);
  return number != 0 ? number : static_cast<uint32_t>(EIO);
}

// One call of the manager object whose reply is not read.
template <typename... Arguments>
uint32_t call_manager(z_manager& manager, const char* member, const char* types, Arguments... arguments) {
  if (!manager_connected(manager)) return static_cast<uint32_t>(ENOTCONN);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus_of(manager), destination(manager), manager_path, manager_interface, member, &error,
                             &reply, types, arguments...);
  uint32_t result = r < 0 ? failure_of(r, &error) : 0;
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  return result;
}

uint32_t copy_text(char* out, uint32_t room, const char* text) {
  if (out == nullptr || room == 0) return 0;
  uint64_t length = text != nullptr ? std::strlen(text) : 0;
  if (length >= room) length = room - 1;
  if (length != 0) std::memcpy(out, text, length);
  out[length] = 0;
  return 0;
}

// The object path of a unit, which LoadUnit gives whether or not the unit exists.
uint32_t unit_object(z_manager& manager, const char* unit, char* path, uint32_t room) {
  if (!manager_connected(manager)) return static_cast<uint32_t>(ENOTCONN);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus_of(manager), destination(manager), manager_path, manager_interface, "LoadUnit",
                             &error, &reply, "s", unit);
  const char* object = nullptr;
  if (r >= 0) r = sd_bus_message_read(reply, "o", &object);
  uint32_t result = r < 0 ? failure_of(r, &error) : copy_text(path, room, object);
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  return result;
}

uint32_t get_text(z_manager& manager, const char* object, const char* interface, const char* member, char* out,
                  uint32_t room) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  char* text = nullptr;
  int r = sd_bus_get_property_string(bus_of(manager), destination(manager), object, interface, member, &error, &text);
  uint32_t result = r < 0 ? failure_of(r, &error) : copy_text(out, room, text);
  std::free(text);
  sd_bus_error_free(&error);
  return result;
}

// The type of the unit's queued job ("start", "stop", ...), empty when none.
uint32_t get_job_type(z_manager& manager, const char* object, char* out, uint32_t room) {
  copy_text(out, room, "");
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_get_property(bus_of(manager), destination(manager), object, unit_interface, "Job", &error, &reply,
                              "(uo)");
  uint32_t id = 0;
  const char* job = nullptr;
  if (r >= 0) r = sd_bus_message_read(reply, "(uo)", &id, &job);
  uint32_t result = r < 0 ? failure_of(r, &error) : 0;
  char job_path[256] = {};
  if (result == 0 && id != 0) copy_text(job_path, sizeof job_path, job);
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  // A job that ends between the two calls has no type any more: none is queued.
  if (result == 0 && job_path[0] != 0) get_text(manager, job_path, job_interface, "JobType", out, room);
  return result;
}

uint32_t connect_direct(z_manager& manager) {
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r >= 0) r = sd_bus_set_address(bus, private_address);
  if (r >= 0) r = sd_bus_start(bus);
  if (r < 0) {
    sd_bus_unref(bus);
    return errno_of(r);
  }
  manager.bus = bus;
  manager.direct = true;
  return 0;
}

// The system bus, and the manager's name on it.
uint32_t connect_bus(z_manager& manager) {
  sd_bus* bus = nullptr;
  int r = sd_bus_open_system(&bus);
  if (r < 0) return errno_of(r);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                         &error, &reply, "s", manager_name);
  int owned = 0;
  if (r >= 0) r = sd_bus_message_read(reply, "b", &owned);
  uint32_t result = r < 0 ? errno_of(r) : (owned ? 0 : static_cast<uint32_t>(ENXIO));
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  if (result != 0) {
    sd_bus_flush_close_unref(bus);
    return result;
  }
  manager.bus = bus;
  manager.direct = false;
  return 0;
}

}  // namespace

uint32_t manager_connect(z_manager& manager) {
  manager_disconnect(manager);
  return ::geteuid() == 0 ? connect_direct(manager) : connect_bus(manager);
}

void manager_disconnect(z_manager& manager) {
  if (manager.bus != nullptr) sd_bus_flush_close_unref(bus_of(manager));
  manager.bus = nullptr;
  manager.direct = false;
}

uint32_t unit_load(z_manager& manager, const char* unit, char* fragment, uint32_t room) {
  copy_text(fragment, room, "");
  char object[256];
  uint32_t result = unit_object(manager, unit, object, sizeof object);
  if (result != 0) return result;
  char load_state[32];
  result = get_text(manager, object, unit_interface, "LoadState", load_state, sizeof load_state);
  if (result != 0) return result;
  if (std::strcmp(load_state, "not-found") == 0) return manager_no_such_unit;
  if (std::strcmp(load_state, "masked") == 0) return manager_disabled;
  if (fragment != nullptr) get_text(manager, object, unit_interface, "FragmentPath", fragment, room);
  return 0;
}

uint32_t unit_start(z_manager& manager, const char* unit) {
  return call_manager(manager, "StartUnit", "ss", unit, "replace");
}

uint32_t unit_stop(z_manager& manager, const char* unit) {
  return call_manager(manager, "StopUnit", "ss", unit, "replace");
}

uint32_t unit_reload(z_manager& manager, const char* unit) {
  return call_manager(manager, "ReloadUnit", "ss", unit, "replace");
}

uint32_t unit_signal_main(z_manager& manager, const char* unit, unit_signal which) {
  int32_t number = which == unit_signal::pause ? SIGUSR1 : SIGUSR2;
  return call_manager(manager, "KillUnit", "ssi", unit, "main", number);
}

uint32_t unit_query(z_manager& manager, const char* unit, z_unit_state& state) {
  state = z_unit_state{};
  char object[256];
  uint32_t result = unit_object(manager, unit, object, sizeof object);
  if (result == 0) result = get_text(manager, object, unit_interface, "ActiveState", state.active, sizeof state.active);
  if (result == 0) result = get_text(manager, object, unit_interface, "SubState", state.sub, sizeof state.sub);
  if (result != 0) return result;
  // A unit that is not a service, or that never reported, has no status text.
  get_text(manager, object, service_interface, "StatusText", state.status, sizeof state.status);
  get_job_type(manager, object, state.job_type, sizeof state.job_type);
  return 0;
}

uint32_t unit_enable(z_manager& manager, const char* unit) {
  return call_manager(manager, "EnableUnitFiles", "asbb", 1, unit, 0, 0);
}

uint32_t unit_disable(z_manager& manager, const char* unit) {
  return call_manager(manager, "DisableUnitFiles", "asb", 1, unit, 0);
}

uint32_t unit_reset_failed(z_manager& manager, const char* unit) {
  return call_manager(manager, "ResetFailedUnit", "s", unit);
}

uint32_t manager_reload(z_manager& manager) { return call_manager(manager, "Reload", ""); }

}  // namespace qm::os
