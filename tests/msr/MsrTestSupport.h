#pragma once
// Simulated stripe readers (hidsim), and the whole system with the stripe
// reader on COM3, on top of the shared test support.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tests/support/ZolSystem.h"

namespace msrtest {

using namespace zoltest;

// One card as hidsim takes it.
struct Card {
  std::string track1, track2, track3;
  bool numeric = false;
  std::string errors;  // "1,3"

  std::vector<std::string> Args(const std::string& name) const {
    std::vector<std::string> a = {"swipe", name};
    if (numeric) a.push_back("--numeric");
    if (!track1.empty()) a.insert(a.end(), {"--track1", track1});
    if (!track2.empty()) a.insert(a.end(), {"--track2", track2});
    if (!track3.empty()) a.insert(a.end(), {"--track3", track3});
    if (!errors.empty()) a.insert(a.end(), {"--error", errors});
    return a;
  }
};

// Simulated stripe readers of one system.
class Readers {
 public:
  explicit Readers(ZolSystem& system) : m_system(system) {}

  std::string DevicePath(const std::string& name) const { return m_system.DevicePath(name); }
  // Starts "hidsim msr --name name" (with a trace of output reports); true
  // once its device is there.
  bool Plug(Child& child, const std::string& name) { return m_system.StartDevice(child, "msr", name); }
  bool Swipe(const std::string& name, const Card& card) { return m_system.RunHidsim(card.Args(name)); }
  bool Resume() { return m_system.InjectResume(); }
  // Output reports the reader received, one line of hex each.
  std::vector<std::string> Trace(const std::string& name) const { return m_system.TraceLines(name); }

 private:
  ZolSystem& m_system;
};

// The whole system in one temporary folder, the stripe reader on COM3.
class MsrSystem : public ZolSystem {
 public:
  static constexpr unsigned kCom = 3;

  explicit MsrSystem(const std::string& msrSection = "", int logLevel = 5)
      : ZolSystem(MakeOptions(msrSection, logLevel)), m_readers(*this) {}

  using ZolSystem::ComPath;
  Readers& Sim() { return m_readers; }
  const std::string& Out() const { return Temp(); }
  std::string ComPath() const { return ComPath(kCom); }
  bool WaitLog(const std::string& needle, std::size_t count = 1, int timeoutMs = kDeadlineMs) const {
    return WaitForLog(needle, count, timeoutMs);
  }

  // Log service, vcomd, then the port service with the plug-in on COM3.
  bool Start() { return Prepare() && StartLogService() && StartVcomd() && StartService(); }
  // Plugs the reader name in, starts the system and, given app, opens the
  // application's end: how most tests begin.
  void StartWith(Child& reader, const std::string& name, App** app = nullptr) {
    ASSERT_TRUE(m_readers.Plug(reader, name));
    ASSERT_TRUE(Start());
    if (app != nullptr) {
      ASSERT_TRUE(OpenApp(*app));
    }
  }
  // Opens the application's end and waits until the port passed it on as ready.
  bool OpenApp(App*& app) { return ZolSystem::OpenApp(kCom, app); }
  bool CloseApp() { return ZolSystem::CloseApp(kCom); }

 private:
  static SystemOptions MakeOptions(const std::string& msrSection, int logLevel) {
    SystemOptions o;
    o.ports = {kCom};
    o.msrPort = "COM" + std::to_string(kCom);
    o.ldPort = "";
    o.extraSections = msrSection;
    o.install = {{"MsrHidBridge.so", "MsrHidBridge.so"}, {"ZolHidSim.so", "ZolHidSim.so"}};
    o.needs = {"vcomd"};
    o.logLevel = logLevel;
    o.fileSize = 102400;
    o.env.clear();
    // The port service keeps each device's DEVICE_PARAMS for the life of the
    // process by design; the leak checker would turn that into exit code 134.
    const char* asan = std::getenv("ASAN_OPTIONS");
    o.serviceEnv = {{"ZOL_HID_PROVIDER", "ZolHidSim.so"},
                    {"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":detect_leaks=0"}};
    // Without info lines in the log the caller finds readiness its own way.
    o.readyLines = {"HidMsrManager::Initialize - Initialize success"};
    o.readyLevel = 3;
    o.traceReports = 0;
    return o;
  }

  Readers m_readers;
};

}  // namespace msrtest
