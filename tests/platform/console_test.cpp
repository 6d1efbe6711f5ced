#include "platform/console.h"

#include <gtest/gtest.h>

#include <string>

#include "os/console.h"

namespace qm {
namespace {

TEST(PlatformConsole, ColoursFollowTheConsoleRules) {
  struct row {
    const char* label;
    uint16_t requested, saved, want;
  };
  const row rows[] = {
      {"++ on grey on black: white on green", 0x8A, 0x07, 0x2F},
      {"-- on grey on black: white on red", 0x0C, 0x07, 0x4F},
      {"green on black", 0x02, 0x07, 0x0A},
      {"dark red on black", 0x04, 0x07, 0x0C},
      {"white on a blue console, bright", 0x0F, 0x17, 0xF7},
      {"white on a blue console", 0x07, 0x17, 0x7F},
      {"bright cyan on blue", 0x0B, 0x17, 0xB7},
      {"a colour within the console's own", 0x01, 0x17, 0x19},
      {"the same, on green", 0x04, 0x27, 0x2C},
      {"a colour the background lacks", 0x02, 0x10, 0x12},
      {"a colour clear of the background's bits", 0x02, 0x20, 0x22},
  };
  for (const row& r : rows) EXPECT_EQ(colour_for(r.requested, r.saved), r.want) << r.label;
}

TEST(PlatformConsole, AttributeWordsBecomeAnsiColours) {
  char out[32];
  EXPECT_STREQ(os::ansi_colour(0x2F, out, sizeof out), "\033[97;42m") << "bright white on green";
  EXPECT_STREQ(os::ansi_colour(0x4F, out, sizeof out), "\033[97;41m") << "bright white on red";
  EXPECT_STREQ(os::ansi_colour(0x07, out, sizeof out), "\033[37;40m") << "grey on black";
  EXPECT_STREQ(os::ansi_colour(0x91, out, sizeof out), "\033[34;104m") << "blue on bright blue";
  EXPECT_STREQ(os::ansi_colour(0x0E, out, sizeof out), "\033[93;40m") << "yellow: red and green";
}

TEST(PlatformConsole, LogPathIsNamedAfterTheService) {
  char16_t path[log_path_capacity];
  ASSERT_TRUE(build_log_path(path, log_path_capacity, u"marvent.quillmere.8080"));
  EXPECT_EQ(std::u16string(path), u"/var/log/marvent.quillmere.8080.log");
  char16_t small[20];
  EXPECT_FALSE(build_log_path(small, 20, u"marvent.quillmere")) << "does not fit";
  EXPECT_EQ(small[0], 0);
}

}  // namespace
}  // namespace qm
