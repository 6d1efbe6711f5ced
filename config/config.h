// The configuration file and the settings it controls.
#pragma once
#include <atomic>
#include <cstdint>

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

// Resets the engine's settings, then finds, creates if missing, reads and
// applies the configuration file. 0 when the local port is usable, else -1.
int config(Z_SOCKET& engine, const char16_t* program_path);

}  // namespace qm
