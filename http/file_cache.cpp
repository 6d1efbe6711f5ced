// The files a slot served lately.
#include "http/file_cache.h"

#include <algorithm>

namespace qm {

namespace {

uint64_t units_of(const char16_t* path) {
  uint64_t n = 0;
  while (path[n] != 0) ++n;
  return n;
}

z_cached_file_t* find(Z_FILE_CACHE& cache, const char16_t* path, uint64_t units) {
  for (z_cached_file_t& entry : cache.entries) {
    if (entry.handle.fd < 0) continue;
    if (std::equal(path, path + units + 1, entry.path)) return &entry;
  }
  return nullptr;
}

void give_up(z_cached_file_t& entry) {
  os::file_close(entry.handle);
  entry.path[0] = 0;
  entry.used = 0;
}

// A free entry, or the one used longest ago (closed first).
z_cached_file_t& room(Z_FILE_CACHE& cache) {
  z_cached_file_t* oldest = &cache.entries[0];
  for (z_cached_file_t& entry : cache.entries) {
    if (entry.handle.fd < 0) return entry;
    if (entry.used < oldest->used) oldest = &entry;
  }
  give_up(*oldest);
  return *oldest;
}

void lend(Z_FILE& file, z_cached_file_t& entry, Z_FILE_CACHE& cache) {
  file.handle = entry.handle;
  file.handle.position = 0;
  file.opened = true;
  file.borrowed = true;
  file.error = 0;
  file.size = entry.identity.size;
  file.last_write = os::identity_last_write(entry.identity);
  file.is_directory = entry.identity.is_directory;
  entry.used = ++cache.clock;
}

// Opens and inspects without the cache; keeps a regular file when its path fits.
uint32_t open_and_keep(Z_FILE_CACHE& cache, Z_FILE& file, const char16_t* path, uint64_t units, uint32_t flags) {
  uint32_t result = file.open(path, os::generic_read, os::open_existing, flags);
  if (result != 0) return result;
  os::file_identity identity;
  if (os::file_identity_of(file.handle, identity) != 0) {
    file.read_info();  // fails the same way: size, time and kind say nothing
    return 0;
  }
  file.size = identity.size;
  file.last_write = os::identity_last_write(identity);
  file.is_directory = identity.is_directory;
  if (identity.is_directory || units >= cached_path_units || identity.size > cached_file_limit) return 0;
  z_cached_file_t& entry = room(cache);
  std::copy(path, path + units + 1, entry.path);
  entry.handle = file.handle;
  entry.identity = identity;
  entry.used = ++cache.clock;
  file.borrowed = true;  // the cache closes it
  return 0;
}

}  // namespace

uint32_t open_through_cache(Z_FILE_CACHE& cache, Z_FILE& file, const char16_t* path, uint32_t flags) {
  if (file.opened) return file_already_open;
  const uint64_t units = units_of(path);
  if (z_cached_file_t* entry = find(cache, path, units)) {
    os::file_identity now;
    uint32_t result = os::path_identity(path, now);
    if (result == 0 && now == entry->identity) {
      lend(file, *entry, cache);
      return 0;
    }
    give_up(*entry);
    if (result != 0) {
      file.error = result;
      return result;  // gone, or no longer reachable
    }
  }
  return open_and_keep(cache, file, path, units, flags);
}

void clear_file_cache(Z_FILE_CACHE& cache) {
  for (z_cached_file_t& entry : cache.entries) {
    if (entry.handle.fd >= 0) give_up(entry);
  }
  cache.clock = 0;
}

}  // namespace qm
