// The service's status and the manager's unit states.
#include "platform/service_status.h"

#include <cstdio>
#include <cstring>

namespace qm {

namespace {

bool is(const char* text, const char* word) { return std::strcmp(text, word) == 0; }

}  // namespace

const char* state_name(uint32_t state, char* out, uint32_t room) {
  static const char* const names[] = {"[STOPPED]",          "[START PENDING]", "[STOP PENDING]", "[RUNNING]",
                                      "[CONTINUE PENDING]", "[PAUSE PENDING]", "[PAUSED]"};
  if (state >= state_stopped && state <= state_paused) {
    std::snprintf(out, room, "%s", names[state - 1]);
  } else {
    std::snprintf(out, room, "{status=%u}", state);
  }
  return out;
}

uint32_t state_of_unit(const os::z_unit_state& unit) {
  if (is(unit.active, "inactive") || is(unit.active, "failed")) return state_stopped;
  if (is(unit.active, "activating")) return state_start_pending;
  if (is(unit.active, "deactivating")) return state_stop_pending;
  if (is(unit.active, "active") || is(unit.active, "reloading")) {
    if (is(unit.job_type, "stop")) return state_stop_pending;
    if (is(unit.status, "[PAUSED]")) return state_paused;
    return state_running;
  }
  return 0;
}

const char* notification_of(uint32_t state) {
  switch (state) {
    case state_start_pending: return "STATUS=[START PENDING]";
    case state_running: return "READY=1\nSTATUS=[RUNNING]";
    case state_paused: return "STATUS=[PAUSED]";
    case state_stop_pending: return "STOPPING=1\nSTATUS=[STOP PENDING]";
    case state_stopped: return "STATUS=[STOPPED]";
    default: return "STATUS=";
  }
}

}  // namespace qm
