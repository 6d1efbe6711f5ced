// The service manager, as the service commands talk to it: systemd's D-Bus
// API through sd-bus.
//
// As root the connection goes straight to the manager's private socket
// (/run/systemd/private: no bus daemon, no Hello, no destination name);
// otherwise it goes through the system bus, and it counts as made only when
// the manager owns its name there. Units are named "<service>.service".
//
// Every call answers 0 or a failure number: the numbers below where the
// manager's answer has one, else the errno of the failure.
#pragma once
#include <cstdint>

namespace qm::os {

// Failures that the service commands name.
inline constexpr uint32_t manager_access_denied = 5;      // the caller may not do this
inline constexpr uint32_t manager_already_running = 1056;
inline constexpr uint32_t manager_disabled = 1058;        // the unit is masked
inline constexpr uint32_t manager_not_active = 1062;      // no main process to signal
inline constexpr uint32_t manager_no_such_unit = 1060;

// A connection to the manager; bus is the sd_bus, null when not connected.
struct z_manager {
  void* bus = nullptr;
  bool direct = false;  // the private socket: calls carry no destination
};

// Connects; 0 or the errno of the failed connection (ENXIO when the bus is
// there but the manager is not on it).
uint32_t manager_connect(z_manager& manager);
void manager_disconnect(z_manager& manager);
inline bool manager_connected(const z_manager& manager) { return manager.bus != nullptr; }

// Loads the unit and tells whether it exists: 0, manager_no_such_unit when
// the manager finds no unit file for it, or the failure. fragment (may be
// null) receives the path of the unit's file, empty when it has none.
uint32_t unit_load(z_manager& manager, const char* unit, char* fragment, uint32_t room);

// Jobs in mode "replace"; they return once the job is queued.
uint32_t unit_start(z_manager& manager, const char* unit);
uint32_t unit_stop(z_manager& manager, const char* unit);
uint32_t unit_reload(z_manager& manager, const char* unit);

// The controls that reach a running service as signals to its main process.
enum class unit_signal { pause, resume };  // SIGUSR1, SIGUSR2
uint32_t unit_signal_main(z_manager& manager, const char* unit, unit_signal which);

// What the manager says of a unit; texts are empty when not given.
struct z_unit_state {
  char active[32] = {};    // ActiveState
  char sub[32] = {};       // SubState
  char status[128] = {};   // StatusText, as the service last reported it
  char job_type[32] = {};  // JobType of the unit's queued job
};
uint32_t unit_query(z_manager& manager, const char* unit, z_unit_state& state);

// Unit files: enable (its [Install] links) and disable; the manager reads
// unit files again on reload.
uint32_t unit_enable(z_manager& manager, const char* unit);
uint32_t unit_disable(z_manager& manager, const char* unit);
uint32_t unit_reset_failed(z_manager& manager, const char* unit);
uint32_t manager_reload(z_manager& manager);

}  // namespace qm::os
