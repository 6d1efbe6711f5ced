// Console and log output: one write(2) per message.
#include "os/output.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "os/error.h"
#include "os/text.h"

namespace qm::os {

namespace {

std::atomic<int> out_fd{1};
std::atomic<int> err_fd{2};

constexpr int stack_message = 16384;

// Writes every byte with as few writes as the descriptor allows (a terminal
// or pipe normally takes the whole message at once).
int write_all(int fd, const void* bytes, uint64_t size) {
  const char* p = static_cast<const char*>(bytes);
  uint64_t left = size;
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      set_last_error(static_cast<uint32_t>(errno));
      return -1;
    }
    p += n;
    left -= static_cast<uint64_t>(n);
  }
  return static_cast<int>(size);
}

int vwrite_to(int fd, const char* format, va_list args) {
  char local[stack_message];
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(local, sizeof local, format, copy);
  va_end(copy);
  if (length < 0) return -1;
  if (length < stack_message) return write_all(fd, local, static_cast<uint64_t>(length));
  // A long message (a listing line, a long path) goes through the heap once.
  char* heap = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
  if (heap == nullptr) return write_all(fd, local, stack_message - 1);
  std::vsnprintf(heap, static_cast<size_t>(length) + 1, format, args);
  int result = write_all(fd, heap, static_cast<uint64_t>(length));
  std::free(heap);
  return result;
}

}  // namespace

int vout(const char* format, va_list args) { return vwrite_to(out_fd.load(), format, args); }

int out(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = vwrite_to(out_fd.load(), format, args);
  va_end(args);
  return result;
}

int err(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = vwrite_to(err_fd.load(), format, args);
  va_end(args);
  return result;
}

int out_bytes(const void* bytes, uint64_t size) { return write_all(out_fd.load(), bytes, size); }

int err_bytes(const void* bytes, uint64_t size) { return write_all(err_fd.load(), bytes, size); }

uint32_t print_error(uint32_t error, const char* call_text) {
  char text[256];
  error_text(error, text, sizeof text);
  if (call_text != nullptr)
    out("%s\n   ^ERROR: %u, %s\n", call_text, error, text);
  else
    out("   ^ERROR: %u, %s\n", error, text);
  return error;
}

const char* u16_arg(const char16_t* text, char* out, uint32_t room) {
  if (out == nullptr || room == 0) return "";
  uint32_t at = 0;
  const uint32_t limit = room - 1;
  bool full = false;
  for (const char16_t* p = text; p != nullptr && *p != 0 && !full; ++p) {
    uint32_t cp = *p;
    if (cp >= 0xD800 && cp <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(p[1]) - 0xDC00);
      ++p;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    uint32_t written = encode_utf8(cp, out + at, limit - at);
    if (written == 0) full = true;
    at += written;
  }
  out[at] = 0;
  return out;
}

void set_out_descriptor(int descriptor) { out_fd.store(descriptor); }
int out_descriptor() { return out_fd.load(); }
void set_err_descriptor(int descriptor) { err_fd.store(descriptor); }
int err_descriptor() { return err_fd.load(); }

bool out_is_terminal() { return ::isatty(out_fd.load()) == 1; }
bool is_terminal(int descriptor) { return descriptor >= 0 && ::isatty(descriptor) == 1; }

int open_null() { return ::open("/dev/null", O_WRONLY | O_CLOEXEC); }

void retire_descriptor(int descriptor) {
  if (descriptor <= 2) return;
  int null = open_null();
  if (null < 0) return;
  ::dup3(null, descriptor, O_CLOEXEC);
  ::close(null);
}

}  // namespace qm::os
