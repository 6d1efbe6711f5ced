// Threads with a small fixed stack, joined (never killed) at the end.
#pragma once
#include <cstdint>

namespace qm::os {

// The stack every server thread gets: one allocation granule (64 KiB). A
// sanitizer build needs more and gets it here only.
uint64_t thread_stack_size(uint64_t requested);

struct thread_handle {
  unsigned long id = 0;  // pthread_t
  bool started = false;
};

using thread_routine = void (*)(void* argument);

// Starts a thread running routine(argument) at once; 0 or the system error.
uint32_t thread_start(thread_handle& thread, uint64_t stack_size, thread_routine routine, void* argument);
// Waits for the thread to end (timeout wait_forever of os/event.h: without
// limit); with a timeout, returns false when it has not
// ended by then (the thread then stays joinable). A joined handle is cleared.
bool thread_join(thread_handle& thread, uint32_t timeout_ms);
// Lets a thread that will never be joined release its resources at its end.
void thread_detach(thread_handle& thread);
bool thread_is_current(const thread_handle& thread);
uint32_t current_thread_id();

void sleep_ms(uint32_t ms);

}  // namespace qm::os
