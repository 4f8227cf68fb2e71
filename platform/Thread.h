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

// While it lives, the calling thread holds back the signals a new thread
// must never take: Ctrl+C, Ctrl+Break, the stop and the hang-up signal. A
// thread inherits its creator's mask, so every thread started meanwhile
// leaves them to the thread that handles them (or to the main thread and
// their default action). Nothing on Windows, where they are no signals.
class ThreadStartMask {
 public:
  ThreadStartMask();
  ~ThreadStartMask();
  ThreadStartMask(const ThreadStartMask&) = delete;
  ThreadStartMask& operator=(const ThreadStartMask&) = delete;

 private:
  alignas(8) unsigned char m_saved[128];  // the creator's own mask
};

// Every thread of the system starts here: body runs with a CrashStack and
// without the console and stop signals. Throws std::system_error as
// std::thread does.
template <typename Body>
std::thread StartThread(Body body) {
  ThreadStartMask mask;
  return std::thread([body = std::move(body)]() mutable {
    CrashStack stack;
    body();
  });
}

}  // namespace sys
