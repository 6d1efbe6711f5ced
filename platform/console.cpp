// Where output goes, and the console's stop event.
#include "platform/console.h"

#include "os/console.h"
#include "os/output.h"
#include "platform/service.h"

namespace qm {

Z_CONSOLE z_shadow_console;

namespace {

// A stop from the console: Ctrl+C, a termination signal, Esc or Q.
void on_console_stop(void* /*context*/) {
  z_shadow_console.ctrl_event_seen = true;
  os::event_set(z_shadow_console.console_stop_event);
  z_service.stop_requested = true;
  if (z_service.stop_event.created) os::event_set(z_service.stop_event);
  if (!z_service.service_mode && z_service.service_stop_event.created) os::event_set(z_service.service_stop_event);
}

}  // namespace

void console_setup() {
  os::event_create(z_shadow_console.console_stop_event, true, false);
  // The console title is always the default service name.
  if (os::out_is_terminal()) os::out("\033]0;marvent.quillmere\007");
  z_shadow_console.watching = os::console_watch_start(on_console_stop, nullptr);
}

void console_teardown() {
  if (z_shadow_console.watching) os::console_watch_stop();
  z_shadow_console.watching = false;
  os::event_close(z_shadow_console.console_stop_event);
}

}  // namespace qm
