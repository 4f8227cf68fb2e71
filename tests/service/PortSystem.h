#pragma once
// A whole port system in a temporary folder: vcomd and PortBridgeServer (and
// ZolLogSvc when it is built) run as real processes under a private
// ZOL_SYSROOT; the test acts as the application on /dev/ttyZOL<n> and drives
// the test plug-in through its command socket.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tests/support/ZolSystem.h"

namespace porttest {

using namespace zoltest;
namespace fs = std::filesystem;

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
  bool kernelDriver = false;  // zolvcom serves the ports (see SystemOptions)
  bool vcomdAsItsUnit = false;  // see SystemOptions
  bool withLogService = true;
  int logLevel = 5;
};

// COM3 alone, no log service, nothing logged, the test plug-in echoing what
// the application writes: what the benchmarks measure.
inline PortSystemOptions EchoOptions() {
  PortSystemOptions o;
  o.ports = {3};
  o.ldPort = "";
  o.installLd = false;
  o.withLogService = false;
  o.logLevel = 0;
  o.serviceEnv["ZOL_TESTPLUGIN_ECHO"] = "1";
  return o;
}

// The whole system in one temporary folder, with the test plug-in in place
// of the device plug-ins.
class PortSystem : public ZolSystem {
 public:
  explicit PortSystem(const PortSystemOptions& options)
      : ZolSystem(Translate(options)), m_startVcomd(options.startVcomd), m_plugin(Temp() + "/plugin") {
    std::filesystem::create_directories(m_plugin);
    Options().env["ZOL_TESTPLUGIN_DIR"] = m_plugin;
  }

  std::string PluginLog(const std::string& library) const { return m_plugin + "/" + library + ".log"; }
  std::string PluginSocket(const std::string& library) const { return m_plugin + "/" + library + ".sock"; }
  std::vector<std::string> PluginLines(const std::string& library) const { return ReadLines(PluginLog(library)); }

  void WriteRegistry(unsigned count) {
    std::filesystem::create_directories(Root() + "/etc/halvern");
    char v[16];
    std::snprintf(v, sizeof(v), "%08x", count);
    std::ofstream reg(Root() + "/etc/halvern/registry.reg");
    reg << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\HALVERN\\Quillmere]\r\n"
        << "\"NUMBER_OF_REQ_COM_PORTS\"=dword:" << v << "\r\n";
  }

  // Log service (when built), vcomd, then the service.
  bool Start() {
    if (!Prepare()) return false;
    if (Options().withLogService) StartLogService();
    if (m_startVcomd && !StartVcomd()) return false;
    return StartService();
  }

  void SetServiceEnv(const std::string& key, const std::string& value) { Options().serviceEnv[key] = value; }

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
  std::string Control(const std::string& line) { return zoltest::VcomdControl(Root(), line); }

  // True once the log file holds needle (log lines arrive asynchronously).
  bool WaitLog(const std::string& needle, int timeoutMs = 5000) { return WaitForLog(needle, 1, timeoutMs); }

 private:
  static SystemOptions Translate(const PortSystemOptions& p) {
    SystemOptions o;
    o.ports = p.ports;
    o.kernelDriver = p.kernelDriver;
    o.vcomdAsItsUnit = p.vcomdAsItsUnit;
    if (!p.msrPort.empty() || p.installMsr) o.msrPort = p.msrPort;
    if (!p.ldPort.empty() || p.installLd) o.ldPort = p.ldPort;
    else o.ldPort.reset();
    o.extraPorts = p.extraPorts;
    o.install.clear();
    if (p.installMsr) o.install.emplace_back(p.msrLibrary, "MsrHidBridge.so");
    if (p.installLd) o.install.emplace_back(p.ldLibrary, "LdHidBridge.so");
    o.needs.clear();
    o.env.clear();
    o.withLogService = p.withLogService;
    o.logServiceOptional = true;
    o.logLevel = p.logLevel;
    o.fileSize = 10240;
    o.serviceEnv = p.serviceEnv;
    o.readyLines.clear();
    o.traceReports = 0;
    o.gracefulStop = false;
    return o;
  }
  bool m_startVcomd;
  std::string m_plugin;
};

}  // namespace porttest
