// The service at run time: whether this process is the service, its report
// to the service manager, and its controls; and the console's stop.
//
// The dispatcher thread settles the mode: a process with a controlling
// terminal is a console process; any other is taken for the service, points
// its output at the console, terminal or log file that the unit file's
// values name, waits until the server listens and hands itself to the
// manager, which succeeds only in the process that the manager started. The
// service then reports its states with notifications; the manager's
// controls arrive as signals (SIGTERM stop, SIGUSR1 pause, SIGUSR2
// continue, SIGHUP reload) through the console watcher, which hands them to
// control_handler. In a console process the same signals stop the server.
//
// Everything here acts on the server only through the events of z_service
// and z_shadow_console.
#pragma once
#include <cstdint>

#include "os/console.h"

namespace qm {

// Started by set-up only when the service exists and the process runs the
// server; sets service_stop_event and proceed_event when it ends.
void dispatcher_thread(void* unused);
// The service's own routine, entered once the manager has taken the process.
void service_main();
// One control: stop, pause, continue, shutdown, parameter change (codes of
// platform/service.h); others change nothing but the status is reported.
void control_handler(uint32_t code);
// A console control event (Ctrl+C, a stop signal): stops the server.
void console_control_handler();
// Esc or Q at the terminal: stops the server.
void console_input_stop();
// The console watcher's callback: routes each event to the handlers above.
void on_console_event(void* context, os::console_event event);
// The reload thread has read the configuration again.
void report_reload_done();

}  // namespace qm
