#pragma once
// Simulated devices for the HID tests: a private ZOL_SYSROOT per test, hidsim
// processes started and stopped for real, and waits with deadlines.
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace hidtest {

using zoltest::BinDir;
using zoltest::ReadLines;

using zoltest::WaitFor;
// What these tests have always allowed a simulated device.
constexpr std::chrono::seconds kWait{5};

// A temporary ZOL_SYSROOT for the whole test, set in this process's
// environment (the simulators inherit it).
class TempRoot {
 public:
  TempRoot() { ::setenv("ZOL_SYSROOT", m_dir.Path().c_str(), 1); }
  ~TempRoot() { ::unsetenv("ZOL_SYSROOT"); }
  const std::string& Path() const { return m_dir.Path(); }
  std::string DeviceFolder() const { return Path() + "/run/zol/hidsim"; }
  std::string DevicePath(const std::string& name) const { return DeviceFolder() + "/" + name; }

 private:
  zoltest::TempDir m_dir{"zolhid"};
};

// Runs hidsim with arguments and waits for it to end; its exit code.
inline int RunHidsim(const std::vector<std::string>& args) {
  return zoltest::RunToEnd(zoltest::HidsimCommand(args), {}, "/dev/stdout");
}

// One simulated device: plugged in by starting hidsim, unplugged by stopping it.
class SimDevice {
 public:
  SimDevice(const TempRoot& root, std::string name) : m_root(root), m_name(std::move(name)) {}
  ~SimDevice() { Stop(); }
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  // kind is "ld" or "msr"; options are hidsim's identity options.
  bool Start(const std::string& kind, const std::vector<std::string>& options = {}) {
    std::vector<std::string> all = zoltest::HidsimCommand({kind, "--name", m_name});
    all.insert(all.end(), options.begin(), options.end());
    zoltest::ChildSetup setup;
    setup.errorFile = "/dev/stderr";
    if (!m_child.Start(all, {}, "/dev/null", setup)) return false;
    return WaitFor([this] { return std::filesystem::exists(Path()); }, kWait);
  }

  // SIGTERM, then waits for the process and for its socket to go.
  void Stop() {
    if (m_child.Pid() <= 0) return;
    m_child.Signal(SIGTERM);
    if (m_child.WaitExit() == -1) m_child.Kill();
    WaitFor([this] { return !std::filesystem::exists(Path()); }, kWait);
  }

  std::string Path() const { return m_root.DevicePath(m_name); }
  std::wstring WidePath() const {
    const std::string p = Path();
    return std::wstring(p.begin(), p.end());
  }

 private:
  const TempRoot& m_root;
  std::string m_name;
  zoltest::Child m_child;
};

inline std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

}  // namespace hidtest
