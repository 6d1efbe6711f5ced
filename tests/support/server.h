// An in-process server for tests: the real engine, listener and slots on a
// port of the test's choosing, stopped and torn down by the test.
#pragma once
#include <cstdint>
#include <string>
#include <thread>

namespace qm {
struct Z_SOCKET;
}

namespace qm::test {

class server {
 public:
  // Builds the engine (configuration as the engine reads it) and starts the
  // listener on a free port; with certificate files given they are loaded.
  bool start(const std::string& cer = "", const std::string& key = "");
  // Sets the stop event, waits for the listener and tears everything down.
  // Standard output of the teardown is returned (terminate lines and such).
  std::string stop();
  ~server();

  uint16_t port() const { return port_; }
  Z_SOCKET& engine();

 private:
  uint16_t port_ = 0;
  bool running_ = false;
  std::thread listener_;
};

// Process-wide objects that the entry's callers set up before it runs.
void ensure_process_objects();

}  // namespace qm::test
