// Files and folders for the file handle of the HTTP layer and the
// configuration reader.
//
// Paths arrive as UTF-16, as the server keeps them; they are converted to
// UTF-8 here, with every '\\' turned into '/'. Linux never denies sharing, so
// the share modes of the design need nothing. A folder opens like a file for
// reading (read_info then reports it as a directory).
#pragma once
#include <cstdint>

namespace qm::os {

// Access rights.
inline constexpr uint32_t generic_read = 0x80000000u;
inline constexpr uint32_t generic_write = 0x40000000u;
inline constexpr uint32_t generic_all = 0x10000000u;

// Creation dispositions.
inline constexpr uint32_t create_new = 1;     // O_CREAT | O_EXCL
inline constexpr uint32_t create_always = 2;  // O_CREAT | O_TRUNC
inline constexpr uint32_t open_existing = 3;  // no O_CREAT
inline constexpr uint32_t open_always = 4;    // O_CREAT

// Flags and attributes.
inline constexpr uint32_t file_attribute_normal = 0x00000080u;
inline constexpr uint32_t flag_backup_semantics = 0x02000000u;  // folders open too
inline constexpr uint32_t flag_sequential_scan = 0x08000000u;   // posix_fadvise SEQUENTIAL
inline constexpr uint32_t flag_random_access = 0x10000000u;     // posix_fadvise RANDOM
inline constexpr uint32_t flag_no_buffering = 0x20000000u;      // uncached reads, see file_read

// An open file: the descriptor and how reads are to be made.
struct file_descriptor {
  int fd = -1;
  uint32_t flags = 0;
  // For flag_no_buffering: 0 read with RWF_DONTCACHE, 1 O_DIRECT, 2 buffered
  // read followed by POSIX_FADV_DONTNEED; the layer steps down on refusal.
  uint8_t uncached_mode = 0;
  bool direct_set = false;  // O_DIRECT is on for the descriptor (mode 1)
  uint64_t position = 0;
};

// Reads of files are made in whole pages of this size where it matters
// (unbuffered reads); the send halves are multiples of it.
inline constexpr uint64_t page_bytes = 4096;

// Files at least this large (an eighth of the memory the process may fill,
// its control group's limit where lower than the machine's, and no less
// than 1 GiB) drop the pages they have read behind them.
uint64_t drop_behind_size();
// Tells the kernel the file will be read from start to end (read-ahead).
void file_advise_sequential(const file_descriptor& file);

// Opens path; 0 or the system error. For create_always and open_always,
// *existed tells whether the file was there before (may be null).
uint32_t file_open(file_descriptor& file, const char16_t* path, uint32_t access, uint32_t disposition,
                   uint32_t flags, bool* existed);
void file_close(file_descriptor& file);
// Size, last write (FILETIME) and directory attribute from fstat; 0 or error.
uint32_t file_info(const file_descriptor& file, uint64_t* size, uint64_t* last_write, bool* is_directory);
// Moves the position to offset from the beginning (reads are positioned, so
// no system call is made); 0, or EINVAL past what a file can hold.
uint32_t file_seek(file_descriptor& file, uint64_t offset);

// What tells one state of a file from any other: the file itself (device
// and inode) and everything a write, a truncation or a change of rights
// moves (size, last write, last status change, mode, owner).
struct file_identity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t write_ns = 0;
  int64_t change_ns = 0;
  uint32_t mode = 0;
  uint32_t owner = 0;
  uint32_t group = 0;
  bool is_directory = false;
  bool operator==(const file_identity&) const = default;
};
// The identity of the file a path names now (stat), or of an open one (fstat); 0 or the error.
uint32_t path_identity(const char16_t* path, file_identity& identity);
uint32_t file_identity_of(const file_descriptor& file, file_identity& identity);
// The FILETIME of an identity's last write.
uint64_t identity_last_write(const file_identity& identity);
// Reads up to size bytes at the position into buffer and advances it; the
// count (0 at the end), or -1 with last_error() set. With flag_no_buffering
// the buffer, size and position must be multiples of the page size except
// for the last read of a file; pages brought in are not kept in the cache.
int64_t file_read(file_descriptor& file, void* buffer, uint64_t size);
// Writes all bytes at the position; the count or -1.
int64_t file_write(file_descriptor& file, const void* bytes, uint64_t size);
uint32_t file_delete(const char16_t* path);

// Opens a log for appending as fopen's "ab+" does (read and append, created
// when missing); the descriptor, or -1 with last_error() set.
int file_open_log(const char16_t* path);
// Writes a whole new file that appears at once: a temporary file in the same
// folder, written, flushed to disk and given mode, then renamed to path
// unless path exists already. 0, err_exists, or the error (the temporary
// file is removed on every failure).
uint32_t file_publish_new(const char16_t* path, const void* bytes, uint64_t size, uint32_t mode);
// Whether the calling process may create and remove files in folder: 0 or
// the error (EACCES when it may not).
uint32_t folder_writable(const char16_t* folder);
// Whether the calling thread, with the rights it holds now, may list folder
// and enter it: 0, ENOTDIR when the path names something else, or the
// error (ENOENT, EACCES, ...).
uint32_t folder_readable(const char16_t* folder);

// Directory enumeration with the pattern "<folder>/*": "." and ".." come back
// as well, as the server expects, and first, as a Windows enumeration gives
// them (readdir returns them wherever its hash order puts them).
//
// Given room for names (dir_options), the other names come in the order of
// compare_system_names (os/name_order.h), as a Windows folder on its usual
// file system lists them, instead of the file system's own order. Nothing is
// allocated: the names are sorted in the caller's buffer, one bufferful at a
// time, and the folder is read once more for each bufferful, each read
// keeping the names that follow the last one returned. A folder that needs
// more than sorted_reads reads is read once more after that and its remaining
// names come in runs of one bufferful each, every run in order; the first
// entry of each run after the first has restarts_order set. Every name comes
// back exactly once; a name added or removed while the folder is being read
// may or may not appear.
struct dir_entry {
  bool is_directory = false;
  bool restarts_order = false;  // may sort before the entry returned just before it
  uint64_t last_write = 0;  // FILETIME
  uint64_t size = 0;
  char16_t name[256] = {};  // UTF-16, NUL-terminated; longer names are cut
};

// Which entries come back; "." and ".." count as folders.
enum class dir_kinds : uint8_t { all, folders, files };

// A buffer smaller than this cannot hold a few of the longest names; at most
// dir_names_limit bytes of a larger one are used (offsets are 16 bits).
inline constexpr uint32_t dir_names_minimum = 1024;
inline constexpr uint32_t dir_names_limit = 65535;
// Reads of a folder in order before its remaining names come in runs: an
// enumeration reads a folder at most this many times plus one, whatever its size.
inline constexpr uint32_t dir_sorted_reads = 32;

struct dir_options {
  dir_kinds kinds = dir_kinds::all;
  char* names = nullptr;  // room to sort names in; null: the file system's order
  uint32_t names_size = 0;
  uint32_t sorted_reads = dir_sorted_reads;
};

struct dir_handle {
  void* dir = nullptr;  // DIR*
  bool open = false;
  uint8_t dots_given = 0;  // how many of ".", ".." have been returned
  dir_kinds kinds = dir_kinds::all;
  // Sorting: records (a 16-bit rank, the name, a NUL) from names upwards, and
  // below names + names_size the 16-bit offsets of the held records in order.
  char* names = nullptr;
  uint32_t names_size = 0;
  uint32_t sorted_reads = 0;
  uint32_t reads = 0;    // times the folder has been read
  uint32_t runs = 0;     // runs of the last read begun
  uint32_t held = 0;     // records of the current batch
  uint32_t given = 0;    // of them returned
  uint32_t used = 0;     // bytes of records
  bool more = false;     // names beyond the batch were seen: the batch ends below them
  bool in_runs = false;  // past sorted_reads: the last read, run by run
  bool past = false;     // names up to and including `last` have been returned
  bool waiting = false;  // runs: `next` was read but did not fit the run before
  bool read_done = false;  // runs: the last read has reached the folder's end
  char last[256] = {};  // the greatest name the sorted reads have returned
  char next[256] = {};  // runs: the name that opens the next run
};

// pattern: a folder path ending in "/*" or "\\*". Fills the first entry;
// 0, err_no_more_files for a folder without entries of the kinds asked for,
// or the error (EINVAL for a names buffer below dir_names_minimum); the
// handle is open only after 0.
uint32_t dir_open(dir_handle& handle, const char16_t* pattern, dir_entry* first, const dir_options& options = {});
// The next entry; 0, err_no_more_files at the end, or the error.
uint32_t dir_next(dir_handle& handle, dir_entry* entry);
void dir_close(dir_handle& handle);

// The executable's full path (readlink of /proc/self/exe) as UTF-16;
// the length in units, or 0 when it fails or does not fit.
uint32_t executable_path(char16_t* out, uint32_t capacity);

}  // namespace qm::os
