// The configuration file and the settings it controls.
//
// Until the file reader is in place, a load applies the built-in defaults
// only: no file is looked for, and nothing claims one was read.
#include "config/config.h"

#include "core/engine.h"

namespace qm {

z_effective_switches effective;

namespace {

void reset_engine_settings(Z_SOCKET& engine) {
  engine.cw_connections = default_connections;
  engine.path_length = default_path_length;
  engine.packet_length_r = default_packet_length_r;
  engine.packet_length_w = default_packet_length_w;
  engine.cso_type = default_cso_type;
  engine.cso_protocol = default_cso_protocol;
  engine.local_address[0] = 0;
  engine.port = 80;
  engine.list_directories = false;
  engine.min_gz = false;
  engine.upgrade_hsts = false;
  engine.upgrade_https = false;
}

}  // namespace

int config(Z_SOCKET& engine, const char16_t* program_path) {
  engine.program_path = program_path;
  reset_engine_settings(engine);
  effective.list_directories = false;
  effective.min_gz = false;
  effective.upgrade_hsts = false;
  effective.upgrade_https = false;
  return engine.port != 0 ? 0 : -1;
}

}  // namespace qm
