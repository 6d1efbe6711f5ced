// Static file transmission: index files, variants, ranges, conditional
// requests, the read queue for large files, and the favicon fallback.
#pragma once
#include <cstdint>

#include "http/file.h"
#include "http/file_cache.h"

namespace qm {

struct Z_TASK;
struct Z_PATH;
namespace os {
struct z_event;
}

// One transmission; lives for one send_file call.
struct Z_TRANSFER {
  Z_FILE h_file;
  os::z_event* waiter = nullptr;  // the slot's file_event, lent to the read queue
  bool range = false;             // the request carries a usable bytes range
  bool queued = false;            // read unbuffered, through the read queue
  bool accepts_br = false;
  bool accepts_gzip = false;
  bool accepts_webp = false;
  bool found = false;  // a file or a variant was opened and its information read
  bool chosen_br = false;
  bool chosen_gzip = false;
  bool chosen_webp = false;
  bool is_directory = false;
  uint64_t remaining = 0;   // the size once opened; then the bytes still to read
  uint64_t last_write = 0;  // FILETIME
  uint32_t open_result = 0; // the last open's result, or a failed read's error
  Z_PATH* path = nullptr;
  Z_FILE_CACHE* files = nullptr;  // the slot's kept files; null: every file is opened afresh
};

// Files above this size sent whole take turns through the read queue.
inline constexpr uint64_t queued_file_size = 8388608;
// Ranged reads start at multiples of this, and the first chunk is read at
// this offset of the half, leaving room for the header in front.
inline constexpr uint64_t chunk_alignment = 65536;
inline constexpr uint32_t read_queue_size = 64;

// Answers a GET or HEAD whose path was resolved into the slot's Z_PATH; true
// when the whole answer was handed to the send thread.
bool send_file(Z_TASK& task);

// Opens the resolved path, with the index files and the unbuffered reopen of
// large files.
void open_file(Z_TRANSFER& transfer);
// Opens the path, or a better variant of it, into h_file; the plain open's
// result. The path is the same afterwards.
uint32_t open_variants(Z_TRANSFER& transfer, uint32_t access, uint32_t disposition, uint32_t flags);
// Reads at most size bytes into destination; the count (never above
// remaining), or -1 after a read error (printed, error in open_result).
int64_t read_chunk(Z_TRANSFER& transfer, char* destination, uint64_t size);

// The process-wide queue that makes large-file reads take turns, in arrival
// order. enter is true when the reader may go on at once, false after it
// waited on its event for its turn; every reader leaves after its read,
// which hands the turn to the next one.
bool read_queue_enter(os::z_event* waiter);
void read_queue_leave();

}  // namespace qm
