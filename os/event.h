// Events in the manner of the server's design: auto-reset or manual-reset,
// waited on with a timeout, tested without waiting, and closed so that every
// waiter is released.
//
// An event lives inside the record that holds it; closing marks it not created
// and sets it, so a waiter still inside its wait returns instead of sleeping
// on storage that is about to go away. Built on a mutex and a condition
// variable, which the thread sanitizer understands.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace qm::os {

inline constexpr uint32_t wait_forever = 0xFFFFFFFFu;

enum class wait_result { signaled, timed_out, failed };

struct z_event {
  std::mutex lock;
  std::condition_variable changed;
  bool set_state = false;
  bool manual_reset = false;
  bool closed = false;
  std::atomic<bool> created{false};
};

// Makes the event usable; returns true (the created flag is set).
bool event_create(z_event& event, bool manual_reset, bool initially_set);
// Sets the event: one waiter of an auto-reset event, every waiter of a
// manual-reset one, goes on. No effect on an event that was never created.
void event_set(z_event& event);
void event_reset(z_event& event);
// Waits until the event is set (an auto-reset event is then cleared again),
// the timeout passes, or the event is closed (failed).
wait_result event_wait(z_event& event, uint32_t timeout_ms);
// Like a wait of 0 ms: true when the event was set (and, for auto-reset, is
// now cleared).
bool event_test(z_event& event);
// Marks the event not created, sets it and releases every waiter; later waits
// fail at once. Safe to call more than once.
void event_close(z_event& event);

}  // namespace qm::os
