#include "os/thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "os/event.h"

namespace qm::os {
namespace {

struct gated_work {
  z_event gate;
  std::atomic<uint32_t> thread_id{0};
  std::atomic<bool> finished{false};
};

void run_after_gate(void* argument) {
  auto* work = static_cast<gated_work*>(argument);
  work->thread_id.store(current_thread_id());
  event_wait(work->gate, wait_forever);
  work->finished.store(true);
}

TEST(Thread, StackIsOneGranuleOutsideSanitizerBuilds) {
#ifndef QM_SANITIZER_BUILD
  EXPECT_EQ(thread_stack_size(65536), 65536u);
  EXPECT_EQ(thread_stack_size(0), 65536u);
#endif
  EXPECT_EQ(thread_stack_size(3 * 1024 * 1024), 3u * 1024 * 1024);
}

TEST(Thread, TimedJoinWaitsForTheEnd) {
  gated_work work;
  event_create(work.gate, true, false);
  thread_handle thread;
  ASSERT_EQ(thread_start(thread, 65536, run_after_gate, &work), 0u);
  EXPECT_TRUE(thread.started);
  EXPECT_FALSE(thread_join(thread, 0));
  EXPECT_FALSE(thread_join(thread, 50));
  EXPECT_TRUE(thread.started);  // still joinable
  EXPECT_FALSE(thread_is_current(thread));
  event_set(work.gate);
  EXPECT_TRUE(thread_join(thread, 5000));
  EXPECT_TRUE(work.finished.load());
  EXPECT_NE(work.thread_id.load(), current_thread_id());
  EXPECT_FALSE(thread.started);
  EXPECT_EQ(thread.id, 0u);
  EXPECT_TRUE(thread_join(thread, wait_forever));  // a cleared handle has nothing to wait for
}

TEST(Thread, DetachedThreadRunsToItsEnd) {
  gated_work work;
  event_create(work.gate, true, true);
  thread_handle thread;
  ASSERT_EQ(thread_start(thread, 65536, run_after_gate, &work), 0u);
  thread_detach(thread);
  EXPECT_FALSE(thread.started);
  for (int i = 0; i < 400 && !work.finished.load(); ++i) sleep_ms(5);
  EXPECT_TRUE(work.finished.load());
  sleep_ms(10);  // let it leave before the record goes away
}

}  // namespace
}  // namespace qm::os
