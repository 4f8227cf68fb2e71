#pragma once
// Running a piece of a test as another, unprivileged user (the tests run as
// root): a forked child that drops to the user before it runs.
#include <grp.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <termios.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace zoltest {

// The conventional unprivileged user "nobody".
inline constexpr uid_t kNobody = 65534;

// Starts fn in a child process as uid (and the same gid): its pid, or -1.
// The child's exit code is fn's result, 125 when the user could not be taken
// on. Fork only while the test process runs no other threads of its own.
inline pid_t StartAsUser(uid_t uid, const std::function<int()>& fn) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (uid != ::geteuid() && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(125);
    ::_exit(fn());
  }
  return pid;
}

// The exit code of a child StartAsUser started, or -1 when it did not end
// within the limit (it is killed) or was killed.
inline int WaitUserChild(pid_t pid, int timeoutMs = kDeadlineMs) {
  if (pid < 0) return -1;
  int status = 0;
  if (!WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs fn in a child process as uid (see StartAsUser) and waits for it.
inline int RunAsUser(uid_t uid, const std::function<int()>& fn, int timeoutMs = kDeadlineMs) {
  return WaitUserChild(StartAsUser(uid, fn), timeoutMs);
}

// The same as nobody.
inline int RunAsOtherUser(const std::function<int()>& fn, int timeoutMs = kDeadlineMs) {
  return RunAsUser(kNobody, fn, timeoutMs);
}

// Opens, configures and writes a serial port as nobody with these
// supplementary groups, as an application does; 0 or the errno of the first
// step that failed.
inline int OpenPortAsNobody(const std::string& port, const std::vector<gid_t>& groups) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) _exit(100);
    int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) _exit(errno);
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) _exit(errno);
    ::cfsetspeed(&tio, B9600);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) _exit(errno);
    if (::write(fd, "hi", 2) != 2) _exit(errno);
    _exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace zoltest
