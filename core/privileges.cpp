// Privilege lowering before the first connection.
#include "core/privileges.h"

#include <atomic>
#include <cstdio>

#include "os/error.h"
#include "os/output.h"
#include "os/privileges.h"

namespace qm {

namespace {

std::atomic<bool> lowering_enabled{true};
// Written by the listener before any slot is released, read by every
// thread that applies the per-thread part afterwards.
std::atomic<bool> lowered{false};
std::atomic<bool> landlock_applied{false};
// One line for all threads: 130 threads failing alike say nothing more.
std::atomic<bool> thread_failure_reported{false};

void report(const char* what, uint32_t error) {
  char text[256];
  os::out("!! privilege lowering: %s (%s)\n", what, os::error_text(error, text, sizeof text));
}

bool switch_account() {
  if (!os::running_as_root()) return true;
  uint32_t error = os::drop_to_account();
  if (error == 0) return true;
  char what[64];
  std::snprintf(what, sizeof what, "could not switch to %s", os::unprivileged_account);
  report(what, error);
  return false;
}

bool drop_capabilities() {
  uint32_t error = os::drop_all_capabilities();
  if (error != 0) report("could not drop the capabilities", error);
  return error == 0;
}

bool forbid_new_privileges() {
  uint32_t error = os::set_no_new_privileges();
  if (error != 0) report("could not set no-new-privileges", error);
  return error == 0;
}

bool deny_writes() {
  os::landlock_result result = os::deny_file_writes();
  if (result == os::landlock_result::applied) return true;
  if (result == os::landlock_result::not_available) {
    os::out("!! privilege lowering: Landlock not available, file writes are not denied\n");
  } else {
    report("could not apply the Landlock rule set", os::last_error());
  }
  return false;
}

}  // namespace

void set_privilege_lowering(bool enabled) { lowering_enabled = enabled; }

bool lower_privileges() {
  if (!lowering_enabled) return false;
  // The bounding set needs CAP_SETPCAP, which the account switch takes away.
  uint32_t bounding = os::drop_bounding_capabilities();
  if (bounding != 0) report("could not empty the bounding set", bounding);
  bool ok = switch_account() && bounding == 0;
  ok = drop_capabilities() && ok;
  ok = forbid_new_privileges() && ok;
  bool landlock = deny_writes();
  landlock_applied = landlock;
  lowered = true;
  return ok && landlock;
}

bool apply_thread_restrictions() {
  if (!lowered) return false;
  bool ok = os::drop_all_capabilities() == 0;
  ok = os::set_no_new_privileges() == 0 && ok;
  if (landlock_applied) ok = os::deny_file_writes() == os::landlock_result::applied && ok;
  if (!ok && !thread_failure_reported.exchange(true)) report("a server thread could not be restricted", os::last_error());
  return ok;
}

}  // namespace qm
