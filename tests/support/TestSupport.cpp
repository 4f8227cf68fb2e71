#include "tests/support/TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace zoltest {

namespace fs = std::filesystem;

std::string BinDir() {
  const char* dir = std::getenv("ZOL_BIN_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.parent_path().string();
}

std::vector<std::string> HidsimCommand(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {BinDir() + "/hidsim"};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<std::string> SplitLines(const std::string& data) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = data.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(data.substr(start, end - start));
  }
  return lines;
}

std::size_t Count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

std::size_t CountContaining(const std::vector<std::string>& lines, const std::string& needle) {
  std::size_t n = 0;
  for (const auto& l : lines) n += l.find(needle) != std::string::npos ? 1 : 0;
  return n;
}

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

}  // namespace

int FreeTcpPort() {
  // Below the kernel's ephemeral range: a port the kernel handed out would be
  // handed out again as the local end of some other test's connection, and a
  // service that then cannot bind it rightly refuses to start.
  constexpr int kLow = 20000, kHigh = 32767;
  thread_local std::mt19937 pick(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int port = std::uniform_int_distribution<int>(kLow, kHigh)(pick);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    const sockaddr_in a = Loopback(port);
    const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (ok) return port;
  }
  return 0;
}

bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const sockaddr_in a = Loopback(port);
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

TempDir::TempDir(const std::string& prefix) {
  std::string tmpl = "/tmp/" + prefix + ".XXXXXX";
  const char* made = ::mkdtemp(tmpl.data());
  m_path = made != nullptr ? made : "";
}

TempDir::~TempDir() {
  if (m_keep || m_path.empty() || std::getenv("ZOL_KEEP_TEST_DIR") != nullptr) return;
  std::error_code ec;
  // A test may have taken the rights away from a folder to provoke a failure.
  fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ec);
  for (auto it = fs::recursive_directory_iterator(m_path, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    std::error_code dirEc;
    if (it->is_directory(dirEc)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, dirEc);
  }
  fs::remove_all(m_path, ec);
}

std::string CopyProgram(const std::string& name, const std::string& folder) {
  const std::string to = folder + "/" + fs::path(name).filename().string();
  const std::string from = fs::path(name).is_absolute() ? name : BinDir() + "/" + name;
  std::error_code ec;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  return ec ? std::string() : to;
}

std::string LoggingConfig(const std::vector<std::pair<std::string, std::string>>& keys) {
  std::string xml = "<ZOL><Logging_Configuration>";
  for (const auto& [k, v] : keys) xml += "<" + k + ">" + v + "</" + k + ">";
  return xml + "</Logging_Configuration></ZOL>";
}

Child::Child(const fs::path& program, const std::vector<std::string>& args, const fs::path& outDir,
             const std::vector<std::string>& env, int fdLimit)
    : m_killAtEnd(true) {
  static int counter = 0;
  const int n = counter++;
  m_out = (outDir / (program.filename().string() + "." + std::to_string(n) + ".out")).string();
  m_err = (outDir / (program.filename().string() + "." + std::to_string(n) + ".err")).string();
  std::map<std::string, std::string> vars;
  for (const std::string& entry : env) {
    const std::size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  std::vector<std::string> argv = {program.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildSetup setup;
  setup.errorFile = m_err;
  setup.ownGroup = true;
  setup.fdLimit = fdLimit;
  // Both files exist from the start, empty.
  WriteFile(m_out, "");
  WriteFile(m_err, "");
  if (Start(argv, vars, m_out, setup)) m_startedPid = m_pid;
}

Child::~Child() {
  if (m_pid <= 0) return;
  if (!m_killAtEnd) {
    ::kill(m_pid, SIGTERM);
    WaitExit(3000);
  }
  Kill();
}

bool Child::Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                  const std::string& outputFile, const std::string& cwd) {
  ChildSetup setup;
  setup.cwd = cwd;
  return Start(argv, env, outputFile, setup);
}

bool Child::Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                  const std::string& outputFile, const ChildSetup& setup) {
  if (argv.empty()) return false;
  m_exitCode = -1;
  m_status = 0;
  m_ended = false;
  m_pid = ::fork();
  if (m_pid < 0) return false;
  if (m_pid == 0) {
    for (const auto& [key, value] : env) ::setenv(key.c_str(), value.c_str(), 1);
    const int out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
      if (out > 2) ::close(out);  // the program gets no descriptors besides 0, 1, 2
    }
    if (!setup.errorFile.empty()) {
      const int err = ::open(setup.errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (err >= 0) ::dup2(err, 2);
      if (err > 2) ::close(err);
    }
    if (setup.ownGroup) ::setpgid(0, 0);
    // Signals the test's threads block must reach the program.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (setup.fdLimit > 0) {
      const rlimit rl{static_cast<rlim_t>(setup.fdLimit), static_cast<rlim_t>(setup.fdLimit)};
      ::setrlimit(RLIMIT_NOFILE, &rl);
    }
    if (!setup.cwd.empty() && ::chdir(setup.cwd.c_str()) != 0) ::_exit(126);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  return true;
}

void Child::Signal(int sig) {
  if (m_pid > 0) ::kill(m_pid, sig);
}

void Child::Kill() {
  if (m_pid <= 0) return;
  ::kill(m_pid, SIGKILL);
  Reap(0);
}

bool Child::Reap(int options) {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(m_pid, &status, options);
  } while (r < 0 && errno == EINTR);
  if (r != m_pid) return false;
  m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  m_status = status;
  m_ended = true;
  m_pid = -1;
  return true;
}

int Child::WaitExit(int timeoutMs) {
  if (m_pid <= 0) return m_exitCode;
  return WaitFor([&] { return m_pid <= 0 || Reap(WNOHANG); }, timeoutMs) ? m_exitCode : -1;
}

bool Child::Running() { return m_pid > 0 && !Reap(WNOHANG); }

int RunToEnd(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& outputFile, int timeoutMs) {
  Child c;
  if (!c.Start(argv, env, outputFile)) return -1;
  return c.WaitExit(timeoutMs);
}

bool Child::Wait(std::chrono::milliseconds limit) {
  return m_ended || WaitExit(static_cast<int>(limit.count())) != -1 || m_ended;
}

bool Child::Exited() const { return m_ended && WIFEXITED(m_status); }

int Child::ExitCode() const { return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1; }

bool Child::Signalled() const { return m_ended && WIFSIGNALED(m_status); }

Listener::Listener(int rcvbuf, unsigned short port) {
  m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (rcvbuf > 0) ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in sa = Loopback(port);
  ::bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  ::listen(m_fd, 64);
  socklen_t len = sizeof sa;
  ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len);
  m_port = ntohs(sa.sin_port);
}

Listener::~Listener() {
  for (int c : m_clients) ::close(c);
  if (m_fd >= 0) ::close(m_fd);
}

void Listener::CloseListening() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

int Listener::Accept(std::chrono::milliseconds limit) {
  pollfd p{m_fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) return -1;
  const int c = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (c >= 0) m_clients.push_back(c);
  return c;
}

void Listener::Drop(int fd) {
  std::erase(m_clients, fd);
  ::close(fd);
}

std::string Listener::ReadAll(int fd, std::chrono::milliseconds limit) {
  std::string data;
  const auto end = Clock::now() + limit;
  char buf[4096];
  while (Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) != 1) continue;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    data.append(buf, static_cast<std::size_t>(n));
  }
  return data;
}

int Connect(unsigned short port, unsigned int address) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa = Loopback(port);
  sa.sin_addr.s_addr = htonl(address);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& data) {
  std::size_t off = 0;
  while (off < data.size()) {
    const ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<std::size_t>(n);
  }
  return true;
}

App::App(const std::string& path) { m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }

void App::Close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

bool App::Write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{m_fd, POLLOUT, 0};
      if (::poll(&p, 1, 2000) <= 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

std::string App::Read(std::size_t count, int timeoutMs) {
  std::string out;
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char buf[4096];
    // Whatever is there: bytes beyond count show up as a wrong answer.
    const ssize_t n = ::read(m_fd, buf, sizeof buf);
    if (n > 0) out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

std::string App::Drain() {
  std::string out;
  char buf[1024];
  ssize_t n;
  while ((n = ::read(m_fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  return out;
}

std::string VcomdControl(const std::string& root, const std::string& line) {
  std::string answer;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return answer;
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof(a.sun_path), "%s", (root + "/run/zol/vcomd.ctl").c_str());
  const std::string text = line + "\n";
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 && SendAll(fd, text)) {
    // Our end of the connection closes after the line: vcomd answers it,
    // then closes its end, so the answer is whole at the end of the stream.
    ::shutdown(fd, SHUT_WR);
    WaitFor([&] {
      char buf[512];
      const ssize_t n = ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
      if (n > 0) answer.append(buf, static_cast<std::size_t>(n));
      return n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
    });
  }
  ::close(fd);
  return answer;
}

}  // namespace zoltest
