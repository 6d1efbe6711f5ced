// The file handle the server reads files and the configuration with.
//
// A Z_FILE owns its descriptor (unless it borrowed one from a slot's file
// cache): close releases it, and a record that goes out of scope is closed. Sharing is never denied to other processes (Linux has no
// share modes). Reads go straight to os::file_read on `handle`.
#pragma once
#include <cstdint>

#include "os/file.h"

namespace qm {

// Added to the flags of every open; the engine sets os::flag_backup_semantics
// before any file is opened. Written once, before any reader thread runs.
extern uint32_t open_flags;

// The entry's two switches, turned on before anything else and never off.
// A failed open prints nothing either way (callers report in their own words),
// and "-", "con" and "CON" are ordinary file names on Linux already; the
// switches only record that the entry asked for it.
extern bool file_quiet_open;
extern bool file_no_console_names;

inline constexpr uint32_t file_already_open = 0xFFFFFFFFu;  // -1

struct Z_FILE {
  os::file_descriptor handle;  // fd -1 when closed
  bool opened = false;
  // The error of the last failed call; after create_always or open_always,
  // os::err_exists when the file was there before, else 0.
  uint32_t error = 0;
  uint64_t size = 0;        // from read_info
  uint64_t last_write = 0;  // FILETIME, from read_info
  bool is_directory = false;
  // The descriptor is lent by a slot's file cache: close leaves it open.
  bool borrowed = false;

  Z_FILE() = default;
  Z_FILE(const Z_FILE&) = delete;
  Z_FILE& operator=(const Z_FILE&) = delete;
  ~Z_FILE() { close(); }

  // 0 when open, file_already_open (-1) when the record was already open
  // (the open file is untouched), otherwise the system error (also in error).
  // Creating with create_always for writing is tried once more as
  // open_existing when it fails other than with err_not_found.
  uint32_t open(const char16_t* path, uint32_t access, uint32_t disposition, uint32_t flags);
  // Fills size, last_write and is_directory; on failure sets them to 0 and
  // returns false.
  bool read_info();
  // Moves the position to a byte offset from the beginning; on failure the
  // error is in error and the result is false.
  bool seek(uint64_t position);
  // Closes when open, then resets the whole record.
  void close();
};

}  // namespace qm
