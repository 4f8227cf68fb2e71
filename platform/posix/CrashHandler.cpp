// Fatal signals write a text crash report: signal, fault address, thread and
// backtrace, never memory contents. Everything in the handler is
// async-signal-safe: open/write/close, no allocation, no stdio.
#include "platform/CrashHandler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/Paths.h"
#include "platform/Text.h"

namespace sys {

namespace {

char g_path[4096];
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS, SIGTRAP};
alignas(16) char g_altStack[64 * 1024];

void Put(int fd, const char* s) {
  size_t n = std::strlen(s);
  while (n > 0) {
    ssize_t w = ::write(fd, s, n);
    if (w <= 0) return;
    s += w;
    n -= static_cast<size_t>(w);
  }
}

void PutNumber(int fd, unsigned long long v, unsigned base) {
  char buf[32];
  int i = sizeof buf - 1;
  buf[i] = '\0';
  do {
    unsigned d = static_cast<unsigned>(v % base);
    buf[--i] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
    v /= base;
  } while (v != 0 && i > 0);
  if (base == 16) Put(fd, "0x");
  Put(fd, buf + i);
}

const char* SignalName(int sig) {
  switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    case SIGSYS: return "SIGSYS";
    case SIGTRAP: return "SIGTRAP";
    default: return "signal";
  }
}

void OnFatalSignal(int sig, siginfo_t* info, void*) {
  int saved = errno;
  int fd = ::open(g_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd >= 0) {
    Put(fd, "signal ");
    PutNumber(fd, static_cast<unsigned>(sig), 10);
    Put(fd, " ");
    Put(fd, SignalName(sig));
    Put(fd, "\ncode ");
    PutNumber(fd, static_cast<unsigned>(info ? info->si_code : 0), 10);
    Put(fd, "\naddress ");
    PutNumber(fd, reinterpret_cast<unsigned long long>(info ? info->si_addr : nullptr), 16);
    Put(fd, "\nprocess ");
    PutNumber(fd, static_cast<unsigned long long>(::getpid()), 10);
    Put(fd, "\nthread ");
    PutNumber(fd, static_cast<unsigned long long>(::syscall(SYS_gettid)), 10);
    Put(fd, "\nbacktrace:\n");
    void* frames[64];
    int n = ::backtrace(frames, 64);
    ::backtrace_symbols_fd(frames, n, fd);
    ::close(fd);
  }
  errno = saved;
  // The handler was reset on entry: the signal now ends the process as usual.
  ::raise(sig);
}

}  // namespace

void InstallCrashHandler() {
  std::string path = ToUtf8(GetFixedPath(FixedPath::CrashDump));
  std::strncpy(g_path, path.c_str(), sizeof g_path - 1);
  // backtrace() loads its unwinder on first use; do that now, not in the handler.
  void* warm[2];
  ::backtrace(warm, 2);
  // A stack overflow still finds stack for the handler (main thread).
  stack_t ss{};
  ss.ss_sp = g_altStack;
  ss.ss_size = sizeof g_altStack;
  ::sigaltstack(&ss, nullptr);
  struct sigaction sa{};
  sa.sa_sigaction = OnFatalSignal;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&sa.sa_mask);
  for (int sig : kSignals) ::sigaction(sig, &sa, nullptr);
}

}  // namespace sys
