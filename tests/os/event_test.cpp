#include "os/event.h"

#include <gtest/gtest.h>

#include <atomic>

#include "os/thread.h"
#include "os/time.h"

namespace qm::os {
namespace {

struct waiter_pool {
  z_event* event = nullptr;
  std::atomic<int> released{0};
  std::atomic<int> failed{0};
};

void wait_and_count(void* argument) {
  auto* pool = static_cast<waiter_pool*>(argument);
  wait_result result = event_wait(*pool->event, wait_forever);
  if (result == wait_result::failed) pool->failed.fetch_add(1);
  pool->released.fetch_add(1);
}

// Polls until count reaches want or two seconds pass.
bool reaches(const std::atomic<int>& count, int want) {
  for (int i = 0; i < 400 && count.load() < want; ++i) sleep_ms(5);
  return count.load() >= want;
}

TEST(Event, TestWithoutWaitingClearsOnlyAutoReset) {
  struct row {
    const char* name;
    bool manual;
    bool second_test;
  } rows[] = {{"auto-reset", false, false}, {"manual-reset", true, true}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    z_event event;
    ASSERT_TRUE(event_create(event, r.manual, false));
    EXPECT_FALSE(event_test(event));
    event_set(event);
    EXPECT_TRUE(event_test(event));
    EXPECT_EQ(event_test(event), r.second_test);
    event_reset(event);
    EXPECT_FALSE(event_test(event));
    event_set(event);
    EXPECT_EQ(event_wait(event, 0), wait_result::signaled);
    EXPECT_EQ(event_wait(event, 0), r.manual ? wait_result::signaled : wait_result::timed_out);
  }
}

TEST(Event, InitiallySetAndTimeout) {
  z_event event;
  event_create(event, false, true);
  EXPECT_EQ(event_wait(event, wait_forever), wait_result::signaled);
  int64_t start = monotonic_ns();
  EXPECT_EQ(event_wait(event, 30), wait_result::timed_out);
  EXPECT_GE(monotonic_ns() - start, 29 * 1000000LL);
  event_close(event);
}

TEST(Event, AutoResetReleasesOneWaiterPerSet) {
  z_event event;
  event_create(event, false, false);
  waiter_pool pool;
  pool.event = &event;
  thread_handle threads[3];
  for (auto& t : threads) ASSERT_EQ(thread_start(t, 65536, wait_and_count, &pool), 0u);
  event_set(event);
  ASSERT_TRUE(reaches(pool.released, 1));
  sleep_ms(50);
  EXPECT_EQ(pool.released.load(), 1);
  event_set(event);
  ASSERT_TRUE(reaches(pool.released, 2));
  sleep_ms(50);
  EXPECT_EQ(pool.released.load(), 2);
  event_close(event);
  for (auto& t : threads) EXPECT_TRUE(thread_join(t, wait_forever));
  EXPECT_EQ(pool.failed.load(), 1);
}

TEST(Event, ManualResetReleasesEveryWaiter) {
  z_event event;
  event_create(event, true, false);
  waiter_pool pool;
  pool.event = &event;
  thread_handle threads[4];
  for (auto& t : threads) ASSERT_EQ(thread_start(t, 65536, wait_and_count, &pool), 0u);
  event_set(event);
  for (auto& t : threads) EXPECT_TRUE(thread_join(t, wait_forever));
  EXPECT_EQ(pool.released.load(), 4);
  EXPECT_EQ(pool.failed.load(), 0);
  EXPECT_TRUE(event_test(event));
}

TEST(Event, CloseReleasesEveryWaiterAndLaterWaitsFail) {
  z_event event;
  event_create(event, false, false);
  waiter_pool pool;
  pool.event = &event;
  thread_handle threads[4];
  for (auto& t : threads) ASSERT_EQ(thread_start(t, 65536, wait_and_count, &pool), 0u);
  sleep_ms(20);
  event_close(event);
  for (auto& t : threads) EXPECT_TRUE(thread_join(t, 2000));
  EXPECT_EQ(pool.released.load(), 4);
  EXPECT_EQ(pool.failed.load(), 4);
  EXPECT_FALSE(event.created.load());
  EXPECT_EQ(event_wait(event, wait_forever), wait_result::failed);
  EXPECT_FALSE(event_test(event));
  event_set(event);  // no effect, no hang
  event_close(event);
  EXPECT_EQ(event_wait(event, 10), wait_result::failed);
}

TEST(Event, NeverCreatedIsNeitherWaitedOnNorSet) {
  z_event event;
  event_set(event);
  EXPECT_EQ(event_wait(event, wait_forever), wait_result::failed);
  EXPECT_FALSE(event_test(event));
}

}  // namespace
}  // namespace qm::os
