#include "platform/posix/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/PosixError.h"
#include "platform/posix/UniqueFd.h"

extern char** environ;

namespace sys::posix {
namespace {

std::int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

ChildResult RunChild(const std::vector<std::string>& argv, std::uint32_t timeoutMs, bool withErrors) {
  ChildResult result;
  if (argv.empty()) {
    result.error = kErrorInvalidParameter;
    return result;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    result.error = SetLastErrorFromErrno(errno);
    return result;
  }
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), 1);
  if (withErrors) posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), 2);
  else posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    result.error = SetLastErrorFromErrno(rc);
    return result;
  }
  result.started = true;
  writeEnd.Reset();

  const std::int64_t deadline = NowMs() + timeoutMs;
  char buffer[4096];
  for (;;) {
    std::int64_t left = deadline - NowMs();
    if (left <= 0) {
      result.timedOut = true;
      break;
    }
    pollfd p{readEnd.Get(), POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    ssize_t got = read(readEnd.Get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // end of output: the program closed it (usually: ended)
    if (result.output.size() < 65536) result.output.append(buffer, static_cast<size_t>(got));
  }

  int status = 0;
  if (result.timedOut) {
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return result;
  }
  // The output is closed; the program may still be ending.
  for (;;) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (w < 0 && errno != EINTR) break;
    if (NowMs() >= deadline) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      result.timedOut = true;
      return result;
    }
    struct timespec pause {0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

}  // namespace sys::posix
