// Threads on pthreads with a small fixed stack.
#include "os/thread.h"

#include <limits.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <new>

#include "os/error.h"

namespace qm::os {

static_assert(sizeof(unsigned long) == sizeof(pthread_t), "thread_handle.id holds a pthread_t");

namespace {

#ifdef QM_SANITIZER_BUILD
// The sanitizers' own frames and shadow bookkeeping need far more than a
// granule; this build only.
constexpr uint64_t minimum_stack = 1024 * 1024;
#else
constexpr uint64_t minimum_stack = 65536;
#endif

struct start_record {
  thread_routine routine;
  void* argument;
};

void* trampoline(void* record_pointer) {
  start_record record = *static_cast<start_record*>(record_pointer);
  delete static_cast<start_record*>(record_pointer);
  record.routine(record.argument);
  return nullptr;
}

timespec deadline_after(uint32_t ms) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  now.tv_sec += ms / 1000;
  now.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (now.tv_nsec >= 1000000000L) {
    now.tv_sec += 1;
    now.tv_nsec -= 1000000000L;
  }
  return now;
}

}  // namespace

uint64_t thread_stack_size(uint64_t requested) {
  uint64_t size = requested < minimum_stack ? minimum_stack : requested;
  if (size < static_cast<uint64_t>(PTHREAD_STACK_MIN)) size = static_cast<uint64_t>(PTHREAD_STACK_MIN);
  return (size + 65535) / 65536 * 65536;
}

uint32_t thread_start(thread_handle& thread, uint64_t stack_size, thread_routine routine, void* argument) {
  auto* record = new (std::nothrow) start_record{routine, argument};
  if (record == nullptr) return ENOMEM;
  pthread_attr_t attributes;
  int result = pthread_attr_init(&attributes);
  if (result == 0) {
    result = pthread_attr_setstacksize(&attributes, thread_stack_size(stack_size));
    pthread_t id{};
    if (result == 0) result = pthread_create(&id, &attributes, trampoline, record);
    pthread_attr_destroy(&attributes);
    if (result == 0) {
      thread.id = id;
      thread.started = true;
      return 0;
    }
  }
  delete record;
  set_last_error(static_cast<uint32_t>(result));
  return static_cast<uint32_t>(result);
}

bool thread_join(thread_handle& thread, uint32_t timeout_ms) {
  if (!thread.started) return true;  // nothing runs: nothing to wait for
  auto id = static_cast<pthread_t>(thread.id);
  int result;
  if (timeout_ms == 0xFFFFFFFFu) {
    result = pthread_join(id, nullptr);
  } else if (timeout_ms == 0) {
    result = pthread_tryjoin_np(id, nullptr);
  } else {
    timespec deadline = deadline_after(timeout_ms);
    result = pthread_timedjoin_np(id, nullptr, &deadline);
  }
  if (result != 0) {
    set_last_error(static_cast<uint32_t>(result));
    return false;
  }
  thread = thread_handle{};
  return true;
}

void thread_detach(thread_handle& thread) {
  if (!thread.started) return;
  pthread_detach(static_cast<pthread_t>(thread.id));
  thread = thread_handle{};
}

bool thread_is_current(const thread_handle& thread) {
  return thread.started && pthread_equal(static_cast<pthread_t>(thread.id), pthread_self()) != 0;
}

uint32_t current_thread_id() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

void sleep_ms(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace qm::os
