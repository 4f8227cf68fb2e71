#pragma once
// Linux helpers for the logging tests: temporary folders, child processes,
// loopback listeners and deadline waits.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace logtest {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Polls cond until it holds or the deadline passes.
inline bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  auto end = Clock::now() + limit;
  for (;;) {
    if (cond()) return true;
    if (Clock::now() > end) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

inline std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

struct TempDir {
  fs::path path;
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "zollogtest.XXXXXX").string();
    path = ::mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto& e : fs::recursive_directory_iterator(path, ec)) {
      if (e.is_directory(ec)) fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path, ec);
  }
};

inline fs::path BinDir() {
  const char* d = std::getenv("ZOL_BIN_DIR");
  if (d && *d) return d;
  return fs::canonical("/proc/self/exe").parent_path();
}

// Copies a program of the build into folder (so a ZolConfig.xml beside it
// configures it) and returns the copy's path.
inline fs::path CopyProgram(const std::string& name, const fs::path& folder) {
  fs::path to = folder / name;
  fs::copy_file(BinDir() / name, to, fs::copy_options::overwrite_existing);
  return to;
}

inline std::string LoggingConfig(const std::vector<std::pair<std::string, std::string>>& keys) {
  std::string xml = "<ZOL><Logging_Configuration>";
  for (auto& [k, v] : keys) xml += "<" + k + ">" + v + "</" + k + ">";
  xml += "</Logging_Configuration></ZOL>";
  return xml;
}

// A child process with its standard output and error in files.
class Child {
 public:
  Child(const fs::path& program, const std::vector<std::string>& args, const fs::path& outDir,
        const std::vector<std::string>& env = {}, int fdLimit = 0) {
    m_out = outDir / (program.filename().string() + "." + std::to_string(Counter()++) + ".out");
    m_err = fs::path(m_out).replace_extension(".err");
    m_pid = ::fork();
    if (m_pid == 0) {
      int o = ::open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int e = ::open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(o, 1);
      ::dup2(e, 2);
      ::setpgid(0, 0);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      for (auto& kv : env) ::putenv(const_cast<char*>(kv.c_str()));
      if (fdLimit > 0) {
        rlimit rl{static_cast<rlim_t>(fdLimit), static_cast<rlim_t>(fdLimit)};
        ::setrlimit(RLIMIT_NOFILE, &rl);
      }
      std::vector<char*> argv;
      std::string prog = program.string();
      argv.push_back(prog.data());
      std::vector<std::string> copy = args;
      for (auto& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(prog.c_str(), argv.data());
      ::_exit(127);
    }
  }
  ~Child() {
    if (m_pid > 0 && !m_done) {
      ::kill(m_pid, SIGKILL);
      Wait(std::chrono::seconds(10));
    }
  }
  pid_t Pid() const { return m_pid; }
  void Signal(int sig) { ::kill(m_pid, sig); }
  // True when the process ended within the limit.
  bool Wait(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    if (m_done) return true;
    return WaitFor([&] {
      int status = 0;
      pid_t r = ::waitpid(m_pid, &status, WNOHANG);
      if (r == m_pid) {
        m_done = true;
        m_status = status;
      }
      return m_done;
    }, limit);
  }
  bool Exited() const { return m_done && WIFEXITED(m_status); }
  int ExitCode() const { return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1; }
  bool Signalled() const { return m_done && WIFSIGNALED(m_status); }
  std::string Out() const { return ReadFile(m_out); }
  std::string Err() const { return ReadFile(m_err); }

 private:
  static int& Counter() {
    static int c = 0;
    return c;
  }
  pid_t m_pid = -1;
  bool m_done = false;
  int m_status = 0;
  fs::path m_out, m_err;
};

// A loopback TCP listener owned by the test.
class Listener {
 public:
  explicit Listener(int rcvbuf = 0, unsigned short port = 0) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (rcvbuf > 0) ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    ::bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(m_fd, 64);
    socklen_t len = sizeof sa;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len);
    m_port = ntohs(sa.sin_port);
  }
  ~Listener() {
    for (int c : m_clients) ::close(c);
    if (m_fd >= 0) ::close(m_fd);
  }
  unsigned short Port() const { return m_port; }
  void CloseListening() {
    ::close(m_fd);
    m_fd = -1;
  }
  // Accepts one connection within the limit; -1 when none came.
  int Accept(std::chrono::milliseconds limit) {
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) return -1;
    int c = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c >= 0) m_clients.push_back(c);
    return c;
  }
  // Closes one accepted connection.
  void Drop(int fd) {
    std::erase(m_clients, fd);
    ::close(fd);
  }
  // Reads everything from the connection until the peer closes it or the limit passes.
  static std::string ReadAll(int fd, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::string data;
    auto end = Clock::now() + limit;
    char buf[4096];
    while (Clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) != 1) continue;
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      data.append(buf, static_cast<size_t>(n));
    }
    return data;
  }

 private:
  int m_fd = -1;
  unsigned short m_port = 0;
  std::vector<int> m_clients;
};

// A client connection to a loopback port; -1 when refused.
inline int Connect(unsigned short port, unsigned int address = INADDR_LOOPBACK) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline bool SendAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

// A loopback port that was free a moment ago.
inline unsigned short FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  ::close(fd);
  return ntohs(sa.sin_port);
}

inline std::vector<std::string> SplitLines(const std::string& data) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t e = data.find("\r\n", start);
    if (e == std::string::npos) break;
    lines.push_back(data.substr(start, e - start));
    start = e + 2;
  }
  return lines;
}

}  // namespace logtest
