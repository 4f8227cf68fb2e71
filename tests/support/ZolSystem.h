#pragma once
// The whole system in a temporary ZOL_SYSROOT: vcomd, ZolLogSvc and
// PortBridgeServer (console) with its plug-ins and the simulated HID provider
// copied beside it, and hidsim devices started and stopped at will. The test
// is the application on <sysroot>/dev/ttyZOL<n>; it reads the simulator's
// trace and screen and the log file.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/TestSupport.h"

namespace zoltest {

using Bytes = std::vector<std::uint8_t>;

struct SystemOptions {
  std::vector<unsigned> ports = {5};  // vcomd's COM ports
  // The kernel driver zolvcom serves the ports (already loaded with them)
  // instead of vcomd: StartVcomd() then only writes the port count, and the
  // COM ports are the driver's /dev/ttyZOL<n>. Otherwise vcomd serves them
  // even where the driver is loaded.
  bool kernelDriver = false;
  // vcomd runs as its unit runs it: an unprivileged user with only the
  // capabilities the unit gives (CAP_DAC_OVERRIDE, CAP_CHOWN).
  bool vcomdAsItsUnit = false;
  // Ports_Configuration texts; an element is written only when set.
  std::optional<std::string> msrPort;
  std::optional<std::string> ldPort = "COM5";
  std::string extraPorts;     // raw XML added to Ports_Configuration
  std::string extraSections;  // raw XML added after Logging_Configuration
  // Built files copied beside the service: {built name, name beside it}.
  std::vector<std::pair<std::string, std::string>> install = {{"LdHidBridge.so", "LdHidBridge.so"},
                                                             {"ZolHidSim.so", "ZolHidSim.so"}};
  // Programs the system needs from the build besides those it copies.
  std::vector<std::string> needs = {"vcomd", "hidsim"};
  bool withLogService = true;
  // Without a built ZolLogSvc the system runs without one.
  bool logServiceOptional = false;
  int logLevel = 5;
  int fileSize = 0;
  // Added to the environment of every process / of the service only.
  std::map<std::string, std::string> env = {{"ZOL_HID_PROVIDER", "ZolHidSim.so"}};
  std::map<std::string, std::string> serviceEnv;
  // StartService(true) waits for one of these log lines when the log level
  // shows them (readyLevel), else for traceReports output reports at the
  // first device.
  std::vector<std::string> readyLines = {"LdHidBridge::Initialize - Success", "LdHidBridge::Initialize - Failed"};
  int readyLevel = 4;
  std::size_t traceReports = 5;
  // At destruction: SIGINT to the service and a wait for each process,
  // instead of SIGKILL.
  bool gracefulStop = true;
  // Devices made by hidsim --uhid: kernel HID devices, which every process
  // of the machine sees (the default provider ZolHidRaw.so finds them).
  bool uhid = false;
  // An existing folder to use (and remove at the end) instead of a new one,
  // with the log TCP port already written into its document.
  std::string folder;
  int tcpPort = 0;
};

class ZolSystem {
 public:
  explicit ZolSystem(SystemOptions options = {});
  ~ZolSystem();
  ZolSystem(const ZolSystem&) = delete;
  ZolSystem& operator=(const ZolSystem&) = delete;

  // Copies the programs and libraries, writes ZolConfig.xml; false with a
  // reason in Problem() when something the system needs is not built.
  bool Prepare();
  // For a plug-in loaded into a test process: copies that executable and
  // ZolLogSvc into the folder with the document beside them (the document is
  // always looked up beside the running executable).
  bool PrepareInProcess(const std::string& executable);
  // Leave the folder in place at destruction (it is handed to another process).
  void Keep() { m_keep = true; }
  int TcpPort() const { return m_tcpPort; }
  const std::string& Bin() const { return m_bin; }
  const std::string& Problem() const { return m_problem; }
  SystemOptions& Options() { return m_opt; }

  bool StartVcomd() { return StartVcomd(m_opt.ports); }
  bool StartVcomd(const std::vector<unsigned>& ports);
  bool StartLogService();
  bool HasLogService() const { return m_logService.Pid() > 0; }
  // hidsim KIND --name NAME --trace <tmp>/NAME.trace args... (and --uhid);
  // waits until its device socket appears. The first form keeps the process, the second
  // leaves it to the caller.
  bool StartDevice(const std::string& kind, const std::string& name, const std::vector<std::string>& args = {});
  bool StartDevice(Child& child, const std::string& kind, const std::string& name,
                   const std::vector<std::string>& args = {});
  // SIGTERM: the device is unplugged.
  bool StopDevice(const std::string& name);
  // hidsim with these arguments, run to its end; true on exit code 0.
  bool RunHidsim(const std::vector<std::string>& args);
  bool InjectResume() { return RunHidsim({"resume"}); }
  // PortBridgeServer console in the temporary folder; waits for the ready
  // signal of the options when waitForReady.
  bool StartService(bool waitForReady = true);
  // SIGINT; the exit code, or -1 when it did not end within timeoutMs.
  int StopService(int timeoutMs = 15000);
  // Prepare, vcomd, the log service, one display "ld1" and the service.
  bool StartAll(bool withDisplay = true);

  // The application's side of COM<n>, opened once and kept.
  bool OpenCom(unsigned n);
  bool WriteCom(const Bytes& data);
  bool WriteCom(const std::string& text) { return m_com != nullptr && m_com->Write(text); }
  // Opens COM<n> and waits until the port service passed it on as ready.
  bool OpenApp(unsigned n, App*& app);
  // Closes it and waits until the port service passed that on.
  bool CloseApp(unsigned n);

  // Output reports the device received, in order (whole report, zero-filled).
  std::vector<Bytes> Trace(const std::string& name) const;
  // The same, one line of hex each.
  std::vector<std::string> TraceLines(const std::string& name) const { return ReadLines(TracePath(name)); }
  std::string TracePath(const std::string& name) const;
  // The last screen hidsim showed: two rows as raw text (RAM codes as
  // multi-byte superscripts).
  std::vector<std::string> Screen(const std::string& name) const;
  std::string Log() const { return ReadText(m_logFile); }
  std::vector<std::string> LogLines() const { return ReadLines(m_logFile); }
  const std::string& LogFile() const { return m_logFile; }
  std::size_t CountLog(const std::string& needle) const { return Count(Log(), needle); }
  bool WaitForLog(const std::string& needle, std::size_t count = 1, int timeoutMs = kDeadlineMs) const;
  std::string ServiceOutput() const { return ReadText(m_temp + "/service.out"); }

  const std::string& Root() const { return m_root; }
  const std::string& Temp() const { return m_temp; }
  std::string ComPath(unsigned n) const {
    return (m_opt.kernelDriver ? "" : m_root) + "/dev/ttyZOL" + std::to_string(n);
  }
  std::string DevicePath(const std::string& name) const { return m_root + "/run/zol/hidsim/" + name; }
  // The socket that tells a started device is there: its own, or with uhid
  // the one through which it takes swipes.
  std::string DeviceSocket(const std::string& name) const {
    return m_opt.uhid ? m_root + "/run/zol/hidsim/@uhid." + name : DevicePath(name);
  }
  std::map<std::string, std::string> Env() const;
  Child& Service() { return m_service; }
  Child& Vcomd() { return m_vcomd; }

 private:
  bool WriteConfig(const std::string& path);
  bool Copy(const std::string& from, const std::string& to);

  SystemOptions m_opt;
  std::string m_temp;
  std::string m_root;
  std::string m_bin;
  std::string m_logFile;
  std::string m_problem;
  int m_tcpPort = 0;
  bool m_keep = false;
  std::unique_ptr<App> m_com;
  Child m_vcomd;
  Child m_logService;
  Child m_service;
  std::map<std::string, std::unique_ptr<Child>> m_devices;
};

// A line report as the display receives it: 00 81|82 28, 20 characters,
// checksum, zero-filled to the output report length.
Bytes LineReport(std::uint8_t command, const std::string& text, std::size_t reportLength = 32);

// Both devices as a POS application meets them: the reader on COM3 with
// every track and a carriage return, the display on COM4.
SystemOptions PosSystemOptions();

}  // namespace zoltest
