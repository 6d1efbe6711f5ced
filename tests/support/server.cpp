// An in-process server for tests.
#include "tests/support/server.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "config/config.h"
#include "core/engine.h"
#include "core/entry.h"
#include "core/privileges.h"
#include "core/tls.h"
#include "os/output.h"
#include "platform/console.h"
#include "platform/service.h"
#include "tests/support/client.h"

namespace qm::test {

namespace {

Z_SOCKET the_engine;

std::u16string widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

void ensure_process_objects() {
  static bool done = false;
  if (done) return;
  done = true;
  char16_t name[] = u"quillmere";
  char16_t* argv[] = {name, nullptr};
  service_setup(1, argv);
  os::event_create(z_shadow_console.console_stop_event, true, false);
}

Z_SOCKET& server::engine() { return the_engine; }

bool server::start(const std::string& cer, const std::string& key) {
  ensure_process_objects();
  // The test process must still write and remove its fixtures afterwards.
  set_privilege_lowering(false);
  os::event_reset(z_shadow_console.console_stop_event);
  os::event_reset(z_service.listening_event);
  // The last server's stop leaves a reload request behind for a thread that is gone.
  os::event_reset(z_service.reload_event);
  // The configuration file is looked for beside a program in a folder of the
  // test's own, never beside the test binary.
  if (config_executable_override == nullptr) {
    static std::u16string program = widen(temp_folder("server") + "/quillmere");
    config_executable_override = program.c_str();
  }
  build(the_engine, u"/tmp/quillmere-test/quillmere");
  if (!the_engine.running) return false;
  if (!cer.empty()) {
    std::u16string c = widen(cer), k = widen(key);
    if (load_certificate(c.c_str(), k.c_str()) != 0) return false;
  }
  port_ = free_port();
  the_engine.port = port_;
  running_ = true;
  listener_ = std::thread([] { serve(the_engine); });
  return os::event_wait(z_service.listening_event, 10000) == os::wait_result::signaled;
}

std::string server::stop() {
  if (!running_) return "";
  running_ = false;
  os::event_set(z_shadow_console.console_stop_event);
  listener_.join();
  // Capture what the teardown prints.
  char path[] = "/tmp/qm-teardown-XXXXXX";
  int fd = ::mkstemp(path);
  os::set_out_descriptor(fd);
  teardown(the_engine);
  os::set_out_descriptor(1);
  std::string text;
  char buffer[4096];
  ::lseek(fd, 0, SEEK_SET);
  long n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  ::close(fd);
  ::unlink(path);
  tls_ready = false;
  cert_valid = false;
  free_server_context();
  return text;
}

server::~server() { stop(); }

}  // namespace qm::test
