#pragma once
#include <cstdint>

namespace sys {

struct LocalTime {
  int year;         // e.g. 2026
  int month;        // 1..12
  int day;          // 1..31
  int hour;         // 0..23
  int minute;       // 0..59
  int second;       // 0..59
  int millisecond;  // 0..999
};

// The current local time with milliseconds.
LocalTime NowLocal();
// Seconds since the epoch and the milliseconds of the current time.
void NowEpoch(std::int64_t& seconds, std::uint16_t& milliseconds);

}  // namespace sys
