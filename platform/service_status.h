// The service's status as the design counts it, and how it maps onto the
// service manager: what the service reports (notification texts) and what a
// query of the unit's state reads back.
#pragma once
#include <cstdint>

#include "os/manager.h"

namespace qm {

inline constexpr uint32_t state_stopped = 1;
inline constexpr uint32_t state_start_pending = 2;
inline constexpr uint32_t state_stop_pending = 3;
inline constexpr uint32_t state_running = 4;
inline constexpr uint32_t state_continue_pending = 5;
inline constexpr uint32_t state_pause_pending = 6;
inline constexpr uint32_t state_paused = 7;

// Controls the running service accepts: stop, pause-continue, shutdown and
// parameter change.
inline constexpr uint32_t accept_stop = 0x1;
inline constexpr uint32_t accept_pause_continue = 0x2;
inline constexpr uint32_t accept_shutdown = 0x4;
inline constexpr uint32_t accept_param_change = 0x8;
inline constexpr uint32_t accept_while_running = accept_stop | accept_pause_continue | accept_shutdown | accept_param_change;

struct z_service_status {
  uint32_t service_type = 0;
  uint32_t current_state = 0;
  uint32_t controls_accepted = 0;
  uint32_t win32_exit_code = 0;
  uint32_t service_exit_code = 0;
  uint32_t check_point = 0;
  uint32_t wait_hint = 0;
};

// "[STOPPED]" ... "[PAUSED]", or "{status=<code>}" for any other code,
// NUL-terminated in out.
const char* state_name(uint32_t state, char* out, uint32_t room);

// The state of a unit as the design counts it: inactive or failed 1,
// activating 2, deactivating 3, active or reloading 4, or 7 when the
// service's own status text says it is paused. A queued stop job counts as
// 3 already, as the manager has taken the stop. 0 for a state it does not
// know.
uint32_t state_of_unit(const os::z_unit_state& unit);

// The notification that reports state to the manager: READY=1 for running,
// STOPPING=1 for stop pending, and always a STATUS text that state_of_unit
// reads back.
const char* notification_of(uint32_t state);

}  // namespace qm
