// Ctrl+C and Ctrl+Break as SIGINT and SIGQUIT, received on their own thread.
#include "platform/ConsoleControl.h"

#include <signal.h>

#include "platform/posix/SignalThread.h"

namespace sys {

struct ConsoleControlHandler::Impl {
  posix::SignalThread thread;
};

ConsoleControlHandler::ConsoleControlHandler() = default;
ConsoleControlHandler::~ConsoleControlHandler() = default;

bool ConsoleControlHandler::Register(std::function<bool(std::uint32_t)> handler) {
  if (m_impl) return false;
  m_impl = std::make_unique<Impl>();
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  return m_impl->thread.Start(set, [handler = std::move(handler)](int signo) {
    std::uint32_t type = signo == SIGINT ? kCtrlCEvent : kCtrlBreakEvent;
    if (!handler(type)) {
      // Not handled: the default action of the signal (the process ends).
      ::signal(signo, SIG_DFL);
      sigset_t one;
      sigemptyset(&one);
      sigaddset(&one, signo);
      ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
      ::raise(signo);
    }
  });
}

}  // namespace sys
