#pragma once
// The whole system on simulated devices in a temporary ZOL_SYSROOT: vcomd,
// ZolLogSvc, PortBridgeServer (console) with the plug-ins and the simulated
// HID provider copied beside it, and hidsim devices started and stopped at
// will. The test is the application on <sysroot>/dev/ttyZOL<n>; it reads the
// simulator's trace and screen and the log file.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zolsystem {

using Bytes = std::vector<std::uint8_t>;

// Polls cond until it holds or timeoutMs pass; the last answer of cond.
bool WaitFor(const std::function<bool()>& cond, int timeoutMs);
std::string ReadText(const std::string& path);
std::vector<std::string> ReadLines(const std::string& path);

// A child process, killed at destruction if still running.
class Child {
 public:
  Child() = default;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& outputFile);
  void Signal(int sig);
  // Exit code (128 + signal when killed), or -1 if still running at the deadline.
  int WaitExit(int timeoutMs);
  bool Running() const;
  pid_t Pid() const { return m_pid; }

 private:
  pid_t m_pid = -1;
};

struct SystemOptions {
  std::vector<unsigned> ports = {5};
  unsigned ldPort = 5;             // LD_USB = COM<ldPort>
  std::string msrPort;             // MSR_USB text, empty: no stripe reader configured
  bool withLogService = true;
  int logLevel = 5;                // Log_Level of the document
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

  bool StartVcomd();
  bool StartLogService();
  // hidsim ld|msr --name NAME [--trace <tmp>/NAME.trace] args...; waits until
  // its device socket appears.
  bool StartDevice(const std::string& kind, const std::string& name, const std::vector<std::string>& args = {});
  // SIGTERM: the device is unplugged.
  bool StopDevice(const std::string& name);
  // hidsim resume.
  bool InjectResume();
  // PortBridgeServer console; waits for the plug-in's "Initialize - Success"
  // (or failure) line when waitForPlugin.
  bool StartService(bool waitForPlugin = true);
  // SIGINT; the exit code, or -1 when it did not end within timeoutMs.
  int StopService(int timeoutMs);
  // Everything above in order with one display "ld1".
  bool StartAll(bool withDisplay = true);

  // The application's side of COM<n>, opened once and kept.
  bool OpenCom(unsigned n);
  bool WriteCom(const Bytes& data);
  bool WriteCom(const std::string& text) { return WriteCom(Bytes(text.begin(), text.end())); }

  // Output reports the device received, in order (whole report, zero-filled).
  std::vector<Bytes> Trace(const std::string& name) const;
  std::string TracePath(const std::string& name) const;
  // The last screen hidsim showed: two rows as raw text (RAM codes as
  // multi-byte superscripts).
  std::vector<std::string> Screen(const std::string& name) const;
  std::vector<std::string> LogLines() const;
  std::size_t CountLog(const std::string& needle) const;
  bool WaitForLog(const std::string& needle, std::size_t count, int timeoutMs) const;

  const std::string& Root() const { return m_root; }
  const std::string& Temp() const { return m_temp; }
  std::string ComPath(unsigned n) const { return m_root + "/dev/ttyZOL" + std::to_string(n); }
  std::string DevicePath(const std::string& name) const { return m_root + "/run/zol/hidsim/" + name; }
  std::map<std::string, std::string> Env() const;
  Child& Service() { return m_service; }

 private:
  bool WriteConfig(const std::string& path);

  SystemOptions m_opt;
  std::string m_temp;
  std::string m_root;
  std::string m_bin;
  std::string m_logFile;
  std::string m_problem;
  int m_tcpPort = 0;
  int m_comFd = -1;
  bool m_keep = false;
  Child m_vcomd;
  Child m_logService;
  Child m_service;
  std::map<std::string, std::unique_ptr<Child>> m_devices;
};

// A line report as the display receives it: 00 81|82 28, 20 characters,
// checksum, zero-filled to the output report length.
Bytes LineReport(std::uint8_t command, const std::string& text, std::size_t reportLength = 32);

}  // namespace zolsystem
