#include "os/time.h"

#include <gtest/gtest.h>

namespace qm::os {
namespace {

constexpr uint64_t ticks_per_second = 10000000ull;

TEST(Time, KnownInstantsBothWays) {
  struct row {
    const char* name;
    uint64_t filetime;
    int year, month, day, hour, minute, second, weekday;
  } rows[] = {
      {"1601-01-01 (Monday)", 0, 1601, 1, 1, 0, 0, 0, 1},
      {"1970-01-01 (Thursday)", 116444736000000000ull, 1970, 1, 1, 0, 0, 0, 4},
      {"2021-12-08 00:54:35 (Wednesday)", 116444736000000000ull + 1638924875ull * ticks_per_second, 2021, 12, 8, 0,
       54, 35, 3},
      {"2000-02-29 (leap day, Tuesday)", 116444736000000000ull + 951782400ull * ticks_per_second, 2000, 2, 29, 0, 0, 0,
       2},
      {"1900-03-01 (after a non-leap century, Thursday)", 94405824000000000ull, 1900, 3, 1, 0, 0, 0, 4},
      {"10000-01-01 (Saturday)", 2650467744000000000ull, 10000, 1, 1, 0, 0, 0, 6},
      {"30827-12-31 23:59:59 (last whole second)", 9223149887990000000ull, 30827, 12, 31, 23, 59, 59, 5},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    z_tm tm;
    ASSERT_TRUE(filetime_to_tm(r.filetime + 1234567, &tm));  // sub-second ticks are dropped
    EXPECT_EQ(tm.tm_year, r.year - 1900);
    EXPECT_EQ(tm.tm_mon, r.month - 1);
    EXPECT_EQ(tm.tm_mday, r.day);
    EXPECT_EQ(tm.tm_hour, r.hour);
    EXPECT_EQ(tm.tm_min, r.minute);
    EXPECT_EQ(tm.tm_sec, r.second);
    EXPECT_EQ(tm.tm_wday, r.weekday);
    uint64_t back = 1;
    ASSERT_TRUE(tm_to_filetime(tm, &back));
    EXPECT_EQ(back, r.filetime);
  }
}

TEST(Time, RejectsWhatCannotBeRepresented) {
  z_tm tm;
  tm.tm_year = 5;
  EXPECT_FALSE(filetime_to_tm(0x8000000000000000ull, &tm));
  EXPECT_EQ(tm.tm_year, 0);
  EXPECT_FALSE(filetime_to_tm(0x7FFFFFFFFFFFFFFFull, &tm));  // in the year 30828

  struct row {
    const char* name;
    z_tm time;
  } bad[] = {
      {"1600-12-31", {0, 0, 0, 31, 11, -300, 0}},
      {"2021-02-29", {0, 0, 0, 29, 1, 121, 0}},
      {"1900-02-29", {0, 0, 0, 29, 1, 0, 0}},
      {"month 12", {0, 0, 0, 1, 12, 121, 0}},
      {"day 0", {0, 0, 0, 0, 0, 121, 0}},
      {"hour 24", {0, 0, 24, 1, 0, 121, 0}},
      {"second 60", {60, 0, 0, 1, 0, 121, 0}},
      {"year 30828", {0, 0, 0, 1, 0, 30828 - 1900, 0}},
  };
  for (const row& r : bad) {
    SCOPED_TRACE(r.name);
    uint64_t out = 7;
    EXPECT_FALSE(tm_to_filetime(r.time, &out));
  }
  z_tm leap{0, 0, 0, 29, 1, 100, 0};  // 2000-02-29 is valid
  EXPECT_TRUE(tm_to_filetime(leap, nullptr));
}

TEST(Time, UnixToFiletimeClampsBefore1601) {
  EXPECT_EQ(unix_to_filetime(0, 0), filetime_unix_epoch);
  EXPECT_EQ(unix_to_filetime(1, 500), filetime_unix_epoch + ticks_per_second + 5);
  EXPECT_EQ(unix_to_filetime(-11644473600LL, 0), 0u);
  EXPECT_EQ(unix_to_filetime(-11644473601LL, 0), 0u);
  EXPECT_EQ(unix_to_filetime(INT64_MIN, 0), 0u);
  EXPECT_EQ(unix_to_filetime(-1, 0), filetime_unix_epoch - ticks_per_second);
}

TEST(Time, ClocksMove) {
  uint64_t now = utc_now_filetime();
  EXPECT_GT(now, unix_to_filetime(1700000000, 0));
  z_tm tm = utc_now();
  EXPECT_GE(tm.tm_year, 123);
  int64_t a = monotonic_ns();
  EXPECT_LE(a, monotonic_ns());
}

}  // namespace
}  // namespace qm::os
