#include "os/console.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <string>

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

TEST(ConsoleKeys, OnlyLoneEscapeAndQStop) {
  struct row {
    const char* label;
    std::string keys;
    bool stop;
  };
  const row rows[] = {
      {"escape alone", "\x1b", true},       {"q", "q", true},
      {"Q after other keys", "abQ", true},  {"arrow up", "\x1b[A", false},
      {"function key", "\x1bOP", false},    {"long sequence", "\x1b[15~", false},
      {"arrow then q", "\x1b[Bq", true},    {"escape then a letter", "\x1b" "a", true},
      {"other keys", "abc \n", false},
  };
  for (const row& r : rows) {
    EXPECT_EQ(qm::os::keys_hold_stop(reinterpret_cast<const uint8_t*>(r.keys.data()), r.keys.size()), r.stop)
        << r.label;
  }
}
