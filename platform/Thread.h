#pragma once
// Thread and process identity and sleep. Threads themselves are std::thread,
// started through StartThread.
#include <cstdint>
#include <thread>
#include <utility>

namespace sys {

std::uint32_t CurrentThreadId();
std::uint32_t CurrentProcessId();
void SleepMs(std::uint32_t ms);
// Milliseconds of a clock that never jumps (GetTickCount64 / CLOCK_MONOTONIC).
std::uint64_t TickCountMs();

// Held by a thread for its whole life, so that a stack overflow on it still
// runs the crash handler: Linux gives it an alternate signal stack of its own
// (when the process's fault handler runs on one and the thread has none yet),
// Windows keeps stack back for the handler.
class CrashStack {
 public:
  CrashStack();
  ~CrashStack();
  CrashStack(const CrashStack&) = delete;
  CrashStack& operator=(const CrashStack&) = delete;

 private:
  void* m_stack = nullptr;
};

// Every thread of the system starts here: body runs with a CrashStack.
// Throws std::system_error as std::thread does.
template <typename Body>
std::thread StartThread(Body body) {
  return std::thread([body = std::move(body)]() mutable {
    CrashStack stack;
    body();
  });
}

}  // namespace sys
