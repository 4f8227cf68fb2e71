#pragma once
// The one deadline wait of the tests, on every platform: polls a condition
// until it holds or the limit passes.
#include <chrono>
#include <functional>
#include <thread>

namespace zoltest {

using Clock = std::chrono::steady_clock;

// The usual limit for a condition the test waits for.
constexpr int kDeadlineMs = 20000;
constexpr std::chrono::milliseconds kDeadline{kDeadlineMs};

// The last answer of cond: true once it held within limit.
inline bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit = kDeadline,
                    std::chrono::milliseconds interval = std::chrono::milliseconds(5)) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(interval);
  }
  return cond();
}
inline bool WaitFor(const std::function<bool()>& cond, int timeoutMs) {
  return WaitFor(cond, std::chrono::milliseconds(timeoutMs));
}

// What is left until end, for poll(), never below zero.
inline int MillisecondsLeft(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace zoltest
