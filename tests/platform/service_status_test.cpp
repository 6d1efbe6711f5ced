#include "platform/service_status.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace qm {
namespace {

os::z_unit_state unit_state(const char* active, const char* status = "", const char* job = "") {
  os::z_unit_state state;
  std::strcpy(state.active, active);
  std::strcpy(state.status, status);
  std::strcpy(state.job_type, job);
  return state;
}

TEST(ServiceStatus, UnitStatesMapOntoServiceStates) {
  struct row {
    const char* label;
    os::z_unit_state unit;
    uint32_t want;
  };
  const row rows[] = {
      {"inactive", unit_state("inactive"), state_stopped},
      {"failed", unit_state("failed", "[RUNNING]"), state_stopped},
      {"activating", unit_state("activating", "[START PENDING]"), state_start_pending},
      {"deactivating", unit_state("deactivating"), state_stop_pending},
      {"active", unit_state("active", "[RUNNING]"), state_running},
      {"reloading", unit_state("reloading", "[RUNNING]"), state_running},
      {"paused", unit_state("active", "[PAUSED]"), state_paused},
      {"reloading while paused", unit_state("reloading", "[PAUSED]"), state_paused},
      {"stop queued", unit_state("active", "[RUNNING]", "stop"), state_stop_pending},
      {"stop queued while paused", unit_state("active", "[PAUSED]", "stop"), state_stop_pending},
      {"other job", unit_state("active", "[RUNNING]", "reload"), state_running},
      {"unknown", unit_state("maintenance"), 0},
  };
  for (const row& r : rows) EXPECT_EQ(state_of_unit(r.unit), r.want) << r.label;
}

TEST(ServiceStatus, EveryReportReadsBackAsItsState) {
  for (uint32_t state : {state_start_pending, state_running, state_paused, state_stop_pending}) {
    std::string note = notification_of(state);
    std::string status = note.substr(note.find("STATUS=") + 7);
    os::z_unit_state unit = unit_state(state == state_start_pending  ? "activating"
                                       : state == state_stop_pending ? "deactivating"
                                                                     : "active",
                                       status.c_str());
    EXPECT_EQ(state_of_unit(unit), state) << note;
  }
  EXPECT_NE(std::string(notification_of(state_running)).find("READY=1"), std::string::npos);
  EXPECT_NE(std::string(notification_of(state_stop_pending)).find("STOPPING=1"), std::string::npos);
}

TEST(ServiceStatus, StateNames) {
  const char* names[] = {"{status=0}",         "[STOPPED]",       "[START PENDING]", "[STOP PENDING]",
                         "[RUNNING]",          "[CONTINUE PENDING]", "[PAUSE PENDING]", "[PAUSED]",
                         "{status=8}"};
  char text[32];
  for (uint32_t state = 0; state <= 8; ++state) EXPECT_STREQ(state_name(state, text, sizeof text), names[state]);
}

}  // namespace
}  // namespace qm
