#include "platform/Time.h"

#include "platform/win32/WinHeaders.h"

namespace sys {

LocalTime NowLocal() {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

void NowEpoch(std::int64_t& seconds, std::uint16_t& milliseconds) {
  FILETIME ft{};
  GetSystemTimeAsFileTime(&ft);
  // 100 ns units since 1601-01-01; the epoch is 11644473600 s later.
  const std::uint64_t ticks = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  const std::uint64_t ms = ticks / 10000u - 11644473600000ull;
  seconds = static_cast<std::int64_t>(ms / 1000u);
  milliseconds = static_cast<std::uint16_t>(ms % 1000u);
}

}  // namespace sys
