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
#include "os/name_order.h"
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
  const char* p = text;
  uint32_t at = 0;
  while (*p != 0) {
    uint32_t cp = decode_utf8(p);
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

namespace {

// ---- A folder's names sorted in the caller's buffer ----
//
// A batch is held as records (a 16-bit rank used while compacting, the name,
// its NUL) packed from the buffer's start, and a table of their 16-bit
// offsets in name order packed down from the buffer's end: entry i lies at
// names + names_size - 2 * (i + 1), so the greatest name is the lowest entry
// and dropping it costs nothing. The two grow towards each other; free_bytes
// is the gap between them.

constexpr uint16_t rank_none = 0xFFFF;
constexpr uint32_t name_max = 255;  // NAME_MAX: the bytes of a name without its NUL

uint32_t free_bytes(const dir_handle& h) { return h.names_size - 2 * h.held - h.used; }

char* entry_at(const dir_handle& h, uint32_t i) { return h.names + h.names_size - 2 * (i + 1); }

uint16_t offset_of(const dir_handle& h, uint32_t i) {
  uint16_t offset;
  std::memcpy(&offset, entry_at(h, i), 2);
  return offset;
}

void set_offset(const dir_handle& h, uint32_t i, uint16_t offset) { std::memcpy(entry_at(h, i), &offset, 2); }

const char* held_name(const dir_handle& h, uint32_t i) { return h.names + offset_of(h, i) + 2; }
const char* greatest(const dir_handle& h) { return held_name(h, h.held - 1); }

// The length of the record at offset, which lies below h.used.
uint32_t record_size(const dir_handle& h, uint32_t offset) {
  uint32_t room = h.used - offset - 2;
  return 2 + static_cast<uint32_t>(strnlen(h.names + offset + 2, room)) + 1;
}

void set_rank(const dir_handle& h, uint32_t offset, uint16_t rank) { std::memcpy(h.names + offset, &rank, 2); }

// Moves the held records together, in place, and mends their offsets: each
// record learns its place in the table first, so no second table is needed.
void compact(dir_handle& h) {
  for (uint32_t at = 0; at < h.used; at += record_size(h, at)) set_rank(h, at, rank_none);
  for (uint32_t i = 0; i < h.held; ++i) set_rank(h, offset_of(h, i), static_cast<uint16_t>(i));
  uint32_t to = 0;
  for (uint32_t at = 0; at < h.used;) {
    uint32_t size = record_size(h, at);
    uint16_t rank;
    std::memcpy(&rank, h.names + at, 2);
    if (rank != rank_none) {
      std::memmove(h.names + to, h.names + at, size);
      set_offset(h, rank, static_cast<uint16_t>(to));
      to += size;
    }
    at += size;
  }
  h.used = to;
}

// Adds name at its place in the batch; false when it does not fit. A name
// already held (a folder changing under the read) is not added twice.
bool insert(dir_handle& h, const char* name) {
  uint32_t length = static_cast<uint32_t>(strnlen(name, name_max));
  uint32_t size = 2 + length + 1;
  uint32_t low = 0, high = h.held;
  while (low < high) {
    uint32_t middle = (low + high) / 2;
    int order = compare_system_names(held_name(h, middle), name);
    if (order == 0) return true;
    if (order < 0)
      low = middle + 1;
    else
      high = middle;
  }
  if (free_bytes(h) < size + 2) return false;
  // Entries low .. held-1 move one place on (two bytes towards the records).
  char* free_entry = entry_at(h, h.held);
  std::memmove(free_entry, free_entry + 2, 2 * (h.held - low));
  ++h.held;
  set_offset(h, low, static_cast<uint16_t>(h.used));
  set_rank(h, h.used, rank_none);
  std::memcpy(h.names + h.used + 2, name, length);
  h.names[h.used + 2 + length] = 0;
  h.used += size;
  return true;
}

// Makes room for need bytes by dropping the greatest names (a later read
// brings them back), and a quarter of the buffer more, so that names arriving
// in falling order compact the buffer only now and then.
void drop_greatest(dir_handle& h, uint32_t need) {
  h.more = true;
  const uint32_t target = need + h.names_size / 4;
  uint32_t dropped = 0;
  while (h.held > 0 && free_bytes(h) + dropped < target) {
    dropped += record_size(h, offset_of(h, h.held - 1));
    --h.held;
  }
  compact(h);
}

// Sorted reads keep the smallest names after `last`. Once a name has been
// left for a later read, the batch may only shrink at its top, so that it
// always holds every name between `last` and its greatest.
void keep_sorted(dir_handle& h, const char* name) {
  const uint32_t need = 2 + static_cast<uint32_t>(strnlen(name, name_max)) + 1 + 2;
  const bool full = free_bytes(h) < need;
  if ((h.more || full) && h.held > 0 && compare_system_names(name, greatest(h)) > 0) {
    h.more = true;
    return;
  }
  if (full) {
    drop_greatest(h, need);
    if (h.held > 0 && compare_system_names(name, greatest(h)) > 0) return;
  }
  insert(h, name);  // fits: the buffer holds at least one longest name
}

void copy_name(char (&to)[256], const char* name) {
  size_t length = strnlen(name, name_max);
  std::memcpy(to, name, length);
  to[length] = 0;
}

bool is_dot(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

// Whether the entry is of the kinds asked for; links are followed, as
// fill_entry follows them.
bool wanted(const dir_handle& h, DIR* dir, const dirent* d) {
  if (h.kinds == dir_kinds::all) return true;
  bool folder = d->d_type == DT_DIR;
  if (d->d_type == DT_LNK || d->d_type == DT_UNKNOWN) {
    struct stat info{};
    folder = fstatat(dirfd(dir), d->d_name, &info, 0) == 0 && S_ISDIR(info.st_mode);
  }
  return folder == (h.kinds == dir_kinds::folders);
}

// The next name of the kinds asked for, or null at the end (errno set on an error).
const dirent* read_wanted(const dir_handle& h, DIR* dir) {
  for (;;) {
    errno = 0;
    const dirent* d = readdir(dir);
    if (d == nullptr) return nullptr;
    if (is_dot(d->d_name) || !wanted(h, dir, d)) continue;
    if (h.past && compare_system_names(d->d_name, h.last) <= 0) continue;  // returned already
    return d;
  }
}

// One more read of the folder in order: the batch of names after `last`.
uint32_t read_sorted(dir_handle& h, DIR* dir) {
  h.held = h.given = h.used = 0;
  h.more = false;
  while (const dirent* d = read_wanted(h, dir)) keep_sorted(h, d->d_name);
  return errno != 0 ? fail() : 0;
}

// The next run of the last read: names in read order until the buffer is
// full, then sorted; the name that did not fit opens the next run.
uint32_t read_run(dir_handle& h, DIR* dir) {
  h.held = h.given = h.used = 0;
  ++h.runs;
  if (h.waiting) {
    h.waiting = false;
    if (!insert(h, h.next)) return fail_with(ENAMETOOLONG);  // cannot happen: see dir_names_minimum
  }
  while (const dirent* d = read_wanted(h, dir)) {
    if (!insert(h, d->d_name)) {
      copy_name(h.next, d->d_name);
      h.waiting = true;
      return 0;
    }
  }
  h.read_done = true;
  return errno != 0 ? fail() : 0;
}

// Fills the next batch; 0 when it holds names, err_no_more_files, or the error.
uint32_t next_batch(dir_handle& h) {
  auto* dir = static_cast<DIR*>(h.dir);
  for (;;) {
    if (h.reads > 0 && !h.in_runs && !h.more) return fail_with(static_cast<int>(err_no_more_files));
    if (h.in_runs && h.read_done && !h.waiting) return fail_with(static_cast<int>(err_no_more_files));
    if (!h.in_runs && h.held > 0) {
      copy_name(h.last, greatest(h));  // everything up to here has been returned
      h.past = true;
    }
    if (!h.in_runs && h.reads == h.sorted_reads) h.in_runs = true;
    if (h.reads > 0 && (!h.in_runs || h.runs == 0)) rewinddir(dir);
    if (!h.in_runs || h.runs == 0) ++h.reads;
    uint32_t error = h.in_runs ? read_run(h, dir) : read_sorted(h, dir);
    if (error != 0) return error;
    if (h.held > 0) return 0;
    // A name that fits no empty buffer cannot occur (dir_names_minimum), but
    // must not make the reads go round for ever.
    if (h.in_runs ? h.waiting : h.more) return fail_with(ENAMETOOLONG);
  }
}

uint32_t next_sorted(dir_handle& h, DIR* dir, dir_entry* entry) {
  if (h.given == h.held) {
    if (uint32_t error = next_batch(h); error != 0) return error;
  }
  const bool restarts = h.in_runs && h.runs > 1 && h.given == 0;
  fill_entry(dirfd(dir), held_name(h, h.given++), entry);
  entry->restarts_order = restarts;
  return 0;
}

uint32_t next_unsorted(dir_handle& h, DIR* dir, dir_entry* entry) {
  const dirent* d = read_wanted(h, dir);
  if (d == nullptr) return errno != 0 ? fail() : fail_with(static_cast<int>(err_no_more_files));
  fill_entry(dirfd(dir), d->d_name, entry);
  return 0;
}

}  // namespace

uint32_t dir_open(dir_handle& handle, const char16_t* pattern, dir_entry* first, const dir_options& options) {
  handle = dir_handle{};
  if (options.names != nullptr && options.names_size < dir_names_minimum) return fail_with(EINVAL);
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
  handle.kinds = options.kinds;
  if (options.names != nullptr) {
    handle.names = options.names;
    handle.names_size = std::min(options.names_size, dir_names_limit) & ~1u;
    handle.sorted_reads = std::max(options.sorted_reads, 1u);
  }
  dir_entry scratch;
  uint32_t error = dir_next(handle, first != nullptr ? first : &scratch);
  // No first entry (none of the kinds asked for, or a failed read): nothing
  // stays open, as after any failed open.
  if (error != 0) dir_close(handle);
  return error;
}

uint32_t dir_next(dir_handle& handle, dir_entry* entry) {
  if (!handle.open) return fail_with(EBADF);
  auto* dir = static_cast<DIR*>(handle.dir);
  dir_entry scratch;
  if (entry == nullptr) entry = &scratch;
  static const char* const dots[2] = {".", ".."};
  if (handle.kinds == dir_kinds::files) handle.dots_given = 2;  // the dots are folders
  if (handle.dots_given < 2) {
    fill_entry(dirfd(dir), dots[handle.dots_given++], entry);
    return 0;
  }
  return handle.names != nullptr ? next_sorted(handle, dir, entry) : next_unsorted(handle, dir, entry);
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
