#include "os/console.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "os/event.h"

namespace qm::os {
namespace {

struct seen_events {
  z_event arrived;
  std::atomic<int> last{-1};
};

void note_event(void* context, console_event event) {
  auto* seen = static_cast<seen_events*>(context);
  seen->last = static_cast<int>(event);
  event_set(seen->arrived);
}

TEST(Console, EachWatchedSignalCallsTheCallbackOnceWithItsEvent) {
  block_stop_signals();
  seen_events seen;
  event_create(seen.arrived, false, false);
  ASSERT_TRUE(console_watch_start(note_event, &seen));
  EXPECT_FALSE(console_watch_start(note_event, &seen)) << "one watcher at a time";
  struct {
    const char* label;
    int signal;
    console_event event;
  } rows[] = {{"SIGINT", SIGINT, console_event::interrupt}, {"SIGQUIT", SIGQUIT, console_event::quit},
              {"SIGHUP", SIGHUP, console_event::hangup},    {"SIGTERM", SIGTERM, console_event::terminate},
              {"SIGUSR1", SIGUSR1, console_event::user1},   {"SIGUSR2", SIGUSR2, console_event::user2}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    ASSERT_EQ(::kill(::getpid(), row.signal), 0);
    EXPECT_EQ(event_wait(seen.arrived, 5000), wait_result::signaled);
    EXPECT_EQ(seen.last.load(), static_cast<int>(row.event));
    EXPECT_EQ(event_wait(seen.arrived, 50), wait_result::timed_out) << "one call per signal";
  }
  console_watch_stop();
  ASSERT_TRUE(console_watch_start(note_event, &seen)) << "the watcher starts again after a stop";
  console_watch_stop();
  console_watch_stop();  // a second stop is harmless
  event_close(seen.arrived);
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
