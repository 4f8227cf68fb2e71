// The plug-in loaded into the test process, driven through the device
// contract against a simulated display: readiness, hand-over limits and
// pacing, and a prompt Release while a status read waits.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "service/include/ZolDevice.h"
#include "tests/ld/CountingListener.h"
#include "tests/support/ZolSystem.h"

namespace {

using zoltest::Bytes;
using zoltest::LineReport;
using zoltest::WaitFor;

// One system per test program: the library's log client keeps the settings
// it read first, so every test logs to the same service.
zoltest::ZolSystem* g_System = nullptr;
PFN_CREATE_DEVICE g_CreateDevice = nullptr;
std::string g_Problem;

// The log client reads the document beside the running executable, so the
// test first copies itself into a folder of its own, with the document
// beside it, and continues there (same arguments, same process).
void RestartBesideDocument() {
  char self[4096] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    g_Problem = "cannot find this executable";
    return;
  }
  zoltest::ZolSystem folder;
  if (!folder.PrepareInProcess(self)) {
    g_Problem = folder.Problem();
    return;
  }
  folder.Keep();
  ::setenv("ZOL_LD_PLUGIN_DIR", folder.Temp().c_str(), 1);
  ::setenv("ZOL_LD_PLUGIN_PORT", std::to_string(folder.TcpPort()).c_str(), 1);
  for (const auto& [key, value] : folder.Env()) ::setenv(key.c_str(), value.c_str(), 1);
  const std::string arguments = zoltest::ReadText("/proc/self/cmdline");
  std::vector<std::string> argv;
  for (std::size_t start = 0; start < arguments.size();) {
    const std::size_t end = arguments.find('\0', start);
    argv.push_back(arguments.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  argv[0] = folder.Bin() + "/" + std::string(std::strrchr(self, '/') + 1);
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  std::fflush(nullptr);
  ::execv(args[0], args.data());
  g_Problem = "cannot restart beside the document";
}

class PluginEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* folder = std::getenv("ZOL_LD_PLUGIN_DIR");
    const char* port = std::getenv("ZOL_LD_PLUGIN_PORT");
    if (folder == nullptr || port == nullptr) {
      RestartBesideDocument();
      return;
    }
    zoltest::SystemOptions options;
    options.folder = folder;
    options.tcpPort = std::atoi(port);
    g_System = new zoltest::ZolSystem(options);
    if (!g_System->StartLogService()) {
      g_Problem = "ZolLogSvc did not start";
      return;
    }
    const char* bin = std::getenv("ZOL_BIN_DIR");
    const std::string path = std::string(bin != nullptr ? bin : ".") + "/LdHidBridge.so";
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      g_Problem = std::string("cannot load ") + path;
      return;
    }
    g_CreateDevice = reinterpret_cast<PFN_CREATE_DEVICE>(::dlsym(library, "CreateDevice"));
  }
  void TearDown() override {
    delete g_System;
    g_System = nullptr;
  }
};

const auto* const g_Environment = ::testing::AddGlobalTestEnvironment(new PluginEnvironment);

// A device made by the plug-in, released at the end of its scope.
struct DeviceRelease {
  void operator()(IDevice* device) const {
    if (device != nullptr) device->Release();
  }
};
using DevicePtr = std::unique_ptr<IDevice, DeviceRelease>;

class LdPlugin : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_Problem.empty()) << g_Problem;
    ASSERT_NE(g_CreateDevice, nullptr);
  }
  void TearDown() override {
    device.reset();
    if (!deviceName.empty()) g_System->StopDevice(deviceName);
  }
  void Plug(const std::string& name, const std::vector<std::string>& args = {}) {
    deviceName = name;
    std::remove(g_System->TracePath(name).c_str());
    ASSERT_TRUE(g_System->StartDevice("ld", name, args));
  }
  void Create() {
    device.reset(g_CreateDevice());
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->Initialize(&listener, &params), DEVICE_SUCCESS);
  }
  void Send(const std::string& text) {
    device->DataReceived(reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<std::int32_t>(text.size()));
  }
  bool TraceHas(const Bytes& report, int timeoutMs = 5000) {
    return WaitFor(
        [&] {
          for (const Bytes& r : g_System->Trace(deviceName)) {
            if (r == report) return true;
          }
          return false;
        },
        timeoutMs);
  }

  CountingListener listener;
  DEVICE_PARAMS params{};
  DevicePtr device;
  std::string deviceName;
};

TEST_F(LdPlugin, WithoutDisplayInitializeSucceedsAndDataIsDiscarded) {
  const std::size_t before =
      g_System->CountLog("HidLdManager::Receive - Wait for m_InitEvent failed, waitRC=0x00000102; Data discarded");
  Create();
  EXPECT_EQ(listener.readyTrue.load(), 1);
  Send("lost");
  EXPECT_TRUE(g_System->WaitForLog(
      "HidLdManager::Receive - Wait for m_InitEvent failed, waitRC=0x00000102; Data discarded", before + 1, 5000));
  device->Terminate();
  device->Terminate();
  EXPECT_EQ(listener.readyFalse.load(), 2);
  EXPECT_EQ(listener.writes.load(), 0);  // the display never writes to the port
}

// A released device's port is gone: a new device that was never initialised
// must not call it, and stops without having started anything.
TEST_F(LdPlugin, TerminateWithoutInitializeCallsNoListener) {
  {
    CountingListener first;
    DevicePtr earlier(g_CreateDevice());
    ASSERT_NE(earlier, nullptr);
    ASSERT_EQ(earlier->Initialize(&first, &params), DEVICE_SUCCESS);
  }
  device.reset(g_CreateDevice());
  ASSERT_NE(device, nullptr);
  device->Terminate();
  EXPECT_EQ(listener.readyFalse.load(), 0);
  const auto started = std::chrono::steady_clock::now();
  device.reset();
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count(),
            5000);
}

TEST_F(LdPlugin, HandOverAbove4096IsDiscardedAnd4096Processed) {
  Plug("ldlimit");
  Create();
  ASSERT_TRUE(TraceHas(LineReport(0x82, "")));
  const std::size_t before = g_System->CountLog("HidLdManager::Receive - Not enough buffer; Data discarded");
  Send(std::string(4097, 'Q'));
  EXPECT_TRUE(g_System->WaitForLog("HidLdManager::Receive - Not enough buffer; Data discarded", before + 1, 5000));
  // Exactly the limit: 4096 bytes whose visible result is the last line.
  std::string full = std::string(4096 - 22, 'W') + std::string("\x10\x00", 2) + "limit of the buffer!";
  ASSERT_EQ(full.size(), 4096u);
  Send(full);
  EXPECT_TRUE(TraceHas(LineReport(0x81, "limit of the buffer!")));
  for (const Bytes& r : g_System->Trace(deviceName)) EXPECT_NE(r, LineReport(0x81, std::string(20, 'Q')));
}

TEST_F(LdPlugin, EmptyHandOverAndPortReadyChangeNothing) {
  Plug("ldempty");
  Create();
  ASSERT_TRUE(TraceHas(LineReport(0x82, "")));
  Send("one");
  ASSERT_TRUE(TraceHas(LineReport(0x81, "one")));
  const std::size_t reports = g_System->Trace(deviceName).size();
  device->DataReceived(nullptr, 0);
  device->PortReady(FALSE);
  device->PortReady(TRUE);
  device->PortReady(TRUE);
  Send("!");
  ASSERT_TRUE(TraceHas(LineReport(0x81, "one!")));
  EXPECT_EQ(g_System->Trace(deviceName).size(), reports + 1);
}

TEST_F(LdPlugin, NextHandOverWaitsUntilTheSelfTestIsDone) {
  Plug("ldselftest");
  Create();
  ASSERT_TRUE(TraceHas(LineReport(0x82, "")));
  Send("\x0F");
  // Returns only once the buffer is free again, i.e. after the self-test and
  // its reset were sent; the simulator records them in the order received.
  Send("next");
  ASSERT_TRUE(TraceHas(LineReport(0x81, "next")));
  const std::vector<Bytes> trace = g_System->Trace(deviceName);
  std::size_t resetAt = trace.size();
  std::size_t nextAt = trace.size();
  for (std::size_t i = 0; i < trace.size(); ++i) {
    if (trace[i][1] == 0x41 && trace[i][2] == 0x1F) resetAt = i;
    if (trace[i] == LineReport(0x81, "next")) nextAt = i;
  }
  ASSERT_LT(resetAt, nextAt) << "the self-test's reset was not sent before the next hand-over";
  EXPECT_GE(resetAt, 83u);  // 80 line reports, RAM write, two solid lines
}

TEST_F(LdPlugin, ReleaseIsPromptWhileAStatusReadWaits) {
  Plug("ldrelease");
  Create();
  ASSERT_TRUE(TraceHas(LineReport(0x82, "")));
  // After the start-up reports the status thread reads what is left of their
  // answers (each command flushes the queue), then waits for a report that
  // does not come.
  ASSERT_TRUE(g_System->WaitForLog("BexHidLd::GetLdStatus - LD Status Bytes", 1, 5000));
  const auto started = std::chrono::steady_clock::now();
  device.reset();
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 5000);
}

}  // namespace
