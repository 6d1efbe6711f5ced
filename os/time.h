// Clocks and the conversions between FILETIME and broken-down UTC time.
//
// A FILETIME counts 100 ns units since 1601-01-01 00:00 UTC, as the server's
// file times and dates are kept.
#pragma once
#include <cstdint>

namespace qm::os {

// Broken-down UTC time with the usual fields.
struct z_tm {
  int tm_sec = 0;
  int tm_min = 0;
  int tm_hour = 0;
  int tm_mday = 0;
  int tm_mon = 0;   // 0..11
  int tm_year = 0;  // years since 1900
  int tm_wday = 0;  // 0 = Sunday
};

inline constexpr uint64_t filetime_unix_epoch = 116444736000000000ull;  // 1970-01-01

// The system clock in UTC, whole seconds, broken down.
z_tm utc_now();
uint64_t utc_now_filetime();
// FILETIME to broken-down UTC; false (out zeroed) for values the conversion
// cannot represent (at or above 2^63) or years beyond 30827.
bool filetime_to_tm(uint64_t filetime, z_tm* out);
// Broken-down UTC to FILETIME; false when it lies before 1601 or is invalid.
bool tm_to_filetime(const z_tm& time, uint64_t* filetime);
// Seconds and nanoseconds since 1970 (may be negative) to FILETIME; times
// before 1601 become 0.
uint64_t unix_to_filetime(int64_t seconds, int64_t nanoseconds);

// The monotonic counter in nanoseconds.
int64_t monotonic_ns();

}  // namespace qm::os
