#pragma once
// Internal to the POSIX backend: receives a set of signals on a thread of its
// own (signalfd), so that the steps they trigger may lock and log.
#include <signal.h>

#include <functional>
#include <thread>

#include "platform/posix/UniqueFd.h"

namespace sys::posix {

class SignalThread {
 public:
  SignalThread() = default;
  ~SignalThread();
  SignalThread(const SignalThread&) = delete;
  SignalThread& operator=(const SignalThread&) = delete;

  // Blocks the signals in the calling thread (and so in every thread it
  // starts later) and calls onSignal(signo) on the thread for each one.
  // False with the error in LastError().
  bool Start(const sigset_t& signals, std::function<void(int)> onSignal);

 private:
  void Loop();
  UniqueFd m_signalFd;
  UniqueFd m_wakeFd;
  std::function<void(int)> m_onSignal;
  std::thread m_thread;
};

}  // namespace sys::posix
