// The process entry: command line, engine build, listener and the fixed
// teardown order.
#pragma once

namespace qm {

// Runs the server (or the service commands) and returns the exit code, 0 on
// every path; arguments are UTF-16.
int entry(int argc, char16_t** argv);

struct Z_SOCKET;

// Starts sockets, fills the local address and runs the listener until the
// server is told to stop. The engine must have been built and be running.
void serve(Z_SOCKET& engine);
// The fixed teardown order: slots 63 down to 0, the arena released once, the
// reload thread ended.
void teardown(Z_SOCKET& engine);

}  // namespace qm
