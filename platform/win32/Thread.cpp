#include "platform/Thread.h"

#include "platform/win32/WinHeaders.h"

namespace sys {

std::uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

std::uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

void SleepMs(std::uint32_t ms) { Sleep(ms); }

std::uint64_t TickCountMs() { return GetTickCount64(); }

// What a stack overflow leaves to the unhandled-exception filter.
CrashStack::CrashStack() {
  ULONG guarantee = 64 * 1024;
  ::SetThreadStackGuarantee(&guarantee);
}

CrashStack::~CrashStack() = default;

ThreadStartMask::ThreadStartMask() = default;
ThreadStartMask::~ThreadStartMask() = default;

}  // namespace sys
