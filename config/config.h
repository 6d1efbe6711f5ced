// The configuration file and the settings it controls.
//
// One .ini file of key=value lines, found beside the executable on the first
// load and created from the built-in default text when missing. Every load
// resets the engine settings, reads and decodes the whole file once, waits
// until no worker slot reads settings, and applies the keys in file order.
#pragma once
#include <atomic>
#include <cstdint>

#include "http/file.h"

namespace qm {

struct Z_SOCKET;

// The switches request handling reads, recomputed at the end of every load:
// upgrade_hsts and upgrade_https hold only with a valid certificate.
struct z_effective_switches {
  std::atomic<bool> list_directories{false};
  std::atomic<bool> min_gz{false};
  std::atomic<bool> upgrade_hsts{false};
  std::atomic<bool> upgrade_https{false};
};

extern z_effective_switches effective;

// The certificate chain and private key file names; both "quillmere.pem"
// until a key sets them, so a name has at most 65535 characters.
inline constexpr uint64_t tls_name_capacity = 65536;
struct z_tls_t {
  char16_t cer[tls_name_capacity];
  char16_t key[tls_name_capacity];
};
extern z_tls_t tls_names;

// Capacity of the path buffers the file is looked for with, in units.
inline constexpr uint32_t config_path_capacity = 65536;
// The document root on a first load, before the file is applied.
extern const char16_t default_root[];  // u"C:\\inetpub\\wwwroot"

// The recognised keys, sorted by UTF-16 units for binary search.
enum class config_key_id : uint8_t {
  ext,
  ext_no_ext,
  list_directories,
  min_gz,
  port,
  root,
  tls_cer,
  tls_key,
  tls_min_bits_ec,
  tls_no_weak_ciphers,
  upgrade_hsts,
  upgrade_https,
  user,
  vdir,
};
struct z_config_key_t {
  const char16_t* name;
  config_key_id id;
};
inline constexpr uint32_t config_key_count = 14;
extern const z_config_key_t config_keys[config_key_count];

// The row of config_keys whose name is exactly key, or -1.
int32_t find_config_key(const char16_t* key);

// True exactly when the first character is '1', '+', 't' or 'y'.
bool parse_bool(const char16_t* value);
// Block mode of ext and ext_no_ext: exactly "block", empty, or beginning with
// '0' or 'n'; anything else is allow mode.
bool parse_block_mode(const char16_t* value);
// Signed decimal after leading blanks, saturating at the 32-bit range.
int32_t parse_decimal(const char16_t* value);

// When set (tests), taken instead of the system's executable path.
extern const char16_t* config_executable_override;

// First load: finds the file (beside the executable, named after the program
// or the service), creates it from the default text when missing and
// allowed, and opens it for reading in file. Sets ini_path (heap, exactly
// sized; empty when no file is usable) and ini_dir_length. 0 when open, -1
// when there is no usable path, else the system error of the open.
// executable_override, when not null, stands for the system's answer.
int64_t locate_config(Z_SOCKET& engine, const char16_t* program_path, Z_FILE& file,
                      const char16_t* executable_override = nullptr);

// Resets the engine's settings, then finds, creates if missing, reads and
// applies the configuration file. 0 when the local port is usable, else -1.
int config(Z_SOCKET& engine, const char16_t* program_path);

}  // namespace qm
