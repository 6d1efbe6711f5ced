// Events on a mutex and a condition variable.
#include "os/event.h"

#include <chrono>

namespace qm::os {

bool event_create(z_event& event, bool manual_reset, bool initially_set) {
  std::lock_guard<std::mutex> guard(event.lock);
  event.manual_reset = manual_reset;
  event.set_state = initially_set;
  event.closed = false;
  event.created.store(true);
  return true;
}

void event_set(z_event& event) {
  {
    std::lock_guard<std::mutex> guard(event.lock);
    if (event.closed || !event.created.load()) return;
    event.set_state = true;
  }
  // Every waiter of a manual-reset event goes on; of an auto-reset one, the
  // first that takes the lock clears the state and the others sleep again.
  if (event.manual_reset)
    event.changed.notify_all();
  else
    event.changed.notify_one();
}

void event_reset(z_event& event) {
  std::lock_guard<std::mutex> guard(event.lock);
  if (!event.closed) event.set_state = false;
}

wait_result event_wait(z_event& event, uint32_t timeout_ms) {
  std::unique_lock<std::mutex> guard(event.lock);
  if (event.closed || !event.created.load()) return wait_result::failed;
  auto ready = [&event] { return event.set_state || event.closed; };
  if (timeout_ms == wait_forever) {
    event.changed.wait(guard, ready);
  } else {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    if (!event.changed.wait_until(guard, deadline, ready)) return wait_result::timed_out;
  }
  if (event.closed) return wait_result::failed;
  if (!event.manual_reset) event.set_state = false;
  return wait_result::signaled;
}

bool event_test(z_event& event) {
  std::lock_guard<std::mutex> guard(event.lock);
  if (event.closed || !event.created.load() || !event.set_state) return false;
  if (!event.manual_reset) event.set_state = false;
  return true;
}

void event_close(z_event& event) {
  {
    std::lock_guard<std::mutex> guard(event.lock);
    event.created.store(false);
    event.closed = true;
    event.set_state = true;
  }
  event.changed.notify_all();
}

}  // namespace qm::os
