// The service side of the service manager through sd-daemon and sd-login.
#include "os/notify.h"

#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qm::os {

bool started_by_manager(const char* unit) {
  // The socket's address is the manager's own protocol, not a setting.
  const char* socket = std::getenv("NOTIFY_SOCKET");
  if (socket == nullptr || socket[0] == 0 || unit == nullptr) return false;
  char* own = nullptr;
  if (sd_pid_get_unit(0, &own) < 0) return false;
  bool same = std::strcmp(own, unit) == 0;
  std::free(own);
  return same;
}

uint32_t notify_manager(const char* state) {
  int r = sd_notify(0, state);
  if (r > 0) return 0;
  return r == 0 ? static_cast<uint32_t>(ENOTCONN) : static_cast<uint32_t>(-r);
}

}  // namespace qm::os
