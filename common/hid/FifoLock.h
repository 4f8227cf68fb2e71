#pragma once
// A lock granted in the order it was asked for, whose waits can be called off.
// The status cycle takes the device-list lock again right after releasing it;
// with an unfair lock a waiting re-enumeration could lose every time.
#include <condition_variable>
#include <cstdint>
#include <mutex>

class FifoLock {
 public:
  // Waits for the lock; false (not held) once Close was called.
  bool Acquire();
  void Release();
  // Calls off every wait, present and future.
  void Close();
  // Threads waiting for the lock (for tests).
  std::uint64_t Waiting() const;

 private:
  mutable std::mutex m_lock;
  std::condition_variable m_turn;
  std::uint64_t m_next = 0;     // next ticket to hand out
  std::uint64_t m_serving = 0;  // ticket whose turn it is
  bool m_held = false;
  bool m_closed = false;
};
