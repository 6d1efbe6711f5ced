// The service side of the service manager: whether this process is a
// service that the manager started, and the state it reports back.
//
// The manager hands its service a notification socket (sd_notify); only a
// process that has one and runs as the main process of its own unit is the
// manager's service. Reports are datagrams opened anew for each message, so
// they reach the manager from any thread, after privilege lowering too (the
// socket is world-writable and no Landlock right covers connecting to it).
#pragma once
#include <cstdint>

namespace qm::os {

// True when the manager started this process as the service of unit (for
// example "web.service").
bool started_by_manager(const char* unit);

// Sends one notification: lines of "KEY=value" (READY=1, STOPPING=1,
// RELOADING=1, STATUS=...). 0 when it was sent, else the failure (ENOTCONN
// when the process has no notification socket).
uint32_t notify_manager(const char* state);

}  // namespace qm::os
