#include "tests/support/ZolSystem.h"

#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "plugins/ld/LdReports.h"

namespace zoltest {

namespace fs = std::filesystem;

ZolSystem::ZolSystem(SystemOptions options) : m_opt(std::move(options)) {
  if (m_opt.folder.empty()) {
    char tmpl[] = "/tmp/zolsys.XXXXXX";
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
  m_com.reset();
  if (m_opt.gracefulStop) {
    if (m_service.Running()) {
      m_service.Signal(SIGINT);
      m_service.WaitExit(10000);
    }
    m_devices.clear();
    m_logService.Signal(SIGINT);
    m_logService.WaitExit(5000);
    m_vcomd.Signal(SIGTERM);
    m_vcomd.WaitExit(5000);
  }
  m_service.Kill();
  m_devices.clear();
  m_logService.Kill();
  m_vcomd.Kill();
  std::error_code ec;
  if (!m_keep && !m_temp.empty() && std::getenv("ZOL_KEEP_TEST_DIR") == nullptr) fs::remove_all(m_temp, ec);
}

std::map<std::string, std::string> ZolSystem::Env() const {
  auto env = m_opt.env;
  env["ZOL_SYSROOT"] = m_root;
  if (!m_opt.kernelDriver) env["ZOL_VCOM_DRIVER"] = "vcomd";
  return env;
}

bool ZolSystem::Copy(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::copy_file(BinDir() + "/" + from, m_bin + "/" + to, fs::copy_options::overwrite_existing, ec);
  if (ec) m_problem = "cannot copy " + from + " to " + m_bin + ": " + ec.message();
  return !ec;
}

bool ZolSystem::Prepare() {
  const std::string src = BinDir();
  if (m_temp.empty() || src.empty()) {
    m_problem = "no temporary folder or ZOL_BIN_DIR";
    return false;
  }
  std::vector<std::string> needed = m_opt.needs;
  needed.push_back("PortBridgeServer");
  for (const auto& [from, to] : m_opt.install) needed.push_back(from);
  // A system that may run without a log service copies it only when built.
  const bool logService = m_opt.logServiceOptional ? m_opt.withLogService && fs::exists(src + "/ZolLogSvc") : true;
  if (logService) needed.push_back("ZolLogSvc");
  for (const std::string& file : needed) {
    if (!fs::exists(src + "/" + file)) {
      m_problem = "not built: " + file;
      return false;
    }
  }
  if (!Copy("PortBridgeServer", "PortBridgeServer")) return false;
  for (const auto& [from, to] : m_opt.install) {
    if (!Copy(from, to)) return false;
  }
  if (logService && !Copy("ZolLogSvc", "ZolLogSvc")) return false;
  return WriteConfig(m_bin + "/ZolConfig.xml");
}

bool ZolSystem::PrepareInProcess(const std::string& executable) {
  const std::string src = BinDir();
  // The copy runs elsewhere: it finds the build through the environment.
  ::setenv("ZOL_BIN_DIR", src.c_str(), 1);
  if (!Copy("ZolLogSvc", "ZolLogSvc")) return false;
  if (CopyProgram(executable, m_bin).empty()) {
    m_problem = "cannot copy " + executable;
    return false;
  }
  return WriteConfig(m_bin + "/ZolConfig.xml");
}

bool ZolSystem::WriteConfig(const std::string& path) {
  std::ofstream xml(path);
  xml << "<ZOL><Ports_Configuration>";
  if (m_opt.msrPort) xml << "<MSR_USB Serial_Number=\"\">" << *m_opt.msrPort << "</MSR_USB>";
  if (m_opt.ldPort) xml << "<LD_USB Serial_Number=\"\">" << *m_opt.ldPort << "</LD_USB>";
  xml << m_opt.extraPorts << "</Ports_Configuration><Logging_Configuration><File_Name>" << m_logFile
      << "</File_Name><File_Size>" << m_opt.fileSize << "</File_Size><Log_Level>" << m_opt.logLevel
      << "</Log_Level><TCP_Port>" << m_tcpPort
      << "</TCP_Port><Module_Service>true</Module_Service><Module_MSR>true</Module_MSR>"
      << "<Module_LD>true</Module_LD></Logging_Configuration>" << m_opt.extraSections << "</ZOL>";
  xml.close();
  return static_cast<bool>(xml);
}

bool ZolSystem::StartVcomd(const std::vector<unsigned>& ports) {
  if (ports.empty()) return false;
  if (m_opt.kernelDriver) {
    // The registry value vcomd would write.
    fs::create_directories(m_root + "/etc/halvern");
    char value[16];
    std::snprintf(value, sizeof(value), "%08zx", ports.size());
    std::ofstream(m_root + "/etc/halvern/registry.reg")
        << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\HALVERN\\Quillmere]\r\n"
        << "\"NUMBER_OF_REQ_COM_PORTS\"=dword:" << value << "\r\n";
    return WaitFor([&] { return fs::exists(ComPath(ports.back())); }, 5000);
  }
  std::string list;
  for (unsigned p : ports) list += (list.empty() ? "" : ",") + std::to_string(p);
  std::vector<std::string> argv{BinDir() + "/vcomd", "--ports", list};
  if (m_opt.vcomdAsItsUnit) {
    const std::vector<std::string> unit{"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                        "--inh-caps=+dac_override,+chown", "--ambient-caps=+dac_override,+chown"};
    argv.insert(argv.begin(), unit.begin(), unit.end());
  }
  if (!m_vcomd.Start(argv, Env(), m_temp + "/vcomd.out")) return false;
  return WaitFor([&] { return fs::exists(ComPath(ports.back())) && fs::exists(m_root + "/run/zol/vcomd.ctl"); },
                 5000);
}

bool ZolSystem::StartLogService() {
  if (!fs::exists(m_bin + "/ZolLogSvc")) return false;
  if (!m_logService.Start({m_bin + "/ZolLogSvc", "console"}, Env(), m_temp + "/logsvc.out")) return false;
  return WaitFor([&] { return Accepts(m_tcpPort); }, 5000);
}

std::string ZolSystem::TracePath(const std::string& name) const { return m_temp + "/" + name + ".trace"; }

bool ZolSystem::StartDevice(Child& child, const std::string& kind, const std::string& name,
                            const std::vector<std::string>& args) {
  std::vector<std::string> argv = HidsimCommand({kind, "--name", name, "--trace", TracePath(name)});
  argv.insert(argv.end(), args.begin(), args.end());
  if (m_opt.uhid) argv.push_back("--uhid");
  // Each run shows its own screen: a replugged device starts a fresh output.
  std::error_code ec;
  fs::remove(m_temp + "/" + name + ".out", ec);
  if (!child.Start(argv, Env(), m_temp + "/" + name + ".out")) return false;
  return WaitFor([&] { return fs::exists(DeviceSocket(name)); });
}

bool ZolSystem::StartDevice(const std::string& kind, const std::string& name, const std::vector<std::string>& args) {
  auto& child = m_devices[name];
  child = std::make_unique<Child>();
  return StartDevice(*child, kind, name, args);
}

bool ZolSystem::StopDevice(const std::string& name) {
  auto it = m_devices.find(name);
  if (it == m_devices.end()) return false;
  it->second->Signal(SIGTERM);
  const bool ended = it->second->WaitExit(5000) != -1;
  m_devices.erase(it);
  return ended && WaitFor([&] { return !fs::exists(DeviceSocket(name)); }, 5000);
}

bool ZolSystem::RunHidsim(const std::vector<std::string>& args) {
  if (args.empty()) return false;
  return RunToEnd(HidsimCommand(args), Env(), m_temp + "/" + args.front() + ".out") == 0;
}

bool ZolSystem::StartService(bool waitForReady) {
  auto env = Env();
  for (const auto& [key, value] : m_opt.serviceEnv) env[key] = value;
  if (!m_service.Start({m_bin + "/PortBridgeServer", "console"}, env, m_temp + "/service.out", m_temp)) return false;
  if (!waitForReady) return true;
  if (m_opt.logLevel < m_opt.readyLevel || m_opt.readyLines.empty()) {
    // The ready line is not logged: wait for the start-up reports at the
    // first device instead.
    return m_opt.traceReports == 0 || m_devices.empty() ||
           WaitFor([&] { return Trace(m_devices.begin()->first).size() >= m_opt.traceReports; }, 15000);
  }
  return WaitFor(
      [&] {
        const std::string log = Log();
        for (const auto& line : m_opt.readyLines) {
          if (log.find(line) != std::string::npos) return true;
        }
        return false;
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
  m_com = std::make_unique<App>(ComPath(n));
  return m_com->IsOpen();
}

bool ZolSystem::WriteCom(const Bytes& data) { return WriteCom(std::string(data.begin(), data.end())); }

namespace {

std::string ReadyLine(unsigned n, bool ready) {
  return "ZolPort::PortReadyInternal - COM" + std::to_string(n) + (ready ? " Ready=1" : " Ready=0");
}

}  // namespace

bool ZolSystem::OpenApp(unsigned n, App*& app) {
  const std::size_t before = CountLog(ReadyLine(n, true));
  m_com = std::make_unique<App>(ComPath(n));
  app = m_com.get();
  return m_com->IsOpen() && WaitForLog(ReadyLine(n, true), before + 1);
}

bool ZolSystem::CloseApp(unsigned n) {
  const std::size_t before = CountLog(ReadyLine(n, false));
  m_com.reset();
  return WaitForLog(ReadyLine(n, false), before + 1);
}

std::vector<Bytes> ZolSystem::Trace(const std::string& name) const {
  std::vector<Bytes> reports;
  for (const std::string& line : TraceLines(name)) {
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

bool ZolSystem::WaitForLog(const std::string& needle, std::size_t count, int timeoutMs) const {
  return WaitFor([&] { return CountLog(needle) >= count; }, timeoutMs);
}

SystemOptions PosSystemOptions() {
  SystemOptions o;
  o.ports = {3, 4};
  o.msrPort = "COM3";
  o.ldPort = "COM4";
  o.install = {{"LdHidBridge.so", "LdHidBridge.so"}, {"MsrHidBridge.so", "MsrHidBridge.so"},
               {"ZolHidSim.so", "ZolHidSim.so"}};
  o.extraSections =
      "<MSR_Configuration><CR_Enabled>true</CR_Enabled><Track1_Enabled>true</Track1_Enabled>"
      "<Track2_Enabled>true</Track2_Enabled><Track3_Enabled>true</Track3_Enabled></MSR_Configuration>";
  return o;
}

Bytes LineReport(std::uint8_t command, const std::string& text, std::size_t reportLength) {
  std::string line = text;
  line.resize(ldreport::kLineColumns, ' ');
  const auto built = ldreport::Line(command, reinterpret_cast<const std::uint8_t*>(line.data()));
  Bytes report(built.begin(), built.end());
  report.resize(reportLength, 0x00);
  return report;
}

}  // namespace zoltest
