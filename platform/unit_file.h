// The service's unit file: the text that install writes, and the service's
// own values, which it keeps in a section of that file that the manager
// ignores ("[X-Quillmere]"): Type (0x10, plus 0x100 for an interactive
// service), _console_pid and _console_sid. An admin may edit them; the
// service reads them at every start.
#pragma once
#include <cstdint>

namespace qm {

inline constexpr uint32_t service_type_own_process = 0x10;
inline constexpr uint32_t service_type_interactive = 0x100;
inline constexpr const char* unit_values_section = "X-Quillmere";

// The values as read; a value that is missing or cannot be read stays 0
// and is not marked found.
struct z_unit_values {
  uint32_t type = 0;
  uint32_t console_pid = 0;
  uint32_t console_sid = 0;
  bool type_found = false;
};

// Whether name can be a unit's name before ".service": letters, digits and
// "_.-:" only, short enough for the manager's 255-character limit.
bool unit_name_valid(const char* name);

// One word of ExecStart in double quotes, escaped so that the manager hands
// it to the program unchanged: backslash, quote and control bytes as C
// escapes, '%' as "%%", and '$' as "$$" in the arguments (the manager
// expands variables there, never in the program's path). The length, or 0
// when it does not fit in room (NUL included).
uint64_t quote_unit_argument(char* out, uint64_t room, const char* argument, bool program_path);

// The service's command line as ExecStart gives it: the executable, then
// "-d:<name>". The length, or 0 when it does not fit.
uint64_t unit_command_line(char* out, uint64_t room, const char* executable, const char* service_name);

// The whole unit file for the command line. The length, or 0 when it does
// not fit.
uint64_t build_unit_file(char* out, uint64_t room, const char* command_line, const z_unit_values& values);

// Reads Type, _console_pid and _console_sid from the values section of a
// unit file's text (size bytes, need not end in NUL).
z_unit_values read_unit_values(const char* text, uint64_t size);

}  // namespace qm
