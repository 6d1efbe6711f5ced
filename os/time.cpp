// Clocks and the FILETIME calendar, computed by hand (proleptic Gregorian,
// no locale and no time zone involved).
#include "os/time.h"

#include <time.h>

namespace qm::os {

namespace {

constexpr int64_t ticks_per_second = 10000000;
constexpr int64_t seconds_per_day = 86400;
constexpr int64_t days_1601_to_1970 = 134774;
constexpr uint64_t ticks_limit = 0x8000000000000000ull;

// Days since 1970-01-01 of a civil date (month 1..12).
int64_t days_from_civil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

// The civil date of a day count since 1970-01-01.
void civil_from_days(int64_t days, int64_t* year, int* month, int* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t shifted_month = (5 * day_of_year + 2) / 153;
  *day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  *month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  *year = year_of_era + era * 400 + (*month <= 2 ? 1 : 0);
}

bool leap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int64_t year, int month0) {
  static const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month0 == 1 && leap(year) ? 29 : lengths[month0];
}

}  // namespace

z_tm utc_now() {
  z_tm now;
  filetime_to_tm(utc_now_filetime(), &now);
  return now;
}

uint64_t utc_now_filetime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return unix_to_filetime(now.tv_sec, now.tv_nsec);
}

bool filetime_to_tm(uint64_t filetime, z_tm* out) {
  if (out == nullptr) return false;
  *out = z_tm{};
  if (filetime >= ticks_limit) return false;
  const int64_t seconds = static_cast<int64_t>(filetime) / ticks_per_second;
  const int64_t days = seconds / seconds_per_day;
  const int64_t second_of_day = seconds % seconds_per_day;
  int64_t year = 0;
  int month = 0;
  int day = 0;
  civil_from_days(days - days_1601_to_1970, &year, &month, &day);
  if (year > 30827) return false;
  out->tm_sec = static_cast<int>(second_of_day % 60);
  out->tm_min = static_cast<int>(second_of_day / 60 % 60);
  out->tm_hour = static_cast<int>(second_of_day / 3600);
  out->tm_mday = day;
  out->tm_mon = month - 1;
  out->tm_year = static_cast<int>(year - 1900);
  out->tm_wday = static_cast<int>((days + 1) % 7);  // 1601-01-01 was a Monday
  return true;
}

bool tm_to_filetime(const z_tm& time, uint64_t* filetime) {
  const int64_t year = static_cast<int64_t>(time.tm_year) + 1900;
  const bool valid = year >= 1601 && year <= 30827 && time.tm_mon >= 0 && time.tm_mon <= 11 &&
                     time.tm_mday >= 1 && time.tm_mday <= days_in_month(year, time.tm_mon < 0 ? 0 : time.tm_mon % 12) &&
                     time.tm_hour >= 0 && time.tm_hour <= 23 && time.tm_min >= 0 && time.tm_min <= 59 &&
                     time.tm_sec >= 0 && time.tm_sec <= 59;
  if (!valid) return false;
  const int64_t days = days_from_civil(year, time.tm_mon + 1, time.tm_mday) + days_1601_to_1970;
  const int64_t seconds = days * seconds_per_day + time.tm_hour * 3600 + time.tm_min * 60 + time.tm_sec;
  if (filetime != nullptr) *filetime = static_cast<uint64_t>(seconds) * ticks_per_second;
  return true;
}

uint64_t unix_to_filetime(int64_t seconds, int64_t nanoseconds) {
  // Seconds far outside the FILETIME range are clamped before they can overflow.
  constexpr int64_t epoch_seconds = static_cast<int64_t>(filetime_unix_epoch / ticks_per_second);
  constexpr int64_t last_seconds = static_cast<int64_t>(ticks_limit / ticks_per_second) - epoch_seconds - 1;
  if (seconds < -epoch_seconds - 1) return 0;
  if (seconds > last_seconds) return ticks_limit - 1;
  const int64_t ticks = (seconds + epoch_seconds) * ticks_per_second + nanoseconds / 100;
  if (ticks < 0) return 0;
  return static_cast<uint64_t>(ticks);
}

int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace qm::os
