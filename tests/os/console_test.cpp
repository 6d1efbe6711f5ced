#include "os/console.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include "os/event.h"

namespace qm::os {
namespace {

void count_stop(void* context) { event_set(*static_cast<z_event*>(context)); }

TEST(Console, EachStopSignalCallsTheCallbackOnce) {
  block_stop_signals();
  z_event stopped;
  event_create(stopped, false, false);
  ASSERT_TRUE(console_watch_start(count_stop, &stopped));
  EXPECT_FALSE(console_watch_start(count_stop, &stopped)) << "one watcher at a time";
  struct {
    const char* label;
    int signal;
  } rows[] = {{"SIGINT", SIGINT}, {"SIGQUIT", SIGQUIT}, {"SIGHUP", SIGHUP}, {"SIGTERM", SIGTERM}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    ASSERT_EQ(::kill(::getpid(), row.signal), 0);
    EXPECT_EQ(event_wait(stopped, 5000), wait_result::signaled);
    EXPECT_EQ(event_wait(stopped, 50), wait_result::timed_out) << "one call per signal";
  }
  console_watch_stop();
  ASSERT_TRUE(console_watch_start(count_stop, &stopped)) << "the watcher starts again after a stop";
  console_watch_stop();
  console_watch_stop();  // a second stop is harmless
  event_close(stopped);
  set_process_locale("C");
}

}  // namespace
}  // namespace qm::os
