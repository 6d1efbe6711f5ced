// The file handle.
#include "http/file.h"

#include "os/error.h"

namespace qm {

uint32_t open_flags = 0;
bool file_quiet_open = false;
bool file_no_console_names = false;

uint32_t Z_FILE::open(const char16_t* path, uint32_t access, uint32_t disposition, uint32_t flags) {
  if (opened) return file_already_open;
  flags |= open_flags | os::file_attribute_normal;
  const bool writes = (access & (os::generic_write | os::generic_all)) != 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    os::set_last_error(0);
    error = 0;
    bool existed = false;
    uint32_t result = os::file_open(handle, path, access, disposition, flags, &existed);
    if (result == 0) {
      opened = true;
      if (disposition == os::create_always || disposition == os::open_always) error = existed ? os::err_exists : 0;
      return 0;
    }
    if (!(writes && disposition == os::create_always && result != os::err_not_found)) {
      error = result;
      return result;
    }
    disposition = os::open_existing;
  }
  return error;
}

bool Z_FILE::read_info() {
  uint32_t result = os::file_info(handle, &size, &last_write, &is_directory);
  if (result == 0) return true;
  error = result;
  size = 0;
  last_write = 0;
  is_directory = false;
  return false;
}

bool Z_FILE::seek(uint64_t position) {
  uint32_t result = os::file_seek(handle, position);
  if (result == 0) return true;
  error = result;
  return false;
}

void Z_FILE::close() {
  if (opened && !borrowed) os::file_close(handle);
  borrowed = false;
  handle = os::file_descriptor{};
  opened = false;
  error = 0;
  size = 0;
  last_write = 0;
  is_directory = false;
}

}  // namespace qm
