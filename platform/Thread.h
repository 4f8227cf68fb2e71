#pragma once
// Thread and process identity and sleep. Threads themselves are std::thread.
#include <cstdint>

namespace sys {

std::uint32_t CurrentThreadId();
std::uint32_t CurrentProcessId();
void SleepMs(std::uint32_t ms);
// Milliseconds of a clock that never jumps (GetTickCount64 / CLOCK_MONOTONIC).
std::uint64_t TickCountMs();

}  // namespace sys
