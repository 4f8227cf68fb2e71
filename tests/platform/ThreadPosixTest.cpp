// Threads started through StartThread leave Ctrl+C, Ctrl+Break and the stop
// signals to the thread that handles them: one that took them would end the
// process with the signal's default action.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>

#include "platform/Thread.h"

namespace {

sigset_t OwnMask() {
  sigset_t mask;
  sigemptyset(&mask);
  ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return mask;
}

TEST(StartThread, NewThreadHoldsBackTheConsoleAndStopSignalsItsCreatorKeeps) {
  const sigset_t before = OwnMask();
  sigset_t inThread;
  sigemptyset(&inThread);
  sys::StartThread([&inThread] { inThread = OwnMask(); }).join();
  const sigset_t after = OwnMask();
  for (int signo : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGUSR1}) {
    const bool held = signo != SIGUSR1;
    EXPECT_EQ(sigismember(&inThread, signo) == 1, held || sigismember(&before, signo) == 1) << strsignal(signo);
    EXPECT_EQ(sigismember(&after, signo), sigismember(&before, signo)) << "creator's mask changed: " << strsignal(signo);
  }
}

}  // namespace
