// The executable: arguments to UTF-16, the process-wide objects around the
// entry, and the exit code.
#include <cstdlib>
#include <cstring>

#include "config/lists.h"
#include "core/entry.h"
#include "os/console.h"
#include "platform/console.h"
#include "platform/service.h"

namespace {

char16_t** wide_arguments(int argc, char** argv) {
  auto** wide = static_cast<char16_t**>(std::calloc(static_cast<size_t>(argc) + 1, sizeof(char16_t*)));
  if (wide == nullptr) return nullptr;
  for (int i = 0; i < argc; ++i) {
    size_t units = std::strlen(argv[i]) + 1;  // each byte yields at most one unit
    wide[i] = static_cast<char16_t*>(std::calloc(units, sizeof(char16_t)));
    if (wide[i] != nullptr) qm::utf8_to_utf16(wide[i], units, argv[i]);
  }
  return wide;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread starts, so that only the console watcher takes them.
  qm::os::block_stop_signals();
  char16_t** wide = wide_arguments(argc, argv);
  if (wide == nullptr) return 1;
  for (int i = 0; i < argc; ++i) {
    if (wide[i] == nullptr) return 1;
  }
  qm::service_setup(argc, wide);
  qm::console_setup();
  int code = qm::entry(argc, wide);
  qm::console_teardown();
  qm::service_teardown();
  for (int i = 0; i < argc; ++i) std::free(wide[i]);
  std::free(wide);
  return code;
}
