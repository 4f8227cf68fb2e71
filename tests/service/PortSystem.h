#pragma once
// A whole port system in a temporary folder: vcomd and PortBridgeServer (and
// ZolLogSvc when it is built) run as real processes under a private
// ZOL_SYSROOT; the test acts as the application on /dev/ttyZOL<n> and drives
// the test plug-in through its command socket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace porttest {

namespace fs = std::filesystem;

inline std::string BinDir() {
  const char* dir = std::getenv("ZOL_BIN_DIR");
  return dir ? dir : "";
}

// Polls cond every few milliseconds until it holds or the deadline passes.
inline bool WaitFor(const std::function<bool()>& cond, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
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
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

inline std::size_t CountContaining(const std::vector<std::string>& lines, const std::string& needle) {
  std::size_t n = 0;
  for (const auto& l : lines) n += l.find(needle) != std::string::npos;
  return n;
}

inline int FreeTcpPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
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
    char tmpl[] = "/tmp/zolport.XXXXXX";
    m_path = ::mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
  }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

// A child process with its own environment additions; killed if still running.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
  }

  bool Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& outputFile, const std::string& cwd = "") {
    m_pid = ::fork();
    if (m_pid < 0) return false;
    if (m_pid == 0) {
      for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
      int out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (out >= 0) {
        ::dup2(out, 1);
        ::dup2(out, 2);
      }
      if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    return true;
  }

  pid_t Pid() const { return m_pid; }
  void Signal(int sig) {
    if (m_pid > 0) ::kill(m_pid, sig);
  }
  // The exit code (or 128 + signal), or -1 when still running at the deadline.
  int WaitExit(int timeoutMs) {
    int code = -1;
    WaitFor(
        [&] {
          int status = 0;
          if (m_pid <= 0) return true;
          pid_t r = ::waitpid(m_pid, &status, WNOHANG);
          if (r == m_pid) {
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            m_pid = -1;
            return true;
          }
          return false;
        },
        timeoutMs);
    return code;
  }
  bool Running() const { return m_pid > 0 && ::kill(m_pid, 0) == 0; }

 private:
  pid_t m_pid = -1;
};

struct PortSystemOptions {
  std::vector<unsigned> ports = {3, 5};
  std::string msrPort = "COM3";      // MSR_USB text; empty: element left out
  std::string ldPort = "COM5";       // LD_USB text; empty: element left out
  bool installMsr = true;            // copy the test plug-in as MsrHidBridge.so
  bool installLd = true;             // ... as LdHidBridge.so
  std::string msrLibrary = "zol_test_device.so";  // which built library to copy
  std::string ldLibrary = "zol_test_device.so";
  std::string extraPorts;            // raw XML added to Ports_Configuration
  std::map<std::string, std::string> serviceEnv;
  bool startVcomd = true;
  bool withLogService = true;
  int logLevel = 5;
};

// The whole system in one temporary folder.
class PortSystem {
 public:
  explicit PortSystem(PortSystemOptions options) : m_opt(std::move(options)) {
    m_root = m_tmp.Path() + "/root";
    m_bin = m_tmp.Path() + "/bin";
    m_plugin = m_tmp.Path() + "/plugin";
    fs::create_directories(m_root);
    fs::create_directories(m_bin);
    fs::create_directories(m_plugin);
    m_logFile = m_tmp.Path() + "/zol.log";
    m_tcpPort = FreeTcpPort();
  }

  const std::string& Root() const { return m_root; }
  const std::string& Bin() const { return m_bin; }
  const std::string& LogFile() const { return m_logFile; }
  std::string ComPath(unsigned n) const { return m_root + "/dev/ttyZOL" + std::to_string(n); }
  std::string PluginLog(const std::string& library) const { return m_plugin + "/" + library + ".log"; }
  std::string PluginSocket(const std::string& library) const { return m_plugin + "/" + library + ".sock"; }
  std::vector<std::string> PluginLines(const std::string& library) const { return ReadLines(PluginLog(library)); }
  std::string ServiceOutput() const { return ReadText(m_tmp.Path() + "/service.out"); }
  bool HasLogService() const { return m_logService.Pid() > 0; }

  bool Prepare() {
    std::string src = BinDir();
    std::error_code ec;
    fs::copy_file(src + "/PortBridgeServer", m_bin + "/PortBridgeServer", fs::copy_options::overwrite_existing, ec);
    if (ec) return false;
    if (m_opt.installMsr)
      fs::copy_file(src + "/" + m_opt.msrLibrary, m_bin + "/MsrHidBridge.so", fs::copy_options::overwrite_existing, ec);
    if (m_opt.installLd)
      fs::copy_file(src + "/" + m_opt.ldLibrary, m_bin + "/LdHidBridge.so", fs::copy_options::overwrite_existing, ec);
    if (ec) return false;
    if (m_opt.withLogService && fs::exists(src + "/ZolLogSvc"))
      fs::copy_file(src + "/ZolLogSvc", m_bin + "/ZolLogSvc", fs::copy_options::overwrite_existing, ec);
    std::ofstream xml(m_bin + "/ZolConfig.xml");
    xml << "<ZOL><Ports_Configuration>";
    if (!m_opt.msrPort.empty() || m_opt.installMsr) xml << "<MSR_USB Serial_Number=\"\">" << m_opt.msrPort << "</MSR_USB>";
    if (!m_opt.ldPort.empty() || m_opt.installLd) xml << "<LD_USB Serial_Number=\"\">" << m_opt.ldPort << "</LD_USB>";
    xml << m_opt.extraPorts << "</Ports_Configuration><Logging_Configuration>"
        << "<File_Name>" << m_logFile << "</File_Name><File_Size>10240</File_Size><Log_Level>" << m_opt.logLevel << "</Log_Level>"
        << "<TCP_Port>" << m_tcpPort << "</TCP_Port><Module_Service>true</Module_Service>"
        << "<Module_MSR>true</Module_MSR><Module_LD>true</Module_LD></Logging_Configuration></ZOL>";
    return static_cast<bool>(xml);
  }

  std::map<std::string, std::string> BaseEnv() const {
    return {{"ZOL_SYSROOT", m_root}, {"ZOL_TESTPLUGIN_DIR", m_plugin}};
  }

  bool StartLogService() {
    if (!fs::exists(m_bin + "/ZolLogSvc")) return false;
    if (!m_logService.Start({m_bin + "/ZolLogSvc", "console"}, BaseEnv(), m_tmp.Path() + "/logsvc.out")) return false;
    // Ready once it accepts on its port.
    return WaitFor(
        [&] {
          int fd = ::socket(AF_INET, SOCK_STREAM, 0);
          sockaddr_in a{};
          a.sin_family = AF_INET;
          a.sin_port = htons(static_cast<uint16_t>(m_tcpPort));
          a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
          bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
          ::close(fd);
          return ok;
        },
        5000);
  }

  bool StartVcomd(const std::vector<unsigned>& ports) {
    std::string list;
    for (unsigned p : ports) list += (list.empty() ? "" : ",") + std::to_string(p);
    if (!m_vcomd.Start({BinDir() + "/vcomd", "--ports", list}, BaseEnv(), m_tmp.Path() + "/vcomd.out")) return false;
    return WaitFor([&] { return fs::exists(ComPath(ports.back())) && fs::exists(m_root + "/run/zol/vcomd.ctl"); },
                   5000);
  }

  void WriteRegistry(unsigned count) {
    fs::create_directories(m_root + "/etc/halvern");
    char v[16];
    std::snprintf(v, sizeof(v), "%08x", count);
    std::ofstream reg(m_root + "/etc/halvern/registry.reg");
    reg << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\HALVERN\\Quillmere]\r\n"
        << "\"NUMBER_OF_REQ_COM_PORTS\"=dword:" << v << "\r\n";
  }

  bool StartService() {
    auto env = BaseEnv();
    for (const auto& [k, v] : m_opt.serviceEnv) env[k] = v;
    return m_service.Start({m_bin + "/PortBridgeServer", "console"}, env, m_tmp.Path() + "/service.out",
                           m_tmp.Path());
  }

  // Log service (when built), vcomd, then the service; true once every
  // configured device has its Initialize recorded or the service is up.
  bool Start() {
    if (!Prepare()) return false;
    if (m_opt.withLogService) StartLogService();
    if (m_opt.startVcomd && !StartVcomd(m_opt.ports)) return false;
    return StartService();
  }

  void SetServiceEnv(const std::string& key, const std::string& value) { m_opt.serviceEnv[key] = value; }
  Child& Service() { return m_service; }
  Child& Vcomd() { return m_vcomd; }

  // Sends one command to the test plug-in loaded as library.
  bool Command(const std::string& library, const std::string& text) {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof(a.sun_path), "%s", PluginSocket(library).c_str());
    bool ok = ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a)) ==
              static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
  }

  // One text command to vcomd's control socket; its answer.
  std::string Control(const std::string& line) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof(a.sun_path), "%s", (m_root + "/run/zol/vcomd.ctl").c_str());
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
      std::string text = line + "\n";
      ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
      char buf[1024];
      pollfd p{fd, POLLIN, 0};
      while (::poll(&p, 1, 2000) > 0) {
        ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        answer.append(buf, static_cast<std::size_t>(n));
        if (line.rfind("status", 0) != 0 || answer.find("COM" + std::to_string(m_opt.ports.back())) != std::string::npos)
          if (!answer.empty() && answer.back() == '\n') break;
      }
    }
    ::close(fd);
    return answer;
  }

  // Stops the service with Ctrl+C; its exit code or -1.
  int StopService(int timeoutMs = 15000) {
    m_service.Signal(SIGINT);
    return m_service.WaitExit(timeoutMs);
  }

  // The log file's lines once it holds needle (log lines arrive asynchronously).
  bool WaitLog(const std::string& needle, int timeoutMs = 5000) {
    return WaitFor([&] { return ReadText(m_logFile).find(needle) != std::string::npos; }, timeoutMs);
  }
  std::vector<std::string> LogLines() const { return ReadLines(m_logFile); }

 private:
  PortSystemOptions m_opt;
  TempDir m_tmp;
  std::string m_root, m_bin, m_plugin, m_logFile;
  int m_tcpPort = 0;
  Child m_logService;
  Child m_vcomd;
  Child m_service;
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
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else {
        pollfd p{m_fd, POLLOUT, 0};
        if (::poll(&p, 1, 2000) <= 0) return false;
      }
    }
    return true;
  }
  // Reads until count bytes arrived or the deadline passed.
  std::string Read(std::size_t count, int timeoutMs) {
    std::string out;
    WaitFor(
        [&] {
          char buf[4096];
          ssize_t n;
          while (out.size() < count && (n = ::read(m_fd, buf, sizeof(buf))) > 0) out.append(buf, static_cast<std::size_t>(n));
          return out.size() >= count;
        },
        timeoutMs);
    return out;
  }
  int Fd() const { return m_fd; }

 private:
  int m_fd = -1;
};

}  // namespace porttest
