// libFuzzer driver for the request parser. Every test run replays the
// corpus through it (replay_main.cpp); the fuzzer itself is built with
// clang in a build folder of its own (README, "Fuzzing"):
//   CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DQM_FUZZ=ON
//   cmake --build build-fuzz --target request_fuzz
//   build-fuzz/request_fuzz -dict=tests/fuzz/request.dict tests/fuzz/request_corpus
// The first input byte chooses where the request is split into two receives;
// the rest is the request, placed so that its NUL is the last byte before a
// PROT_NONE page. A split must give the same result as the whole request.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "http/request.h"

namespace {

constexpr size_t kMaxInput = 12 * 1024;

char* buffer_end() {
  static char* end = [] {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t data = (kMaxInput + 64 + page) / page * page;
    void* p = mmap(nullptr, data + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    char* guard = static_cast<char*>(p) + data;
    if (mprotect(guard, page, PROT_NONE) != 0) std::abort();
    return guard;
  }();
  return end;
}

long offset(const char* p, const char* start) { return p ? p - start : -1; }

bool same(const qm::Z_REQUEST& a, const qm::Z_REQUEST& b, const char* start) {
  return a.complete == b.complete && a.valid == b.valid && a.method_not_allowed == b.method_not_allowed &&
         a.version == b.version && a.target_size == b.target_size && a.path_size == b.path_size &&
         a.content_length == b.content_length && a.body_in_buffer == b.body_in_buffer &&
         offset(a.target, start) == offset(b.target, start) && offset(a.query, start) == offset(b.query, start) &&
         offset(a.host, start) == offset(b.host, start) && offset(a.body_start, start) == offset(b.body_start, start) &&
         a.range_start == b.range_start && a.range_end == b.range_end && a.keep_alive == b.keep_alive;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size - 1 > kMaxInput) return 0;
  const char* text = reinterpret_cast<const char*>(data + 1);
  size_t n = size - 1;
  char* end = buffer_end();
  char* start = end - 1 - n;

  std::memcpy(start, text, n);
  start[n] = '\0';
  qm::Z_REQUEST whole;
  qm::clear_request(whole);
  qm::parse_request(whole, start, n, end);
  if (!whole.complete && whole.resume_end != start + n && whole.resume_end != nullptr) std::abort();

  size_t cut = n ? data[0] % (n + 1) : 0;
  std::memcpy(start, text, cut);
  start[cut] = '\0';
  qm::Z_REQUEST split;
  qm::clear_request(split);
  qm::parse_request(split, start, cut, end);
  if (!split.complete && split.resume_end) {
    if (split.resume_end != start + cut) std::abort();
    std::memcpy(start + cut, text + cut, n - cut);
    start[n] = '\0';
    qm::parse_request(split, start, n, end);
  } else if (cut < n) {
    return 0;  // a verdict on the first part; the whole request may differ after it
  }
  if (!same(whole, split, start)) std::abort();
  return 0;
}
