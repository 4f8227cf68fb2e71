// Fatal signals write a text crash report: signal, fault address, thread and
// backtrace, never memory contents. Everything in the handler is
// async-signal-safe: mkdir/open/write/close, no allocation, no stdio.
// The report's folder belongs to the service: made 0700 when missing, and
// refused when others may write it or it belongs to another user; the report
// is a fresh file there (O_EXCL, O_NOFOLLOW), so no planted link is followed.
#include "platform/CrashHandler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/posix/UniqueFd.h"

namespace sys {

namespace {

char g_folder[4096];
char g_name[256];
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

// Makes each missing folder of g_folder, the last one 0700.
void MakeFolder() {
  char path[sizeof g_folder];
  std::memcpy(path, g_folder, sizeof path);
  for (char* p = path + 1; *p; ++p) {
    if (*p != '/') continue;
    *p = '\0';
    ::mkdir(path, 0755);
    *p = '/';
  }
  ::mkdir(path, 0700);
}

// The report's folder when it is safe to write in, else -1.
int OpenFolder() {
  MakeFolder();
  posix::UniqueFd dir(::open(g_folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir) return -1;
  struct stat st {};
  if (::fstat(dir.Get(), &st) != 0 || (st.st_mode & S_IWOTH) || st.st_uid != ::geteuid()) return -1;
  return dir.Release();
}

// A fresh report in place of an earlier one.
int CreateReport() {
  const posix::UniqueFd dir(OpenFolder());
  if (!dir) return -1;
  ::unlinkat(dir.Get(), g_name, 0);
  int fd = ::openat(dir.Get(), g_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) ::fchmod(fd, 0600);  // whatever the umask
  return fd;
}

void OnFatalSignal(int sig, siginfo_t* info, void*) {
  int saved = errno;
  int fd = CreateReport();
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
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0 || slash >= sizeof g_folder || path.size() - slash > sizeof g_name) return;
  std::memcpy(g_folder, path.data(), slash);
  g_folder[slash] = '\0';
  std::strncpy(g_name, path.c_str() + slash + 1, sizeof g_name - 1);
  // backtrace() loads its unwinder on first use; do that now, not in the handler.
  void* warm[2];
  ::backtrace(warm, 2);
  // A stack overflow still finds stack for the handler: the main thread's
  // own here, every other thread's from the thread start (CrashStack).
  stack_t current{};
  if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE)) {
    stack_t ss{};
    ss.ss_sp = g_altStack;
    ss.ss_size = sizeof g_altStack;
    ::sigaltstack(&ss, nullptr);
  }
  struct sigaction sa{};
  sa.sa_sigaction = OnFatalSignal;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&sa.sa_mask);
  for (int sig : kSignals) ::sigaction(sig, &sa, nullptr);
}

void DisableCoreDumps() {
  // A core would hold whatever card data the process had in memory.
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

bool CoreDumpsDisabled() { return ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 0; }

}  // namespace sys
