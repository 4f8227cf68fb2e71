#include "platform/Time.h"

#include <ctime>

namespace sys {

LocalTime NowLocal() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  localtime_r(&now.tv_sec, &parts);
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                   parts.tm_min,         parts.tm_sec > 59 ? 59 : parts.tm_sec,
                   static_cast<int>(now.tv_nsec / 1000000)};
}

void NowEpoch(std::int64_t& seconds, std::uint16_t& milliseconds) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  seconds = static_cast<std::int64_t>(now.tv_sec);
  milliseconds = static_cast<std::uint16_t>(now.tv_nsec / 1000000);
}

}  // namespace sys
