#include "platform/Thread.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <ctime>

namespace sys {

namespace {

// Room for the crash handler (its backtrace included), and a guard page below.
constexpr std::size_t kCrashStackBytes = 64 * 1024;
constexpr std::size_t kGuardBytes = 4096;

}  // namespace

CrashStack::CrashStack() {
  // Only a process whose fault handler asks for it needs one (the log service has none).
  struct sigaction fault {};
  if (::sigaction(SIGSEGV, nullptr, &fault) != 0 || !(fault.sa_flags & SA_ONSTACK)) return;
  stack_t current{};
  if (::sigaltstack(nullptr, &current) != 0 || !(current.ss_flags & SS_DISABLE)) return;  // one is there
  void* area = ::mmap(nullptr, kGuardBytes + kCrashStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (area == MAP_FAILED) return;
  ::mprotect(area, kGuardBytes, PROT_NONE);
  stack_t ss{};
  ss.ss_sp = static_cast<char*>(area) + kGuardBytes;
  ss.ss_size = kCrashStackBytes;
  if (::sigaltstack(&ss, nullptr) != 0) {
    ::munmap(area, kGuardBytes + kCrashStackBytes);
    return;
  }
  m_stack = area;
}

CrashStack::~CrashStack() {
  if (!m_stack) return;
  stack_t off{};
  off.ss_flags = SS_DISABLE;
  ::sigaltstack(&off, nullptr);
  ::munmap(m_stack, kGuardBytes + kCrashStackBytes);
}

ThreadStartMask::ThreadStartMask() {
  static_assert(sizeof(sigset_t) <= sizeof(m_saved));
  sigset_t held;
  sigemptyset(&held);
  for (int signo : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) sigaddset(&held, signo);
  ::pthread_sigmask(SIG_BLOCK, &held, reinterpret_cast<sigset_t*>(m_saved));
}

ThreadStartMask::~ThreadStartMask() { ::pthread_sigmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(m_saved), nullptr); }

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(syscall(SYS_gettid)); }

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(getpid()); }

void SleepMs(std::uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

std::uint64_t TickCountMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace sys
