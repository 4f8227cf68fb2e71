#pragma once
// Real processes for the stripe-reader tests: simulated readers (hidsim), and
// the whole system (vcomd, ZolLogSvc, PortBridgeServer) in a temporary
// ZOL_SYSROOT, with the test as the application on /dev/ttyZOL<n>.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace msrtest {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kDeadlineMs = 10000;

inline std::string BinDir() {
  const char* dir = std::getenv("ZOL_BIN_DIR");
  return dir != nullptr ? dir : "";
}

// Checks cond until it holds or the deadline passes.
inline bool WaitFor(const std::function<bool()>& cond, int timeoutMs = kDeadlineMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    if (cond()) return true;
    ::poll(nullptr, 0, 5);  // the polling interval, not a wait for the condition
  }
  return cond();
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

inline std::size_t Count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

inline int FreeTcpPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  socklen_t len = sizeof(a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/zolmsr.XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    m_path = made != nullptr ? made : "";
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

// A child process; killed if still running when destroyed.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { Kill(); }

  bool Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& outputFile) {
    m_pid = ::fork();
    if (m_pid < 0) return false;
    if (m_pid == 0) {
      for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
      const int out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (out >= 0) {
        ::dup2(out, 1);
        ::dup2(out, 2);
      }
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    return true;
  }

  void Signal(int sig) {
    if (m_pid > 0) ::kill(m_pid, sig);
  }
  void Kill() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
      m_pid = -1;
    }
  }
  // The exit code (128 + signal when killed), or -1 when still running at the deadline.
  int WaitExit(int timeoutMs = kDeadlineMs) {
    int code = -1;
    WaitFor(
        [&] {
          if (m_pid <= 0) return true;
          int status = 0;
          if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            m_pid = -1;
            return true;
          }
          return false;
        },
        timeoutMs);
    return code;
  }
  bool Running() const { return m_pid > 0; }

 private:
  pid_t m_pid = -1;
};

// Runs a program to its end; its exit code, or -1.
inline int RunToEnd(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                    const std::string& outputFile) {
  Child c;
  if (!c.Start(argv, env, outputFile)) return -1;
  return c.WaitExit();
}

// One card as hidsim takes it.
struct Card {
  std::string track1, track2, track3;
  bool numeric = false;
  std::string errors;  // "1,3"

  std::vector<std::string> Args(const std::string& name) const {
    std::vector<std::string> a = {BinDir() + "/hidsim", "swipe", name};
    if (numeric) a.push_back("--numeric");
    if (!track1.empty()) a.insert(a.end(), {"--track1", track1});
    if (!track2.empty()) a.insert(a.end(), {"--track2", track2});
    if (!track3.empty()) a.insert(a.end(), {"--track3", track3});
    if (!errors.empty()) a.insert(a.end(), {"--error", errors});
    return a;
  }
};

// Simulated stripe readers under one ZOL_SYSROOT.
class Readers {
 public:
  explicit Readers(std::string root, std::string outDir) : m_root(std::move(root)), m_out(std::move(outDir)) {}

  std::map<std::string, std::string> Env() const { return {{"ZOL_SYSROOT", m_root}}; }
  std::string DevicePath(const std::string& name) const { return m_root + "/run/zol/hidsim/" + name; }
  std::string TracePath(const std::string& name) const { return m_out + "/" + name + ".trace"; }

  // Starts "hidsim msr --name name" (with a trace of output reports); true
  // once its device is there.
  bool Plug(Child& child, const std::string& name) {
    if (!child.Start({BinDir() + "/hidsim", "msr", "--name", name, "--trace", TracePath(name)}, Env(),
                     m_out + "/" + name + ".out"))
      return false;
    return WaitFor([&] { return fs::exists(DevicePath(name)); });
  }
  bool Swipe(const std::string& name, const Card& card) {
    return RunToEnd(card.Args(name), Env(), m_out + "/swipe.out") == 0;
  }
  bool Resume() { return RunToEnd({BinDir() + "/hidsim", "resume"}, Env(), m_out + "/resume.out") == 0; }
  // Output reports the reader received, one line of hex each.
  std::vector<std::string> Trace(const std::string& name) const { return ReadLines(TracePath(name)); }

 private:
  std::string m_root;
  std::string m_out;
};

// The application's end of COM<n>.
class App {
 public:
  explicit App(const std::string& path) { m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }
  ~App() { Close(); }
  App(const App&) = delete;
  App& operator=(const App&) = delete;
  bool IsOpen() const { return m_fd >= 0; }
  void Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }
  bool Write(const std::string& bytes) {
    return ::write(m_fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // Reads until count bytes arrived or the deadline passed.
  std::string Read(std::size_t count, int timeoutMs = kDeadlineMs) {
    std::string out;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) break;
      pollfd p{m_fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char buf[1024];
      const ssize_t n = ::read(m_fd, buf, std::min(sizeof(buf), count - out.size()));
      if (n > 0) out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }
  // Whatever is readable at once.
  std::string Drain() {
    std::string out;
    char buf[1024];
    ssize_t n;
    while ((n = ::read(m_fd, buf, sizeof(buf))) > 0) out.append(buf, static_cast<std::size_t>(n));
    return out;
  }
  int Fd() const { return m_fd; }

 private:
  int m_fd = -1;
};

// The whole system in one temporary folder, the stripe reader on COM3.
class MsrSystem {
 public:
  static constexpr unsigned kCom = 3;

  explicit MsrSystem(std::string msrSection = "", int logLevel = 5)
      : m_msrSection(std::move(msrSection)),
        m_logLevel(logLevel),
        m_root(m_tmp.Path() + "/root"),
        m_bin(m_tmp.Path() + "/bin"),
        m_logFile(m_tmp.Path() + "/zol.log"),
        m_tcpPort(FreeTcpPort()),
        m_readers(m_root, m_tmp.Path()) {
    fs::create_directories(m_root);
    fs::create_directories(m_bin);
  }
  ~MsrSystem() {
    m_service.Signal(SIGINT);
    m_service.WaitExit();
    m_logService.Kill();
    m_vcomd.Signal(SIGTERM);
    m_vcomd.WaitExit();
  }

  Readers& Sim() { return m_readers; }
  const std::string& Out() const { return m_tmp.Path(); }
  std::string ComPath() const { return m_root + "/dev/ttyZOL" + std::to_string(kCom); }
  std::string Log() const { return ReadText(m_logFile); }
  std::vector<std::string> LogLines() const { return ReadLines(m_logFile); }
  bool WaitLog(const std::string& needle, std::size_t count = 1, int timeoutMs = kDeadlineMs) const {
    return WaitFor([&] { return Count(Log(), needle) >= count; }, timeoutMs);
  }
  Child& Service() { return m_service; }

  // Log service, vcomd, then the port service with the plug-in on COM3.
  bool Start() {
    const std::string src = BinDir();
    for (const char* file : {"PortBridgeServer", "MsrHidBridge.so", "ZolHidSim.so", "ZolLogSvc"}) {
      std::error_code ec;
      fs::copy_file(src + "/" + file, m_bin + "/" + file, fs::copy_options::overwrite_existing, ec);
      if (ec) return false;
    }
    std::ofstream xml(m_bin + "/ZolConfig.xml");
    xml << "<ZOL><Ports_Configuration><MSR_USB Serial_Number=\"\">COM" << kCom
        << "</MSR_USB><LD_USB Serial_Number=\"\"></LD_USB></Ports_Configuration><Logging_Configuration>"
        << "<File_Name>" << m_logFile << "</File_Name><File_Size>102400</File_Size><Log_Level>" << m_logLevel << "</Log_Level>"
        << "<TCP_Port>" << m_tcpPort << "</TCP_Port><Module_Service>true</Module_Service>"
        << "<Module_MSR>true</Module_MSR><Module_LD>true</Module_LD></Logging_Configuration>"
        << m_msrSection << "</ZOL>";
    xml.close();
    if (!xml) return false;
    if (!m_logService.Start({m_bin + "/ZolLogSvc", "console"}, Env(), Out() + "/logsvc.out")) return false;
    if (!WaitFor([&] { return Accepts(m_tcpPort); })) return false;
    if (!m_vcomd.Start({src + "/vcomd", "--ports", std::to_string(kCom)}, Env(), Out() + "/vcomd.out")) return false;
    if (!WaitFor([&] { return fs::exists(ComPath()) && fs::exists(m_root + "/run/zol/vcomd.ctl"); })) return false;
    auto env = Env();
    env["ZOL_HID_PROVIDER"] = "ZolHidSim.so";
    // The port service keeps each device's DEVICE_PARAMS for the life of the
    // process by design; the leak checker would turn that into exit code 134.
    const char* asan = std::getenv("ASAN_OPTIONS");
    env["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
    if (!m_service.Start({m_bin + "/PortBridgeServer", "console"}, env, Out() + "/service.out")) return false;
    // Without info lines in the log the caller finds readiness its own way.
    return m_logLevel < 3 || WaitLog("HidMsrManager::Initialize - Initialize success");
  }

  // Opens the application's end and waits until the port passed it on as ready.
  bool OpenApp(App*& app) {
    const std::size_t before = Count(Log(), kReady);
    m_app = std::make_unique<App>(ComPath());
    app = m_app.get();
    return m_app->IsOpen() && WaitLog(kReady, before + 1);
  }
  bool CloseApp() {
    const std::size_t before = Count(Log(), kNotReady);
    m_app.reset();
    return WaitLog(kNotReady, before + 1);
  }

  std::map<std::string, std::string> Env() const { return {{"ZOL_SYSROOT", m_root}}; }

 private:
  static constexpr const char* kReady = "ZolPort::PortReadyInternal - COM3 Ready=1";
  static constexpr const char* kNotReady = "ZolPort::PortReadyInternal - COM3 Ready=0";

  static bool Accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    ::close(fd);
    return ok;
  }

  std::string m_msrSection;
  int m_logLevel;
  TempDir m_tmp;
  std::string m_root, m_bin, m_logFile;
  int m_tcpPort = 0;
  Readers m_readers;
  Child m_logService, m_vcomd, m_service;
  std::unique_ptr<App> m_app;
};

}  // namespace msrtest
