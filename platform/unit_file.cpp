// The service's unit file.
#include "platform/unit_file.h"

#include <cstdio>
#include <cstring>

namespace qm {

namespace {

// The manager's limit for a whole unit name, ".service" included.
constexpr uint64_t unit_name_max = 255;
constexpr uint64_t service_suffix_length = 8;  // ".service"

struct text_out {
  char* at;
  uint64_t room;  // left, NUL included
  uint64_t length = 0;
  bool full = false;

  void put(const char* text, uint64_t size) {
    if (full || size >= room) {
      full = true;
      return;
    }
    std::memcpy(at, text, size);
    at += size;
    room -= size;
    length += size;
    *at = 0;
  }
  void put(const char* text) { put(text, std::strlen(text)); }
  void put(char c) { put(&c, 1); }
};

bool name_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
         c == '-' || c == ':';
}

void put_escaped(text_out& out, unsigned char c, bool program_path) {
  if (c == '$' && !program_path) {
    out.put("$$");  // no variable expansion
    return;
  }
  switch (c) {
    case '\\': out.put("\\\\"); return;
    case '"': out.put("\\\""); return;
    case '\n': out.put("\\n"); return;
    case '\t': out.put("\\t"); return;
    case '%': out.put("%%"); return;   // no specifier expansion
    default: break;
  }
  if (c < 0x20 || c == 0x7F) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", c);
    out.put(hex);
    return;
  }
  out.put(static_cast<char>(c));
}

uint64_t finish(const text_out& out) { return out.full ? 0 : out.length; }

// ------------------------------------------------------------- reading

const char* skip_blanks(const char* p, const char* end) {
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  return p;
}

const char* trim_end(const char* begin, const char* end) {
  while (end > begin && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r')) --end;
  return end;
}

bool same(const char* begin, const char* end, const char* word) {
  uint64_t length = std::strlen(word);
  return static_cast<uint64_t>(end - begin) == length && std::memcmp(begin, word, length) == 0;
}

// A 32-bit number in decimal or, after "0x", hexadecimal; false for anything else.
bool parse_number(const char* begin, const char* end, uint32_t& value) {
  uint32_t base = 10;
  if (end - begin > 2 && begin[0] == '0' && (begin[1] == 'x' || begin[1] == 'X')) {
    base = 16;
    begin += 2;
  }
  if (begin == end) return false;
  uint64_t number = 0;
  for (const char* p = begin; p < end; ++p) {
    uint32_t digit;
    if (*p >= '0' && *p <= '9') {
      digit = static_cast<uint32_t>(*p - '0');
    } else if (base == 16 && *p >= 'a' && *p <= 'f') {
      digit = static_cast<uint32_t>(*p - 'a' + 10);
    } else if (base == 16 && *p >= 'A' && *p <= 'F') {
      digit = static_cast<uint32_t>(*p - 'A' + 10);
    } else {
      return false;
    }
    if (digit >= base) return false;
    number = number * base + digit;
    if (number > 0xFFFFFFFFull) return false;
  }
  value = static_cast<uint32_t>(number);
  return true;
}

void take_value(z_unit_values& values, const char* key, const char* key_end, const char* value,
                const char* value_end) {
  uint32_t number = 0;
  if (!parse_number(value, value_end, number)) return;
  if (same(key, key_end, "Type")) {
    values.type = number;
    values.type_found = true;
  } else if (same(key, key_end, "_console_pid")) {
    values.console_pid = number;
  } else if (same(key, key_end, "_console_sid")) {
    values.console_sid = number;
  }
}

}  // namespace

bool unit_name_valid(const char* name) {
  uint64_t length = 0;
  for (; name[length] != 0; ++length) {
    if (!name_character(name[length])) return false;
  }
  return length > 0 && length + service_suffix_length <= unit_name_max;
}

uint64_t quote_unit_argument(char* out, uint64_t room, const char* argument, bool program_path) {
  if (out == nullptr || room == 0) return 0;
  *out = 0;
  text_out text{out, room};
  text.put('"');
  for (const char* p = argument; *p != 0; ++p) put_escaped(text, static_cast<unsigned char>(*p), program_path);
  text.put('"');
  return finish(text);
}

uint64_t unit_command_line(char* out, uint64_t room, const char* executable, const char* service_name) {
  if (out == nullptr || room == 0) return 0;
  uint64_t first = quote_unit_argument(out, room, executable, true);
  if (first == 0 || first + 1 >= room) return 0;
  out[first] = ' ';
  char name_argument[300];
  int length = std::snprintf(name_argument, sizeof name_argument, "-d:%s", service_name);
  if (length < 0 || length >= static_cast<int>(sizeof name_argument)) return 0;
  uint64_t second = quote_unit_argument(out + first + 1, room - first - 1, name_argument, false);
  return second == 0 ? 0 : first + 1 + second;
}

uint64_t build_unit_file(char* out, uint64_t room, const char* command_line, const z_unit_values& values) {
  if (out == nullptr || room == 0) return 0;
  *out = 0;
  char numbers[160];
  std::snprintf(numbers, sizeof numbers, "Type=0x%x\n_console_pid=%u\n_console_sid=%u\n", values.type,
                values.console_pid, values.console_sid);
  text_out text{out, room};
  text.put(
      "# Written by the install command of quillmere (-di); its remove command (-du)\n"
      "# disables the service and deletes this file.\n"
      "[Unit]\n"
      "Description=Lightning fast web server designed for streaming and static content\n"
      "After=network.target\n"
      "Wants=network.target\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "NotifyAccess=main\n"
      "ExecStart=");
  text.put(command_line);
  text.put(
      "\n"
      "ExecReload=/bin/kill -HUP $MAINPID\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n"
      "\n"
      "# The service's own values, read at every start. Type: 0x10 a service of its\n"
      "# own process, 0x110 an interactive one (its output on /dev/console).\n"
      "# _console_pid: a process whose terminal shows the output instead of the log\n"
      "# (while _console_sid is 0).\n"
      "[");
  text.put(unit_values_section);
  text.put("]\n");
  text.put(numbers);
  return finish(text);
}

z_unit_values read_unit_values(const char* text, uint64_t size) {
  z_unit_values values;
  const char* end = text + size;
  bool in_section = false;
  for (const char* line = text; line < end;) {
    const char* line_end = static_cast<const char*>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
    if (line_end == nullptr) line_end = end;
    const char* p = skip_blanks(line, line_end);
    const char* q = trim_end(p, line_end);
    if (p < q && *p == '[') {
      in_section = q[-1] == ']' && same(p + 1, q - 1, unit_values_section);
    } else if (in_section && p < q && *p != '#' && *p != ';') {
      const char* equals = static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(q - p)));
      if (equals != nullptr) take_value(values, p, trim_end(p, equals), skip_blanks(equals + 1, q), q);
    }
    line = line_end + 1;
  }
  return values;
}

}  // namespace qm
