// The configuration file and the settings it controls.
//
// The file is read with one read, decoded once into UTF-16 and parsed in
// place: keys, values and blocks become NUL-terminated texts inside the
// decoded buffer. Lists are replaced only after every worker slot has left
// the configuration gate.
#include "config/config.h"

#include <cstdlib>
#include <cstring>

#include "config/lists.h"
#include "content/resources.h"
#include "core/engine.h"
#include "core/tls.h"
#include "os/file.h"
#include "os/output.h"
#include "os/thread.h"
#include "platform/service.h"

namespace qm {

z_effective_switches effective;
z_tls_t tls_names = {u"quillmere.pem", u"quillmere.pem"};
const char16_t default_root[] = u"C:\\inetpub\\wwwroot";
const char16_t* config_executable_override = nullptr;

const z_config_key_t config_keys[config_key_count] = {
    {u"ext", config_key_id::ext},
    {u"ext_no_ext", config_key_id::ext_no_ext},
    {u"list_directories", config_key_id::list_directories},
    {u"min_gz", config_key_id::min_gz},
    {u"port", config_key_id::port},
    {u"root", config_key_id::root},
    {u"tls_cer", config_key_id::tls_cer},
    {u"tls_key", config_key_id::tls_key},
    {u"tls_min_bits_ec", config_key_id::tls_min_bits_ec},
    {u"tls_no_weak_ciphers", config_key_id::tls_no_weak_ciphers},
    {u"upgrade_hsts", config_key_id::upgrade_hsts},
    {u"upgrade_https", config_key_id::upgrade_https},
    {u"user", config_key_id::user},
    {u"vdir", config_key_id::vdir},
};

namespace {

uint64_t length_of(const char16_t* text) {
  uint64_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

int compare_units(const char16_t* a, const char16_t* b) {
  while (*a != 0 && *a == *b) ++a, ++b;
  return static_cast<int>(*a) - static_cast<int>(*b);
}

bool is_separator(char16_t c) { return c == u'/' || c == u'\\'; }
bool is_line_break(char16_t c) { return c == u'\r' || c == u'\n'; }

// Units up to and including the last separator; 0 when there is none.
uint64_t folder_length(const char16_t* path, uint64_t length) {
  for (uint64_t i = length; i > 0; --i) {
    if (is_separator(path[i - 1])) return i;
  }
  return 0;
}

// Appends text at path[at]; false (nothing written) when the result and its
// terminator do not fit in the path buffer.
bool append(char16_t* path, uint64_t& at, const char16_t* text) {
  uint64_t n = length_of(text);
  if (at + n + 1 > config_path_capacity) return false;
  std::memcpy(path + at, text, (n + 1) * sizeof(char16_t));
  at += n;
  return true;
}

// ".ini": the default resource name from its last '.'.
const char16_t* config_extension() {
  const char16_t* name = default_config_resource()->wide_name;
  const char16_t* dot = nullptr;
  for (const char16_t* p = name; *p != 0; ++p) {
    if (*p == u'.') dot = p;
  }
  return dot != nullptr ? dot : u".ini";
}

// The executable path into path; its length, or 0 when nothing fits.
uint64_t program_location(char16_t* path, const char16_t* program_path, const char16_t* executable_override) {
  uint64_t length = 0;
  if (executable_override != nullptr) {
    length = length_of(executable_override);
    if (length >= config_path_capacity) return 0;
    std::memcpy(path, executable_override, (length + 1) * sizeof(char16_t));
    return length;
  }
  length = os::executable_path(path, config_path_capacity);
  if (length != 0 && length < config_path_capacity - 1) return length;
  if (program_path == nullptr) return 0;
  length = length_of(program_path);
  if (length >= config_path_capacity) return 0;
  std::memcpy(path, program_path, (length + 1) * sizeof(char16_t));
  return length;
}

// Turns the executable path into the configuration file's path; false when
// it no longer fits. creatable tells whether a missing file may be created.
bool derive_config_name(char16_t* path, uint64_t length, bool& creatable) {
  uint64_t folder = folder_length(path, length);
  const char16_t* extension = config_extension();
  if (z_service.service_mode || z_service.name_given) {
    creatable = folder != 0;
    uint64_t named = folder + length_of(z_service.service_name) + length_of(extension);
    uint64_t at = named < config_path_capacity ? folder : length;  // a name that does not fit is not used
    if (at == folder) append(path, at, z_service.service_name);
    return append(path, at, extension);
  }
  creatable = true;
  uint64_t dot = length;
  for (uint64_t i = length; i > folder; --i) {
    if (path[i - 1] == u'.') {
      dot = i - 1;
      break;
    }
  }
  path[dot] = 0;
  uint64_t at = dot;
  return append(path, at, extension);
}

// Creates the file from the default text; a file whose write fails is removed.
bool create_default_file(const char16_t* path) {
  const z_resource_t* resource = default_config_resource();
  Z_FILE created;
  if (created.open(path, os::generic_write, os::create_new, 0) != 0) return false;
  int64_t written = os::file_write(created.handle, resource->data, resource->size);
  created.close();
  if (written == static_cast<int64_t>(resource->size)) return true;
  os::file_delete(path);
  return false;
}

uint32_t open_for_reading(Z_FILE& file, const char16_t* path) {
  return file.open(path, os::generic_read, os::open_existing, 0);
}

// Keeps path as ini_path, shrunk to its length when the system allows.
void settle_ini_path(Z_SOCKET& engine, char16_t* path, uint64_t length) {
  void* shrunk = std::realloc(path, (length + 1) * sizeof(char16_t));
  engine.ini_path = shrunk != nullptr ? static_cast<char16_t*>(shrunk) : path;
  engine.ini_dir_length = folder_length(engine.ini_path, length);
}

}  // namespace

int32_t find_config_key(const char16_t* key) {
  int32_t low = 0;
  int32_t high = static_cast<int32_t>(config_key_count) - 1;
  while (low <= high) {
    int32_t middle = low + (high - low) / 2;
    int order = compare_units(key, config_keys[middle].name);
    if (order == 0) return middle;
    if (order < 0) {
      high = middle - 1;
    } else {
      low = middle + 1;
    }
  }
  return -1;
}

bool parse_bool(const char16_t* value) {
  char16_t c = value[0];
  return c == u'1' || c == u'+' || c == u't' || c == u'y';
}

bool parse_block_mode(const char16_t* value) {
  if (compare_units(value, u"block") == 0) return true;
  return value[0] == 0 || value[0] == u'0' || value[0] == u'n';
}

int32_t parse_decimal(const char16_t* value) {
  const char16_t* p = value;
  while (*p == u' ' || *p == u'\t' || *p == u'\v' || *p == u'\f' || *p == u'\r' || *p == u'\n') ++p;
  bool negative = false;
  if (*p == u'+' || *p == u'-') negative = *p++ == u'-';
  int64_t number = 0;
  const int64_t limit = negative ? int64_t{2147483648} : int64_t{2147483647};
  for (; *p >= u'0' && *p <= u'9'; ++p) {
    number = number * 10 + (*p - u'0');
    if (number > limit) number = limit;  // saturates, digits go on being consumed
  }
  return static_cast<int32_t>(negative ? -number : number);
}

int64_t locate_config(Z_SOCKET& engine, const char16_t* program_path, Z_FILE& file,
                      const char16_t* executable_override) {
  char16_t* path = static_cast<char16_t*>(std::malloc(config_path_capacity * sizeof(char16_t)));
  if (path == nullptr) {
    // No file is used; an empty ini_path keeps later loads from searching.
    engine.ini_path = static_cast<char16_t*>(std::calloc(1, sizeof(char16_t)));
    engine.ini_dir_length = 0;
    return -1;
  }
  bool creatable = false;
  uint64_t length = program_location(path, program_path, executable_override);
  if (length == 0 || !derive_config_name(path, length, creatable)) {
    uint64_t at = 0;
    append(path, at, default_config_resource()->wide_name);
    creatable = false;
  }
  length = length_of(path);

  uint32_t result = open_for_reading(file, path);
  if (result != 0 && creatable && create_default_file(path)) result = open_for_reading(file, path);
  if (result != 0) {
    path[0] = 0;
    length = 0;
  }
  settle_ini_path(engine, path, length);
  return result == 0 ? 0 : static_cast<int64_t>(result);
}

namespace {

// One load's TLS state: which names were given since the last loading.
struct z_load_state_t {
  bool cer_given = false;
  bool key_given = false;
  uint8_t no_weak_ciphers = 0;
};

// Running slots and the listener read these while a reload resets them;
// their values never change, so a reload writes only what differs.
template <typename T, typename V>
void reset_to(T& field, V value) {
  if (field != static_cast<T>(value)) field = static_cast<T>(value);
}

void reset_engine_settings(Z_SOCKET& engine) {
  reset_to(engine.cw_connections, default_connections);
  reset_to(engine.path_length, default_path_length);
  reset_to(engine.packet_length_r, default_packet_length_r);
  reset_to(engine.packet_length_w, default_packet_length_w);
  reset_to(engine.cso_type, default_cso_type);
  reset_to(engine.cso_protocol, default_cso_protocol);
  reset_to(engine.local_address[0], 0);
  reset_to(engine.port, 80);
  reset_to(engine.list_directories, false);
  reset_to(engine.min_gz, false);
  reset_to(engine.upgrade_hsts, false);
  reset_to(engine.upgrade_https, false);
}

void set_root(const char16_t* value) {
  uint64_t length = length_of(value);
  // The buffer holds 65535 characters; a longer root is refused whole and
  // the previous root stays, since a cut one would name another folder.
  if (length == 0 || length >= root_capacity) return;
  std::memcpy(vdirs.root, value, (length + 1) * sizeof(char16_t));
  vdirs.root_length = length;
}

bool is_rooted(const char16_t* value) {
  if (is_separator(value[0])) return true;
  for (const char16_t* p = value; *p != 0; ++p) {
    if (*p == u':') return true;
  }
  return false;
}

// Stores a TLS file name, relative ones resolved against the .ini folder;
// false (with the message, the old name kept) when it does not fit.
bool store_tls_name(char16_t* buffer, const char16_t* value, const Z_SOCKET& engine, const char* too_long) {
  uint64_t length = length_of(value);
  uint64_t prefix = engine.ini_dir_length;
  if (is_rooted(value) || prefix == 0 || prefix + 1 + length > tls_name_capacity) prefix = 0;
  if (prefix + length + 1 > tls_name_capacity) {
    os::out("%s", too_long);
    return false;
  }
  std::memcpy(buffer, engine.ini_path, prefix * sizeof(char16_t));
  std::memcpy(buffer + prefix, value, (length + 1) * sizeof(char16_t));
  return true;
}

void apply_tls_name(bool is_key, const char16_t* value, const Z_SOCKET& engine, z_load_state_t& state) {
  bool stored = is_key ? store_tls_name(tls_names.key, value, engine, "z_tls_t::key too long\n")
                       : store_tls_name(tls_names.cer, value, engine, "z_tls_t::cer too long\n");
  if (stored) {
    (is_key ? state.key_given : state.cer_given) = true;
    tls_report = true;
  }
  if (state.cer_given && state.key_given) {
    load_certificate(tls_names.cer, tls_names.key);
    state.cer_given = false;
    state.key_given = false;
  }
}

void apply_key(Z_SOCKET& engine, config_key_id id, const char16_t* value, const char16_t* block,
               z_load_state_t& state) {
  switch (id) {
    case config_key_id::ext:
      if (block != nullptr) parse_ext_block(ext_list, block, parse_block_mode(value));
      break;
    case config_key_id::ext_no_ext: {
      bool block_mode = parse_block_mode(value);
      ext_list.no_ext_block = block_mode ? 1 : 0;
      if (block != nullptr) parse_ext_block(ext_list, block, block_mode);
      break;
    }
    case config_key_id::list_directories:
      engine.list_directories = parse_bool(value);
      break;
    case config_key_id::min_gz:
      engine.min_gz = parse_bool(value);
      break;
    case config_key_id::port: {
      int32_t port = parse_decimal(value);
      if (port >= 1 && port <= 65534) engine.port = static_cast<uint16_t>(port);
      break;
    }
    case config_key_id::root:
      set_root(value);
      break;
    case config_key_id::tls_cer:
      apply_tls_name(false, value, engine, state);
      break;
    case config_key_id::tls_key:
      apply_tls_name(true, value, engine, state);
      break;
    case config_key_id::tls_min_bits_ec:
      set_groups(value);
      break;
    case config_key_id::tls_no_weak_ciphers:
      state.no_weak_ciphers = parse_bool(value) ? 1 : 0;
      break;
    case config_key_id::upgrade_hsts:
      engine.upgrade_hsts = parse_bool(value);
      break;
    case config_key_id::upgrade_https:
      engine.upgrade_https = parse_bool(value);
      break;
    case config_key_id::user:
      break;
    case config_key_id::vdir:
      if (block != nullptr) parse_vdir_block(vdirs, block);
      break;
  }
}

char16_t* find_unit(char16_t* p, char16_t c) {
  for (; *p != 0; ++p) {
    if (*p == c) return p;
  }
  return nullptr;
}

// The block after a key line, when the line after it is "{" alone: its text
// is cut in place; next is where the following line starts (null at the end).
char16_t* cut_block(char16_t* line, char16_t*& next) {
  next = line;
  if (line[0] != u'{' || !is_line_break(line[1])) return nullptr;
  char16_t* start = line + 1;
  while (is_line_break(*start)) ++start;
  if (*start == 0) return nullptr;
  for (char16_t* p = start; *p != 0; ++p) {
    if (*p == u'}' && is_line_break(p[-1]) && (is_line_break(p[1]) || p[1] == 0)) {
      next = p[1] != 0 ? p + 1 : nullptr;
      *p = 0;
      return start;
    }
  }
  next = nullptr;  // an unclosed block runs to the end
  return start;
}

void parse_lines(Z_SOCKET& engine, char16_t* text, z_load_state_t& state) {
  char16_t* p = text;
  while (p != nullptr) {
    while (is_line_break(*p)) ++p;
    if (*p == 0) return;
    char16_t* key = p;
    char16_t* equals = find_unit(p, u'=');
    if (equals == nullptr) return;
    *equals = 0;
    char16_t* value = equals + 1;
    char16_t* block = nullptr;
    char16_t* line_feed = find_unit(value, u'\n');
    if (line_feed == nullptr) {
      p = nullptr;
    } else {
      *line_feed = 0;
      if (line_feed > value && line_feed[-1] == u'\r') line_feed[-1] = 0;
      block = cut_block(line_feed + 1, p);
    }
    int32_t row = find_config_key(key);
    if (row >= 0) apply_key(engine, config_keys[row].id, value, block, state);
  }
}

// The file's text as UTF-16 in a buffer that belongs to the caller (free()),
// or null: one read of the whole file, then the byte-order mark decides.
char16_t* read_text(Z_FILE& file, char16_t*& text) {
  text = nullptr;
  uint64_t size = file.read_info() ? file.size : 0;
  if (size == 0 || size == ~uint64_t{0}) size = 65536;
  uint64_t room = (size & ~uint64_t{1}) + 4;
  uint8_t* raw = static_cast<uint8_t*>(std::malloc(room));
  if (raw == nullptr) return nullptr;
  int64_t read = os::file_read(file.handle, raw, size);
  if (read <= 0) {
    std::free(raw);
    return nullptr;
  }
  uint64_t count = static_cast<uint64_t>(read);
  std::memset(raw + count, 0, room - count);
  char16_t* units = reinterpret_cast<char16_t*>(raw);
  if (count >= 2 && ((raw[0] == 0xFF && raw[1] == 0xFE) || (raw[0] == 0xFE && raw[1] == 0xFF))) {
    uint64_t unit_count = count / 2;
    units[unit_count] = 0;  // an odd last byte is ignored
    if (raw[0] == 0xFE) {
      for (uint64_t i = 1; i < unit_count; ++i) units[i] = static_cast<char16_t>((units[i] << 8) | (units[i] >> 8));
    }
    text = units + 1;
    return units;
  }
  uint64_t skip = count >= 3 && raw[0] == 0xEF && raw[1] == 0xBB && raw[2] == 0xBF ? 3 : 0;
  uint64_t bytes = count - skip;
  char16_t* decoded = static_cast<char16_t*>(std::malloc((bytes + 1) * sizeof(char16_t)));
  if (decoded != nullptr &&
      utf8_to_utf16(decoded, bytes + 1, reinterpret_cast<const char*>(raw + skip)) == 0) {
    std::free(decoded);
    decoded = nullptr;
  }
  std::free(raw);
  text = decoded;
  return decoded;
}

void wait_for_readers(const Z_SOCKET& engine) {
  for (uint32_t i = 0; i < engine.cw_connections && i < slot_count; ++i) {
    while (engine.tasks[i].response.in_config_use.load(std::memory_order_seq_cst)) os::sleep_ms(1);
  }
}

void finish_load(Z_SOCKET& engine, const z_load_state_t& state) {
  apply_tls_options(state.no_weak_ciphers);
  bool tls_usable = cert_valid.load();
  effective.list_directories = engine.list_directories;
  effective.min_gz = engine.min_gz;
  effective.upgrade_hsts = engine.upgrade_hsts && tls_usable;
  effective.upgrade_https = engine.upgrade_https && tls_usable;
  for (uint32_t i = 0; i < engine.cw_connections && i < slot_count; ++i) engine.tasks[i].host_verdict = 0;
}

}  // namespace

int config(Z_SOCKET& engine, const char16_t* program_path) {
  engine.program_path = program_path;
  reset_engine_settings(engine);
  z_load_state_t state;
  if (vdirs.root_length == 0) set_root(default_root);

  Z_FILE file;
  bool opened = false;
  if (engine.ini_path == nullptr) {
    opened = locate_config(engine, program_path, file, config_executable_override) == 0;
  } else if (engine.ini_path[0] != 0) {
    opened = open_for_reading(file, engine.ini_path) == 0;
  }

  char16_t* buffer = nullptr;
  char16_t* text = nullptr;
  if (opened) buffer = read_text(file, text);
  file.close();
  if (text != nullptr) {
    wait_for_readers(engine);
    parse_lines(engine, text, state);
  }
  finish_load(engine, state);
  std::free(buffer);
  return engine.port != 0 ? 0 : -1;
}

}  // namespace qm
