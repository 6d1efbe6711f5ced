// Files and folders on open(2), preadv2 and the dirent calls.
#include "os/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/error.h"
#include "os/memory.h"
#include "os/text.h"
#include "os/time.h"

#ifndef RWF_DONTCACHE
#define RWF_DONTCACHE 0x00000080
#endif

namespace qm::os {

namespace {

constexpr uint8_t uncached_dontcache = 0;
constexpr uint8_t uncached_direct = 1;
constexpr uint8_t uncached_buffered = 2;

uint32_t fail_with(int error) {
  set_last_error(static_cast<uint32_t>(error));
  return static_cast<uint32_t>(error);
}

uint32_t fail() { return fail_with(errno); }

// The system's path: UTF-8 with '/' for every '\\'. An unpaired surrogate
// cannot name a file that was created through this layer, so it is refused.
uint32_t to_system_path(const char16_t* path, char (&out)[PATH_MAX]) {
  if (path == nullptr || path[0] == 0) return fail_with(ENOENT);
  uint32_t at = 0;
  for (const char16_t* p = path; *p != 0; ++p) {
    uint32_t cp = *p;
    if (cp >= 0xD800 && cp <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(p[1]) - 0xDC00);
      ++p;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      return fail_with(EINVAL);
    } else if (cp == '\\') {
      cp = '/';
    }
    uint32_t written = encode_utf8(cp, out + at, PATH_MAX - 1 - at);
    if (written == 0) return fail_with(ENAMETOOLONG);
    at += written;
  }
  out[at] = 0;
  return 0;
}

// UTF-8 to UTF-16, cut at capacity - 1 units (never inside a pair); invalid
// bytes become U+FFFD. The length in units; *cut tells whether text was left.
uint32_t utf8_to_units(const char* text, char16_t* out, uint32_t capacity, bool* cut = nullptr) {
  if (cut != nullptr) *cut = false;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  uint32_t at = 0;
  while (*p != 0) {
    uint32_t cp = 0xFFFD;
    int extra = *p < 0x80 ? 0 : (*p & 0xE0) == 0xC0 ? 1 : (*p & 0xF0) == 0xE0 ? 2 : (*p & 0xF8) == 0xF0 ? 3 : -1;
    if (extra >= 0) {
      uint32_t value = extra == 0 ? *p : *p & (0x3F >> extra);
      int i = 1;
      for (; i <= extra && (p[i] & 0xC0) == 0x80; ++i) value = (value << 6) | (p[i] & 0x3F);
      static const uint32_t least[4] = {0, 0x80, 0x800, 0x10000};
      if (i > extra && value >= least[extra] && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF)) {
        cp = value;
        p += extra;
      }
    }
    ++p;
    uint32_t need = cp >= 0x10000 ? 2 : 1;
    if (at + need >= capacity) {
      if (cut != nullptr) *cut = true;
      break;
    }
    if (need == 2) {
      out[at++] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out[at++] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out[at++] = static_cast<char16_t>(cp);
    }
  }
  if (capacity > 0) out[at] = 0;
  return at;
}

int access_mode(uint32_t access) {
  bool read = (access & (generic_read | generic_all)) != 0;
  bool write = (access & (generic_write | generic_all)) != 0;
  if (read && write) return O_RDWR;
  return write ? O_WRONLY : O_RDONLY;
}

int open_path(const char* path, int flags) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// create_always and open_always must tell whether the file was there: an
// exclusive create first, then the existing file, repeated if it vanishes
// between the two.
int open_reporting_existence(const char* path, int mode, bool truncate, bool* existed) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = open_path(path, mode | O_CREAT | O_EXCL);
    if (fd >= 0 || errno != EEXIST) {
      *existed = false;
      return fd;
    }
    fd = open_path(path, mode | (truncate ? O_TRUNC : 0));
    if (fd >= 0 || errno != ENOENT) {
      *existed = true;
      return fd;
    }
  }
  return -1;
}

void apply_hints(int fd, uint32_t flags) {
  if ((flags & flag_sequential_scan) != 0) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  if ((flags & flag_random_access) != 0) posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
}

int64_t read_result(file_descriptor& file, ssize_t n) {
  if (n < 0) {
    fail();
    return -1;
  }
  file.position += static_cast<uint64_t>(n);
  return n;
}

ssize_t pread_retrying(int fd, void* buffer, uint64_t size, uint64_t position) {
  ssize_t n;
  do {
    n = ::pread(fd, buffer, size, static_cast<off_t>(position));
  } while (n < 0 && errno == EINTR);
  return n;
}

bool refused(int error) { return error == EOPNOTSUPP || error == EINVAL; }

bool page_aligned(const void* buffer, uint64_t size, uint64_t position) {
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return reinterpret_cast<uintptr_t>(buffer) % page == 0 && size % page == 0 && position % page == 0;
}

bool set_direct(file_descriptor& file, bool on) {
  int flags = fcntl(file.fd, F_GETFL);
  if (flags < 0) return false;
  flags = on ? (flags | O_DIRECT) : (flags & ~O_DIRECT);
  if (fcntl(file.fd, F_SETFL, flags) != 0) return false;
  file.direct_set = on;
  return true;
}

// The last way down: an ordinary read, and the range read is dropped from
// the cache afterwards.
ssize_t read_then_drop(file_descriptor& file, void* buffer, uint64_t size) {
  if (file.direct_set) set_direct(file, false);
  ssize_t n = pread_retrying(file.fd, buffer, size, file.position);
  if (n > 0) posix_fadvise(file.fd, static_cast<off_t>(file.position), n, POSIX_FADV_DONTNEED);
  return n;
}

ssize_t read_direct(file_descriptor& file, void* buffer, uint64_t size) {
  // The last piece of a file may be of any size: it takes the buffered way.
  if (!page_aligned(buffer, size, file.position)) return read_then_drop(file, buffer, size);
  if (!file.direct_set && !set_direct(file, true)) {
    file.uncached_mode = uncached_buffered;
    return read_then_drop(file, buffer, size);
  }
  ssize_t n = pread_retrying(file.fd, buffer, size, file.position);
  if (n < 0 && refused(errno)) {
    file.uncached_mode = uncached_buffered;
    return read_then_drop(file, buffer, size);
  }
  return n;
}

// Uncached reads: pages already cached are used, pages brought in are dropped.
ssize_t read_uncached(file_descriptor& file, void* buffer, uint64_t size) {
  if (file.uncached_mode == uncached_dontcache) {
    iovec part{buffer, size};
    ssize_t n;
    do {
      n = ::preadv2(file.fd, &part, 1, static_cast<off_t>(file.position), RWF_DONTCACHE);
    } while (n < 0 && errno == EINTR);
    if (n >= 0 || !refused(errno)) return n;
    file.uncached_mode = uncached_direct;
  }
  if (file.uncached_mode == uncached_direct) return read_direct(file, buffer, size);
  return read_then_drop(file, buffer, size);
}

void fill_entry(int dir_fd, const char* name, dir_entry* entry) {
  *entry = dir_entry{};
  utf8_to_units(name, entry->name, 256);
  struct stat info{};
  if (fstatat(dir_fd, name, &info, 0) != 0 && fstatat(dir_fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return;
  entry->is_directory = S_ISDIR(info.st_mode);
  entry->size = entry->is_directory ? 0 : static_cast<uint64_t>(info.st_size);
  entry->last_write = unix_to_filetime(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
}

}  // namespace

uint32_t file_open(file_descriptor& file, const char16_t* path, uint32_t access, uint32_t disposition,
                   uint32_t flags, bool* existed) {
  char system_path[PATH_MAX];
  if (uint32_t error = to_system_path(path, system_path); error != 0) return error;
  const int mode = access_mode(access);
  bool was_there = false;
  int fd;
  switch (disposition) {
    case create_new: fd = open_path(system_path, mode | O_CREAT | O_EXCL); break;
    case create_always: fd = open_reporting_existence(system_path, mode, true, &was_there); break;
    case open_always: fd = open_reporting_existence(system_path, mode, false, &was_there); break;
    case open_existing: fd = open_path(system_path, mode); break;
    default: return fail_with(EINVAL);
  }
  if (fd < 0) return fail();
  if (existed != nullptr) *existed = was_there;
  file = file_descriptor{};
  file.fd = fd;
  file.flags = flags;
  apply_hints(fd, flags);
  return 0;
}

uint64_t drop_behind_size() {
  static const uint64_t size = std::max<uint64_t>(usable_memory() / 8, 1ull << 30);
  return size;
}

void file_advise_sequential(const file_descriptor& file) {
  if (file.fd >= 0) posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

void file_close(file_descriptor& file) {
  if (file.fd >= 0) ::close(file.fd);
  file = file_descriptor{};
}

uint32_t file_info(const file_descriptor& file, uint64_t* size, uint64_t* last_write, bool* is_directory) {
  struct stat info{};
  if (fstat(file.fd, &info) != 0) return fail();
  const bool directory = S_ISDIR(info.st_mode);
  if (size != nullptr) *size = directory ? 0 : static_cast<uint64_t>(info.st_size);
  if (last_write != nullptr) *last_write = unix_to_filetime(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
  if (is_directory != nullptr) *is_directory = directory;
  return 0;
}

namespace {

void fill_identity(const struct stat& info, file_identity& identity) {
  identity.device = static_cast<uint64_t>(info.st_dev);
  identity.inode = static_cast<uint64_t>(info.st_ino);
  identity.is_directory = S_ISDIR(info.st_mode);
  identity.size = identity.is_directory ? 0 : static_cast<uint64_t>(info.st_size);
  identity.write_ns = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  identity.change_ns = static_cast<int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
  identity.mode = info.st_mode;
  identity.owner = info.st_uid;
  identity.group = info.st_gid;
}

}  // namespace

uint32_t path_identity(const char16_t* path, file_identity& identity) {
  char system_path[PATH_MAX];
  if (uint32_t error = to_system_path(path, system_path); error != 0) return error;
  struct stat info{};
  if (::stat(system_path, &info) != 0) return fail();
  fill_identity(info, identity);
  return 0;
}

uint32_t file_identity_of(const file_descriptor& file, file_identity& identity) {
  struct stat info{};
  if (fstat(file.fd, &info) != 0) return fail();
  fill_identity(info, identity);
  return 0;
}

uint64_t identity_last_write(const file_identity& identity) {
  return unix_to_filetime(identity.write_ns / 1000000000, identity.write_ns % 1000000000);
}

uint32_t file_seek(file_descriptor& file, uint64_t offset) {
  if (file.fd < 0) return fail_with(EBADF);
  if (offset > static_cast<uint64_t>(INT64_MAX)) return fail_with(EINVAL);
  // Every read and write is positioned: the descriptor's own offset is never used.
  file.position = offset;
  return 0;
}

int64_t file_read(file_descriptor& file, void* buffer, uint64_t size) {
  if (file.fd < 0) {
    fail_with(EBADF);
    return -1;
  }
  if (size == 0) return 0;
  if ((file.flags & flag_no_buffering) != 0) return read_result(file, read_uncached(file, buffer, size));
  return read_result(file, pread_retrying(file.fd, buffer, size, file.position));
}

int64_t file_write(file_descriptor& file, const void* bytes, uint64_t size) {
  if (file.fd < 0) {
    fail_with(EBADF);
    return -1;
  }
  if (file.direct_set) set_direct(file, false);
  const char* p = static_cast<const char*>(bytes);
  uint64_t left = size;
  while (left > 0) {
    ssize_t n = ::pwrite(file.fd, p, left, static_cast<off_t>(file.position));
    if (n < 0) {
      if (errno == EINTR) continue;
      fail();
      return -1;
    }
    p += n;
    left -= static_cast<uint64_t>(n);
    file.position += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(size);
}

uint32_t file_delete(const char16_t* path) {
  char system_path[PATH_MAX];
  if (uint32_t error = to_system_path(path, system_path); error != 0) return error;
  return ::unlink(system_path) == 0 ? 0 : fail();
}

int file_open_log(const char16_t* path) {
  char system_path[PATH_MAX];
  if (to_system_path(path, system_path) != 0) return -1;
  int fd = ::open(system_path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) fail();
  return fd;
}

namespace {

// Writes every byte; 0 or the error.
uint32_t write_fully(int fd, const void* bytes, uint64_t size) {
  const char* p = static_cast<const char*>(bytes);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail();
    p += n;
    size -= static_cast<uint64_t>(n);
  }
  return 0;
}

// rename(2) that refuses to replace; a file system without renameat2 gets
// link and unlink, which refuse as well.
uint32_t rename_no_replace(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return fail();
  if (::link(from, to) != 0) return fail();
  ::unlink(from);
  return 0;
}

}  // namespace

uint32_t file_publish_new(const char16_t* path, const void* bytes, uint64_t size, uint32_t mode) {
  char final_path[PATH_MAX], temporary[PATH_MAX];
  if (uint32_t error = to_system_path(path, final_path); error != 0) return error;
  const char* slash = std::strrchr(final_path, '/');
  int folder = slash != nullptr ? static_cast<int>(slash - final_path + 1) : 0;
  int length = std::snprintf(temporary, sizeof temporary, "%.*s.%s.XXXXXX", folder, final_path,
                             final_path + folder);
  if (length < 0 || length >= static_cast<int>(sizeof temporary)) return fail_with(ENAMETOOLONG);
  int fd = ::mkostemp(temporary, O_CLOEXEC);
  if (fd < 0) return fail();
  uint32_t error = write_fully(fd, bytes, size);
  if (error == 0 && ::fchmod(fd, static_cast<mode_t>(mode)) != 0) error = fail();
  if (error == 0 && ::fsync(fd) != 0) error = fail();
  if (::close(fd) != 0 && error == 0) error = fail();
  if (error == 0) error = rename_no_replace(temporary, final_path);
  if (error != 0) {
    ::unlink(temporary);
    return fail_with(static_cast<int>(error));
  }
  return 0;
}

uint32_t folder_writable(const char16_t* folder) {
  char system_path[PATH_MAX];
  if (uint32_t error = to_system_path(folder, system_path); error != 0) return error;
  return ::faccessat(AT_FDCWD, system_path, W_OK | X_OK, AT_EACCESS) == 0 ? 0 : fail();
}

uint32_t folder_readable(const char16_t* folder) {
  char system_path[PATH_MAX];
  if (uint32_t error = to_system_path(folder, system_path); error != 0) return error;
  struct stat info;
  if (::stat(system_path, &info) != 0) return fail();
  if (!S_ISDIR(info.st_mode)) return fail_with(ENOTDIR);
  return ::faccessat(AT_FDCWD, system_path, R_OK | X_OK, AT_EACCESS) == 0 ? 0 : fail();
}

uint32_t dir_open(dir_handle& handle, const char16_t* pattern, dir_entry* first) {
  handle = dir_handle{};
  char folder[PATH_MAX];
  if (uint32_t error = to_system_path(pattern, folder); error != 0) return error;
  size_t length = std::strlen(folder);
  // Only the pattern "*" is offered: every name of the folder.
  if (length == 0 || folder[length - 1] != '*' || (length > 1 && folder[length - 2] != '/')) return fail_with(EINVAL);
  if (length == 1)
    std::strcpy(folder, ".");
  else if (length == 2)
    folder[1] = 0;  // "/*" is the root
  else
    folder[length - 2] = 0;
  DIR* dir = opendir(folder);
  if (dir == nullptr) return fail();
  handle.dir = dir;
  handle.open = true;
  dir_entry scratch;
  return dir_next(handle, first != nullptr ? first : &scratch);
}

uint32_t dir_next(dir_handle& handle, dir_entry* entry) {
  if (!handle.open) return fail_with(EBADF);
  auto* dir = static_cast<DIR*>(handle.dir);
  dir_entry scratch;
  if (entry == nullptr) entry = &scratch;
  static const char* const dots[2] = {".", ".."};
  if (handle.dots_given < 2) {
    fill_entry(dirfd(dir), dots[handle.dots_given++], entry);
    return 0;
  }
  dirent* next = nullptr;
  do {
    errno = 0;
    next = readdir(dir);
    if (next == nullptr) return errno != 0 ? fail() : fail_with(static_cast<int>(err_no_more_files));
  } while (std::strcmp(next->d_name, ".") == 0 || std::strcmp(next->d_name, "..") == 0);
  fill_entry(dirfd(dir), next->d_name, entry);
  return 0;
}

void dir_close(dir_handle& handle) {
  if (handle.open) closedir(static_cast<DIR*>(handle.dir));
  handle = dir_handle{};
}

uint32_t executable_path(char16_t* out, uint32_t capacity) {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0 || out == nullptr || capacity == 0) return 0;
  path[n] = 0;
  bool cut = false;
  uint32_t length = utf8_to_units(path, out, capacity, &cut);
  if (!cut) return length;
  out[0] = 0;  // a cut path names nothing
  return 0;
}

}  // namespace qm::os
