#include "tests/ld/SystemFixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace zolsystem {

namespace fs = std::filesystem;

namespace {

// Where the programs were built: ZOL_BIN_DIR, else the folder of this test
// executable (tests are built into the same folder).
std::string BinDir() {
  const char* dir = std::getenv("ZOL_BIN_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.parent_path().string();
}

int FreeTcpPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

bool Connects(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

bool WaitFor(const std::function<bool()>& cond, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return cond();
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

Child::~Child() {
  if (m_pid <= 0) return;
  ::kill(m_pid, SIGTERM);
  if (WaitExit(3000) == -1 && m_pid > 0) {
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
  }
}

bool Child::Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                  const std::string& outputFile) {
  m_pid = ::fork();
  if (m_pid < 0) return false;
  if (m_pid == 0) {
    for (const auto& [key, value] : env) ::setenv(key.c_str(), value.c_str(), 1);
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

void Child::Signal(int sig) {
  if (m_pid > 0) ::kill(m_pid, sig);
}

int Child::WaitExit(int timeoutMs) {
  int code = -1;
  WaitFor(
      [&] {
        if (m_pid <= 0) return true;
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) != m_pid) return false;
        code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        m_pid = -1;
        return true;
      },
      timeoutMs);
  return code;
}

bool Child::Running() const { return m_pid > 0 && ::waitpid(m_pid, nullptr, WNOHANG) == 0; }

ZolSystem::ZolSystem(SystemOptions options) : m_opt(std::move(options)) {
  if (m_opt.folder.empty()) {
    char tmpl[] = "/tmp/zolld.XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    m_temp = made != nullptr ? made : "";
    m_tcpPort = FreeTcpPort();
  } else {
    m_temp = m_opt.folder;
    m_tcpPort = m_opt.tcpPort;
  }
  m_root = m_temp + "/root";
  m_bin = m_temp + "/bin";
  m_logFile = m_temp + "/zol.log";
  std::error_code ec;
  fs::create_directories(m_root, ec);
  fs::create_directories(m_bin, ec);
}

ZolSystem::~ZolSystem() {
  if (m_comFd >= 0) ::close(m_comFd);
  if (m_service.Running()) {
    m_service.Signal(SIGINT);
    m_service.WaitExit(10000);
  }
  m_devices.clear();
  m_logService.Signal(SIGINT);
  m_logService.WaitExit(5000);
  m_vcomd.Signal(SIGTERM);
  m_vcomd.WaitExit(5000);
  std::error_code ec;
  if (!m_keep && !m_temp.empty() && std::getenv("ZOL_KEEP_TEST_DIR") == nullptr) fs::remove_all(m_temp, ec);
}

std::map<std::string, std::string> ZolSystem::Env() const {
  return {{"ZOL_SYSROOT", m_root}, {"ZOL_HID_PROVIDER", "ZolHidSim.so"}};
}

bool ZolSystem::Prepare() {
  const std::string src = BinDir();
  if (m_temp.empty() || src.empty()) {
    m_problem = "no temporary folder or ZOL_BIN_DIR";
    return false;
  }
  for (const char* file : {"PortBridgeServer", "LdHidBridge.so", "ZolHidSim.so", "ZolLogSvc", "vcomd", "hidsim"}) {
    if (!fs::exists(src + "/" + file)) {
      m_problem = std::string("not built: ") + file;
      return false;
    }
  }
  std::error_code ec;
  for (const char* file : {"PortBridgeServer", "LdHidBridge.so", "ZolHidSim.so", "ZolLogSvc"}) {
    fs::copy_file(src + "/" + file, m_bin + "/" + file, fs::copy_options::overwrite_existing, ec);
    if (ec) {
      m_problem = std::string("cannot copy ") + file;
      return false;
    }
  }
  return WriteConfig(m_bin + "/ZolConfig.xml");
}

bool ZolSystem::PrepareInProcess(const std::string& executable) {
  const std::string src = BinDir();
  // The copy runs elsewhere: it finds the build through the environment.
  ::setenv("ZOL_BIN_DIR", src.c_str(), 1);
  std::error_code ec;
  fs::copy_file(src + "/ZolLogSvc", m_bin + "/ZolLogSvc", fs::copy_options::overwrite_existing, ec);
  if (ec) {
    m_problem = "cannot copy " + src + "/ZolLogSvc to " + m_bin + ": " + ec.message();
    return false;
  }
  fs::copy_file(executable, m_bin + "/" + fs::path(executable).filename().string(),
                fs::copy_options::overwrite_existing, ec);
  if (ec) {
    m_problem = "cannot copy " + executable;
    return false;
  }
  return WriteConfig(m_bin + "/ZolConfig.xml");
}

bool ZolSystem::WriteConfig(const std::string& path) {
  std::ofstream xml(path);
  xml << "<ZOL><Ports_Configuration>";
  xml << "<LD_USB Serial_Number=\"\">COM" << m_opt.ldPort << "</LD_USB>";
  if (!m_opt.msrPort.empty()) xml << "<MSR_USB Serial_Number=\"\">" << m_opt.msrPort << "</MSR_USB>";
  xml << "</Ports_Configuration><Logging_Configuration><File_Name>" << m_logFile
      << "</File_Name><File_Size>0</File_Size><Log_Level>" << m_opt.logLevel << "</Log_Level><TCP_Port>" << m_tcpPort
      << "</TCP_Port><Module_Service>true</Module_Service><Module_MSR>true</Module_MSR>"
      << "<Module_LD>true</Module_LD></Logging_Configuration></ZOL>";
  return static_cast<bool>(xml);
}

bool ZolSystem::StartVcomd() {
  std::string list;
  for (unsigned p : m_opt.ports) list += (list.empty() ? "" : ",") + std::to_string(p);
  if (!m_vcomd.Start({BinDir() + "/vcomd", "--ports", list}, Env(), m_temp + "/vcomd.out")) return false;
  return WaitFor([&] { return fs::exists(ComPath(m_opt.ports.back())) && fs::exists(m_root + "/run/zol/vcomd.ctl"); },
                 5000);
}

bool ZolSystem::StartLogService() {
  if (!m_logService.Start({m_bin + "/ZolLogSvc", "console"}, Env(), m_temp + "/logsvc.out")) return false;
  return WaitFor([&] { return Connects(m_tcpPort); }, 5000);
}

std::string ZolSystem::TracePath(const std::string& name) const { return m_temp + "/" + name + ".trace"; }

bool ZolSystem::StartDevice(const std::string& kind, const std::string& name, const std::vector<std::string>& args) {
  auto child = std::make_unique<Child>();
  std::vector<std::string> argv = {BinDir() + "/hidsim", kind, "--name", name, "--trace", TracePath(name)};
  argv.insert(argv.end(), args.begin(), args.end());
  // Each run shows its own screen: a replugged device starts a fresh output.
  std::error_code ec;
  fs::remove(m_temp + "/" + name + ".out", ec);
  if (!child->Start(argv, Env(), m_temp + "/" + name + ".out")) return false;
  m_devices[name] = std::move(child);
  return WaitFor([&] { return fs::exists(DevicePath(name)); }, 5000);
}

bool ZolSystem::StopDevice(const std::string& name) {
  auto it = m_devices.find(name);
  if (it == m_devices.end()) return false;
  it->second->Signal(SIGTERM);
  const bool ended = it->second->WaitExit(5000) != -1;
  m_devices.erase(it);
  return ended && WaitFor([&] { return !fs::exists(DevicePath(name)); }, 5000);
}

bool ZolSystem::InjectResume() {
  Child resume;
  if (!resume.Start({BinDir() + "/hidsim", "resume"}, Env(), m_temp + "/resume.out")) return false;
  return resume.WaitExit(5000) == 0;
}

bool ZolSystem::StartService(bool waitForPlugin) {
  if (!m_service.Start({m_bin + "/PortBridgeServer", "console"}, Env(), m_temp + "/service.out")) return false;
  if (!waitForPlugin) return true;
  if (m_opt.logLevel < 4) {
    // The plug-in's success line is not logged: wait for its start-up
    // reports at the first display instead.
    return m_devices.empty() ||
           WaitFor([&] { return Trace(m_devices.begin()->first).size() >= 5; }, 15000);
  }
  return WaitFor(
      [&] {
        return CountLog("LdHidBridge::Initialize - Success") + CountLog("LdHidBridge::Initialize - Failed") > 0;
      },
      15000);
}

int ZolSystem::StopService(int timeoutMs) {
  m_service.Signal(SIGINT);
  return m_service.WaitExit(timeoutMs);
}

bool ZolSystem::StartAll(bool withDisplay) {
  if (!Prepare() || !StartVcomd()) return false;
  if (m_opt.withLogService && !StartLogService()) return false;
  if (withDisplay && !StartDevice("ld", "ld1")) return false;
  return StartService();
}

bool ZolSystem::OpenCom(unsigned n) {
  m_comFd = ::open(ComPath(n).c_str(), O_RDWR | O_NOCTTY);
  return m_comFd >= 0;
}

bool ZolSystem::WriteCom(const Bytes& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(m_comFd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::vector<Bytes> ZolSystem::Trace(const std::string& name) const {
  std::vector<Bytes> reports;
  for (const std::string& line : ReadLines(TracePath(name))) {
    Bytes report;
    std::istringstream in(line);
    for (std::string hex; in >> hex;) report.push_back(static_cast<std::uint8_t>(std::stoul(hex, nullptr, 16)));
    if (!report.empty()) reports.push_back(report);
  }
  return reports;
}

std::vector<std::string> ZolSystem::Screen(const std::string& name) const {
  std::vector<std::string> rows;
  for (const std::string& line : ReadLines(m_temp + "/" + name + ".out")) {
    if (line.size() >= 2 && line.front() == '|' && line.back() == '|') rows.push_back(line.substr(1, line.size() - 2));
  }
  if (rows.size() > 2) rows.erase(rows.begin(), rows.end() - 2);
  return rows;
}

std::vector<std::string> ZolSystem::LogLines() const { return ReadLines(m_logFile); }

std::size_t ZolSystem::CountLog(const std::string& needle) const {
  std::size_t n = 0;
  for (const std::string& line : LogLines()) n += line.find(needle) != std::string::npos ? 1 : 0;
  return n;
}

bool ZolSystem::WaitForLog(const std::string& needle, std::size_t count, int timeoutMs) const {
  return WaitFor([&] { return CountLog(needle) >= count; }, timeoutMs);
}

Bytes LineReport(std::uint8_t command, const std::string& text, std::size_t reportLength) {
  Bytes report = {0x00, command, 0x28};
  unsigned sum = 0x28u + command;
  for (std::size_t i = 0; i < 20; ++i) {
    const std::uint8_t c = i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0x20;
    report.push_back(c);
    sum += c;
  }
  report.push_back(static_cast<std::uint8_t>(sum));
  report.resize(reportLength, 0x00);
  return report;
}

}  // namespace zolsystem
