// Static file transmission.
//
// The header block is written at the start of the current half; the first
// chunk of content is read at offset 65536 of the same half so that header and
// chunk leave in one send. Every later chunk fills a whole half while the send
// thread sends the other one.
#include "http/transfer.h"

#include <cstring>
#include <initializer_list>
#include <mutex>
#include <string>

#include "config/config.h"
#include "content/header.h"
#include "content/listing.h"
#include "content/mime.h"
#include "content/pages.h"
#include "content/resources.h"
#include "core/engine.h"
#include "http/conditions.h"
#include "os/error.h"
#include "os/event.h"
#include "os/output.h"
#include "os/time.h"

namespace qm {

namespace {

// ---- the read queue -------------------------------------------------------

struct z_read_queue_t {
  os::z_event* waiters[read_queue_size] = {};
  uint32_t head = 0;
  uint32_t tail = 0;
  bool full = false;
};

z_read_queue_t read_queue;
std::mutex queue_lock;

uint32_t next_index(uint32_t index) { return (index + 1) % read_queue_size; }

bool queue_empty() { return !read_queue.full && read_queue.head == read_queue.tail; }

void pop_head() {
  read_queue.head = next_index(read_queue.head);
  read_queue.full = false;
}

// ---- the path -------------------------------------------------------------

uint64_t path_length(const Z_PATH& path) { return static_cast<uint64_t>(path.end - path.buffer); }

// Room for count more units and the terminator.
bool path_has_room(const Z_PATH& path, uint64_t count) { return path_length(path) + count + 1 <= path.capacity; }

bool path_ends_with(const Z_PATH& path, const char16_t* text) {
  uint64_t size = std::char_traits<char16_t>::length(text);
  if (path_length(path) < size) return false;
  return std::char_traits<char16_t>::compare(path.end - size, text, size) == 0;
}

// The caller checked the room.
void path_append(Z_PATH& path, const char16_t* text) {
  uint64_t size = std::char_traits<char16_t>::length(text);
  std::char_traits<char16_t>::copy(path.end, text, size);
  path.end += size;
  *path.end = 0;
  path.rest_size += size;
}

void path_cut(Z_PATH& path, uint64_t size) {
  path.end -= size;
  *path.end = 0;
  path.rest_size -= size;
}

// Units taken from the target.
uint64_t rest_length(const Z_PATH& path) {
  if (path.rest == nullptr || path.rest > path.end) return 0;
  return static_cast<uint64_t>(path.end - path.rest);
}

// The '.' before an extension of two to four units at the path's end, inside
// the part taken from the target (the nearest counts); null when none.
char16_t* extension_dot(const Z_PATH& path) {
  for (uint64_t units = 2; units <= 4; ++units) {
    if (rest_length(path) < units + 1) return nullptr;
    char16_t* dot = path.end - units - 1;
    if (*dot == u'.') return dot;
  }
  return nullptr;
}

bool text_is(const char16_t* start, const char16_t* end, const char16_t* text) {
  uint64_t size = std::char_traits<char16_t>::length(text);
  return static_cast<uint64_t>(end - start) == size && std::char_traits<char16_t>::compare(start, text, size) == 0;
}

bool is_one_of(const char16_t* start, const char16_t* end, std::initializer_list<const char16_t*> texts) {
  for (const char16_t* text : texts)
    if (text_is(start, end, text)) return true;
  return false;
}

// ---- variants -------------------------------------------------------------

// Moves the open descriptor of from into to (to is closed first).
void take_file(Z_FILE& to, Z_FILE& from) {
  to.close();
  to.handle = from.handle;
  to.opened = from.opened;
  to.error = from.error;
  to.size = from.size;
  to.last_write = from.last_write;
  to.is_directory = from.is_directory;
  to.borrowed = from.borrowed;
  from.handle = os::file_descriptor{};
  from.opened = false;
  from.borrowed = false;
  from.close();
}

struct z_open_args {
  uint32_t access;
  uint32_t disposition;
  uint32_t flags;
};

uint64_t whole_seconds(uint64_t file_time) { return file_time / 10000000; }

// Opens the path as it now stands, with its size, time and kind read:
// through the slot's kept files when it has them. 0 or the open's error;
// info_read tells whether size, time and kind are known.
uint32_t open_one(Z_TRANSFER& t, Z_FILE& file, const z_open_args& args, bool& info_read) {
  info_read = false;
  if (t.files != nullptr && args.access == os::generic_read && args.disposition == os::open_existing) {
    uint32_t result = open_through_cache(*t.files, file, t.path->buffer, args.flags);
    info_read = result == 0;
    return result;
  }
  uint32_t result = file.open(t.path->buffer, args.access, args.disposition, args.flags);
  if (result == 0) info_read = file.read_info();
  return result;
}

// Opens the path as it now stands as a variant; when usable it replaces the
// plain file in h_file.
bool try_variant(Z_TRANSFER& t, const z_open_args& args) {
  Z_FILE variant;
  bool info_read = false;
  if (open_one(t, variant, args, info_read) != 0) return false;
  if (!info_read || variant.is_directory) return false;
  // Whole seconds: brotli keeps only those of its source's time.
  if (t.found && whole_seconds(variant.last_write) < whole_seconds(t.last_write)) return false;
  t.remaining = variant.size;
  t.last_write = variant.last_write;
  t.is_directory = false;
  t.found = true;
  take_file(t.h_file, variant);
  return true;
}

bool try_suffix(Z_TRANSFER& t, const z_open_args& args, const char16_t* suffix) {
  path_append(*t.path, suffix);
  bool usable = try_variant(t, args);
  path_cut(*t.path, 3);
  return usable;
}

// A range counts bytes of the file itself: a client that resumes with other
// codings must get the same bytes.
bool try_compressed(Z_TRANSFER& t, const z_open_args& args) {
  Z_PATH& path = *t.path;
  if (t.range || (!t.accepts_br && !t.accepts_gzip)) return false;
  if (!path_has_room(path, 3) || rest_length(path) <= 3) return false;
  if (path_ends_with(path, u".br") || path_ends_with(path, u".gz")) return false;
  if (t.accepts_br && try_suffix(t, args, u".br")) {
    t.chosen_br = true;
  } else if (t.accepts_gzip && try_suffix(t, args, u".gz")) {
    t.chosen_gzip = true;
  }
  return t.chosen_br || t.chosen_gzip;
}

// "name.css" -> "name.min.css" and back.
bool try_minified(Z_TRANSFER& t, const z_open_args& args, char16_t* dot) {
  Z_PATH& path = *t.path;
  if (!path_has_room(path, 4)) return false;
  uint64_t tail = static_cast<uint64_t>(path.end - dot);  // ".ext" without the NUL
  std::char_traits<char16_t>::move(dot + 5, dot + 1, tail);  // the extension and its NUL
  std::char_traits<char16_t>::copy(dot + 1, u"min.", 4);
  path.end += 4;
  path.rest_size += 4;
  bool usable = try_variant(t, args);
  std::char_traits<char16_t>::move(dot + 1, dot + 5, tail);
  path.end -= 4;
  path.rest_size -= 4;
  return usable;
}

bool try_webp(Z_TRANSFER& t, const z_open_args& args) {
  Z_PATH& path = *t.path;
  if (!path_has_room(path, 5)) return false;
  uint32_t old_type = path.type;
  t.chosen_webp = true;
  path.type = mime_webp;
  path_append(path, u".webp");
  bool usable = try_variant(t, args);
  path_cut(path, 5);
  if (!usable) {
    t.chosen_webp = false;
    path.type = old_type;
  }
  return usable;
}

void try_minified_or_webp(Z_TRANSFER& t, const z_open_args& args) {
  Z_PATH& path = *t.path;
  char16_t* dot = extension_dot(path);
  if (dot == nullptr) return;
  if (dot - path.buffer >= 4 && text_is(dot - 4, dot, u".min")) return;
  if (is_one_of(dot + 1, path.end, {u"css", u"htm", u"html", u"js"})) {
    try_minified(t, args, dot);
    return;
  }
  if (t.accepts_webp && is_one_of(dot + 1, path.end, {u"gif", u"jpg", u"jpeg", u"png"})) try_webp(t, args);
}

// ---- index files ----------------------------------------------------------

// The next candidate after a failed open of an index path; false when there
// is none.
bool next_index_candidate(Z_TRANSFER& t, bool& index_appended) {
  Z_PATH& path = *t.path;
  if (!index_appended) return false;
  if (path_ends_with(path, u"index.htm") && path_has_room(path, 1)) {
    path_append(path, u"l");
    return true;
  }
  path_cut(path, path_ends_with(path, u"index.htm") ? 9 : 10);
  t.is_directory = true;
  index_appended = false;
  return true;
}

void reset_open_state(Z_TRANSFER& t) {
  t.h_file.close();
  t.found = false;
  t.chosen_br = t.chosen_gzip = t.chosen_webp = false;
  t.remaining = 0;
  t.last_write = 0;
}

// Puts line in front of the empty line that ends the header block at out;
// the new header size (unchanged when it does not fit).
uint64_t insert_header_line(char* out, uint64_t size, uint64_t room, const char* line) {
  uint64_t line_size = std::strlen(line);
  if (size < 4 || std::memcmp(out + size - 4, "\r\n\r\n", 4) != 0 || size + line_size + 2 > room) return size;
  std::memcpy(out + size - 2, line, line_size);
  std::memcpy(out + size - 2 + line_size, "\r\n\r\n", 4);
  return size + line_size + 2;
}

bool is_favicon_target(const Z_REQUEST& request) {
  return request.target != nullptr && std::strcmp(request.target, "/favicon.ico") == 0;
}

bool answer_not_found(Z_TASK& task) {
  answer_status_page(task.response, task.request, status_404, task.request.keep_alive != 0, false);
  return false;
}

bool answer_server_error(Z_TASK& task) {
  task.request.keep_alive = 0;
  answer_status_page(task.response, task.request, status_500, false, false);
  return false;
}

// The header block in the current half; 0 for a request without version.
uint64_t write_header(Z_TASK& task, Z_TRANSFER& t, z_range_answer& answer, bool& failed) {
  Z_REQUEST& request = task.request;
  Z_RESPONSE& response = task.response;
  failed = false;
  if (request.version < 0) return 0;
  if (request.download) t.path->type = mime_octet_stream;
  if (not_modified_since(request, t.last_write)) answer.status = status_304;
  uint64_t size = build_header(response, response.p_write, response.size_write, answer.status, t.path->type,
                               t.remaining, request.keep_alive != 0, false, &answer.range, &t.last_write, nullptr,
                               nullptr, nullptr);
  if (size == 0) {
    failed = true;
    return 0;
  }
  const bool file_status =
      answer.status == status_200 || answer.status == status_206 || answer.status == status_304;
  if (file_status && effective.min_gz.load(std::memory_order_relaxed))
    size = insert_header_line(response.p_write, size, response.size_write, "Vary: Accept-Encoding, Accept");
  return size;
}

// Drops up to skip bytes from the front of a chunk.
void drop_skip(char*& chunk, uint64_t& size, uint64_t& skip) {
  uint64_t drop = skip < size ? skip : size;
  chunk += drop;
  size -= drop;
  skip -= drop;
}

// A half goes to the send thread while more of the file is still to be read,
// so that the next read overlaps its send; the last one is sent inline.
bool send_bytes(Z_TASK& task, const char* bytes, uint64_t size, bool more_to_read) {
  if (size == 0) return true;
  task.response.streaming = more_to_read;
  bool sent = send_packet(task.response, bytes, size, task.request);
  task.response.streaming = false;
  return sent;
}

// Steps 9 and 10: the first chunk behind the header, then half after half.
bool stream_content(Z_TASK& task, Z_TRANSFER& t, uint64_t header_size, uint64_t skip) {
  Z_RESPONSE& response = task.response;
  if (header_size < 32768 && response.size_write > 131072) {
    char* chunk = response.p_write + chunk_alignment;
    int64_t got = read_chunk(t, chunk, response.size_write - chunk_alignment);
    if (got < 0) return answer_server_error(task);
    uint64_t size = static_cast<uint64_t>(got);
    drop_skip(chunk, size, skip);
    std::memcpy(chunk - header_size, response.p_write, header_size);
    if (!send_bytes(task, chunk - header_size, header_size + size, t.remaining != 0)) return false;
    if (got == 0) return true;
  } else if (!send_bytes(task, response.p_write, header_size, t.remaining != 0)) {
    return false;
  }
  while (t.remaining != 0) {
    char* chunk = response.p_write;
    int64_t got = read_chunk(t, chunk, response.size_write);
    if (got < 0) {
      task.request.keep_alive = 0;
      return false;
    }
    if (got == 0) return true;
    uint64_t size = static_cast<uint64_t>(got);
    drop_skip(chunk, size, skip);
    if (!send_bytes(task, chunk, size, t.remaining != 0)) return false;
  }
  return true;
}

bool transmit(Z_TASK& task, Z_TRANSFER& t) {
  Z_REQUEST& request = task.request;
  if (!t.found) {
    if (is_favicon_target(request)) {
      serve_resource(task.response, request, *favicon_resource());
      return true;
    }
    return answer_not_found(task);
  }
  if (t.is_directory) {
    if (!effective.list_directories.load(std::memory_order_relaxed)) return answer_not_found(task);
    enter_config(task);
    bool listed = send_listing(task);
    leave_config(task);
    return listed;
  }
  if (t.path->type == mime_blocked) return answer_not_found(task);
  z_range_answer answer = answer_range(request, t.remaining);
  bool failed = false;
  uint64_t header_size = write_header(task, t, answer, failed);
  if (failed) return answer_server_error(task);
  if (request.method == method_head || answer.status == status_304 || answer.status == status_416)
    return send_bytes(task, task.response.p_write, header_size, false);
  const uint64_t file_position = answer.range.first & ~(chunk_alignment - 1);
  const uint64_t skip = answer.range.first - file_position;
  if (file_position != 0 && !t.h_file.seek(file_position))
    os::print_error(t.h_file.error, "!! h_file.seek(file_position, FILE_BEGIN)");
  t.remaining = t.remaining == 0 ? 0 : answer.range.last - file_position + 1;
  return stream_content(task, t, header_size, skip);
}

// Content-Encoding must not outlive the file it belongs to, and the caller
// gets its path back without the index name tried for a folder.
struct z_response_guard {
  Z_RESPONSE& response;
  char16_t* end;
  uint64_t rest_size;
  ~z_response_guard() {
    response.encoding_br = 0;
    response.encoding_gzip = 0;
    response.path.end = end;
    response.path.rest_size = rest_size;
    if (end != nullptr) *end = 0;
  }
};

}  // namespace

// The reader at the head of the queue is the one reading; its entry stays
// there until it leaves, whether it went on at once or was woken. (Were a
// woken reader's entry removed when it was woken, a reader arriving while it
// reads would find the queue empty and go on too, and the woken reader's
// leave would then wake that one again and remove it, while its own leave
// removed the next waiter's entry unwoken: that waiter, and its slot, would
// wait for ever.)
bool read_queue_enter(os::z_event* waiter) {
  bool was_empty;
  {
    std::lock_guard<std::mutex> hold(queue_lock);
    was_empty = queue_empty();
    read_queue.waiters[read_queue.tail] = waiter;
    read_queue.tail = next_index(read_queue.tail);
    if (read_queue.tail == read_queue.head) read_queue.full = true;
  }
  if (was_empty) return true;
  if (waiter != nullptr && waiter->created) os::event_wait(*waiter, os::wait_forever);
  return false;
}

void read_queue_leave() {
  std::lock_guard<std::mutex> hold(queue_lock);
  if (queue_empty()) return;
  pop_head();  // the leaving reader's own entry
  if (queue_empty()) return;
  os::z_event* next = read_queue.waiters[read_queue.head];
  if (next != nullptr && next->created) os::event_set(*next);
}

int64_t read_chunk(Z_TRANSFER& t, char* destination, uint64_t size) {
  // Only what is still wanted (a range's bytes), in whole pages.
  uint64_t wanted = (t.remaining + os::page_bytes - 1) & ~(os::page_bytes - 1);
  if (wanted < size) size = wanted;
  if (t.queued) read_queue_enter(t.waiter);
  int64_t count = os::file_read(t.h_file.handle, destination, size);
  uint32_t error = count < 0 ? os::last_error() : 0;
  if (t.queued) read_queue_leave();
  if (count < 0) {
    t.open_result = error;
    char name[1024];
    os::out("!!!! ReadFile(%llu) %u [%s]\n\n", static_cast<unsigned long long>(size), error,
            os::u16_arg(t.path->buffer, name, sizeof name));
    return -1;
  }
  uint64_t read = static_cast<uint64_t>(count);
  if (read > t.remaining) {
    read = t.remaining;
    t.remaining = 0;
  } else {
    t.remaining -= read;
  }
  return static_cast<int64_t>(read);
}

uint32_t open_variants(Z_TRANSFER& t, uint32_t access, uint32_t disposition, uint32_t flags) {
  Z_PATH& path = *t.path;
  const z_open_args args{access, disposition, flags};
  bool info_read = false;
  uint32_t result = open_one(t, t.h_file, args, info_read);
  if (result == 0 && info_read) {
    t.remaining = t.h_file.size;
    t.last_write = t.h_file.last_write;
    t.is_directory = t.h_file.is_directory;
    t.found = true;
  }
  if (!effective.min_gz.load(std::memory_order_relaxed)) return result;
  if (t.is_directory || path.end == path.buffer || path.end[-1] == u'/') return result;
  if (!try_compressed(t, args)) try_minified_or_webp(t, args);
  return result;
}

// Large files are read through the page cache like any other, with
// read-ahead for the long sequential reads; Linux keeps pages read once on
// its inactive list, so one pass over a file does not push a hot set out.
// Only a file large against the machine's memory drops what it has read
// behind it, so that a single stream cannot fill the cache; such a file is
// read through a descriptor of its own.
void choose_read_mode(Z_TRANSFER& t) {
  if (t.remaining <= queued_file_size || t.is_directory || t.range) return;
  t.queued = true;
  if (t.remaining < os::drop_behind_size()) {
    os::file_advise_sequential(t.h_file.handle);
    return;
  }
  if (t.h_file.borrowed) {
    t.h_file.close();
    if (t.h_file.open(t.path->buffer, os::generic_read, os::open_existing, 0) != 0) return;
  }
  t.h_file.handle.flags |= os::flag_no_buffering | os::flag_sequential_scan;
  os::file_advise_sequential(t.h_file.handle);
}

void open_file(Z_TRANSFER& t) {
  Z_PATH& path = *t.path;
  bool index_appended = false;
  if (path.end > path.buffer && path.end[-1] == u'/' && path_has_room(path, 9)) {
    path_append(path, u"index.htm");
    index_appended = true;
  }
  const uint32_t plain_type = path.type;
  for (;;) {
    reset_open_state(t);
    path.type = plain_type;
    t.open_result = open_variants(t, os::generic_read, os::open_existing, 0);
    if (t.found) break;
    if (!next_index_candidate(t, index_appended)) return;
  }
  choose_read_mode(t);
}

bool send_file(Z_TASK& task) {
  Z_REQUEST& request = task.request;
  Z_RESPONSE& response = task.response;
  z_response_guard guard{response, response.path.end, response.path.rest_size};
  Z_TRANSFER t;  // closes h_file on every way out
  t.waiter = &response.file_event;
  t.range = range_requested(request);
  t.accepts_br = request.accepts_br != 0;
  t.accepts_gzip = request.accepts_gzip != 0;
  t.accepts_webp = request.accepts_webp != 0;
  t.path = &response.path;
  t.files = &task.files;
  open_file(t);
  response.encoding_br = t.chosen_br;
  response.encoding_gzip = t.chosen_gzip;
  return transmit(task, t);
}

}  // namespace qm
