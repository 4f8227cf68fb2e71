#include "platform/posix/SignalThread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Error.h"
#include "platform/Thread.h"
#include "platform/posix/PosixError.h"

namespace sys::posix {

bool SignalThread::Start(const sigset_t& signals, std::function<void(int)> onSignal) {
  if (::pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return false;
  m_signalFd.Reset(::signalfd(-1, &signals, SFD_CLOEXEC));
  if (!m_signalFd) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  m_wakeFd.Reset(::eventfd(0, EFD_CLOEXEC));
  if (!m_wakeFd) {
    SetLastErrorFromErrno(errno);
    m_signalFd.Reset();
    return false;
  }
  m_onSignal = std::move(onSignal);
  // StartThread makes the thread with the console, stop and hang-up signals
  // blocked (the only ones handled here), so that until it runs it cannot
  // take one another handler is set up for.
  m_thread = StartThread([this] { Loop(); });
  return true;
}

void SignalThread::Loop() {
  // This thread takes no signal itself; the descriptor receives them.
  sigset_t all;
  sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
  for (;;) {
    pollfd p[2] = {{m_signalFd.Get(), POLLIN, 0}, {m_wakeFd.Get(), POLLIN, 0}};
    int rc = ::poll(p, 2, -1);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents & POLLIN) return;
    if (p[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (::read(m_signalFd.Get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        m_onSignal(static_cast<int>(info.ssi_signo));
      }
    }
  }
}

SignalThread::~SignalThread() {
  if (m_thread.joinable()) {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_wakeFd.Get(), &one, sizeof one);
    m_thread.join();
  }
}

}  // namespace sys::posix
