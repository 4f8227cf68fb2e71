#pragma once
// Runs a piece of a test as a second, unprivileged user (the tests run as
// root): a forked child drops to nobody's user and group, runs body and exits
// with its result.
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "tests/support/TestSupport.h"

namespace zoltest {

inline constexpr uid_t kOtherUid = 65534;
inline constexpr gid_t kOtherGid = 65534;

// body's exit code (0..255) in the child, 254 when the user could not be
// taken, -1 when the child did not end within the deadline (it is killed).
inline int RunAsOtherUser(const std::function<int()>& body, int timeoutMs = kDeadlineMs) {
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kOtherGid) != 0 || ::setuid(kOtherUid) != 0) ::_exit(254);
    ::_exit(body() & 0xFF);
  }
  int status = 0;
  const bool ended = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; },
                             std::chrono::milliseconds(timeoutMs));
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace zoltest
