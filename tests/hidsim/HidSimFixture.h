#pragma once
// Fixture for tests on real hidsim processes in a temporary ZOL_SYSROOT,
// reached through the real ZolHidSim.so loaded by name.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/ZolHidProvider.h"
#include "platform/DynamicLibrary.h"
#include "platform/Text.h"
#include "tests/support/TestSupport.h"
#include "tests/support/ZolSystem.h"

namespace hidsimtest {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kNotConnected = 1167;
constexpr std::uint32_t kIoPending = 997;
constexpr std::uint32_t kNoMoreItems = 259;
constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kInvalidParameter = 87;
constexpr auto kDeadline = std::chrono::seconds(10);

inline bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = kDeadline) {
  return zoltest::WaitFor(condition, limit);
}

inline int MillisecondsLeft(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

using zoltest::ReadText;

inline std::string Hex(const Bytes& bytes) {
  std::string out;
  char cell[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(cell, sizeof(cell), i == 0 ? "%02x" : " %02x", bytes[i]);
    out += cell;
  }
  return out;
}

// A line report as the display receives it.
using zoltest::LineReport;

inline Bytes Report(Bytes r, std::size_t length) {
  r.resize(length, 0);
  return r;
}

// The provider's functions, bound by name as the plug-ins bind them.
struct Provider {
  sys::DynamicLibrary library;
  decltype(&ZolHid_EnumerateInterfaces) Enumerate = nullptr;
  decltype(&ZolHid_Open) Open = nullptr;
  decltype(&ZolHid_Close) Close = nullptr;
  decltype(&ZolHid_GetAttributes) GetAttributes = nullptr;
  decltype(&ZolHid_GetCaps) GetCaps = nullptr;
  decltype(&ZolHid_GetValueCaps) GetValueCaps = nullptr;
  decltype(&ZolHid_GetSerialNumber) GetSerialNumber = nullptr;
  decltype(&ZolHid_FlushQueue) FlushQueue = nullptr;
  decltype(&ZolHid_SetNumInputBuffers) SetNumInputBuffers = nullptr;
  decltype(&ZolHid_GetPollDescriptor) GetPollDescriptor = nullptr;
  decltype(&ZolHid_ReadInputReport) ReadInputReport = nullptr;
  decltype(&ZolHid_WriteOutputReport) WriteOutputReport = nullptr;
  decltype(&ZolHid_GetFeature) GetFeature = nullptr;
  decltype(&ZolHid_WatchOpen) WatchOpen = nullptr;
  decltype(&ZolHid_WatchDescriptor) WatchDescriptor = nullptr;
  decltype(&ZolHid_WatchNext) WatchNext = nullptr;
  decltype(&ZolHid_WatchClose) WatchClose = nullptr;

  bool Bind(const std::string& path) {
    if (!library.Load(sys::FromUtf8(path))) return false;
    return Resolve(Enumerate, "ZolHid_EnumerateInterfaces") && Resolve(Open, "ZolHid_Open") &&
           Resolve(Close, "ZolHid_Close") && Resolve(GetAttributes, "ZolHid_GetAttributes") &&
           Resolve(GetCaps, "ZolHid_GetCaps") && Resolve(GetValueCaps, "ZolHid_GetValueCaps") &&
           Resolve(GetSerialNumber, "ZolHid_GetSerialNumber") && Resolve(FlushQueue, "ZolHid_FlushQueue") &&
           Resolve(SetNumInputBuffers, "ZolHid_SetNumInputBuffers") &&
           Resolve(GetPollDescriptor, "ZolHid_GetPollDescriptor") &&
           Resolve(ReadInputReport, "ZolHid_ReadInputReport") &&
           Resolve(WriteOutputReport, "ZolHid_WriteOutputReport") && Resolve(GetFeature, "ZolHid_GetFeature") &&
           Resolve(WatchOpen, "ZolHid_WatchOpen") && Resolve(WatchDescriptor, "ZolHid_WatchDescriptor") &&
           Resolve(WatchNext, "ZolHid_WatchNext") && Resolve(WatchClose, "ZolHid_WatchClose");
  }

  template <typename F>
  bool Resolve(F& slot, const char* name) {
    slot = reinterpret_cast<F>(library.Symbol(name));
    return slot != nullptr;
  }
};

class HidSimDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("ZOL_BIN_DIR");
    ASSERT_NE(bin, nullptr) << "ZOL_BIN_DIR is not set";
    m_bin = bin;
    char root[] = "/tmp/zol-hidsim-XXXXXX";
    ASSERT_NE(::mkdtemp(root), nullptr);
    m_root = root;
    ::setenv("ZOL_SYSROOT", m_root.c_str(), 1);
    m_folder = m_root + "/run/zol/hidsim";
    ASSERT_TRUE(m_provider.Bind(m_bin + "/ZolHidSim.so")) << m_provider.library.LoadErrorText();
  }

  void TearDown() override {
    // A simulator that crashed or failed a sanitizer check exits non-zero.
    while (!m_children.empty()) EXPECT_EQ(Stop(m_children.back()), 0) << "simulator exit code";
    for (ZolHidDevice* d : m_devices) m_provider.Close(d);
    for (ZolHidWatch* w : m_watches) m_provider.WatchClose(w);
    std::error_code ec;
    if (!m_root.empty()) std::filesystem::remove_all(m_root, ec);
  }

  std::string DevicePath(const std::string& name) const { return m_folder + "/" + name; }

  // A device is plugged in once its socket takes connections.
  static bool Accepts(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
    ::close(fd);
    return ok;
  }

  // A hidsim process with its output in a file; its process id.
  pid_t Spawn(const std::vector<std::string>& args, const std::string& output) {
    std::vector<std::string> all = {m_bin + "/hidsim"};
    all.insert(all.end(), args.begin(), args.end());
    // Each run writes its own output.
    std::error_code ec;
    std::filesystem::remove(output, ec);
    auto child = std::make_unique<zoltest::Child>();
    if (!child->Start(all, {}, output)) return -1;
    const pid_t pid = child->Pid();
    m_processes[pid] = std::move(child);
    return pid;
  }

  // Starts a simulator and waits until its device is visible.
  pid_t StartDevice(const std::vector<std::string>& args, const std::string& name) {
    const pid_t pid = Spawn(args, m_root + "/" + name + ".out");
    EXPECT_GT(pid, 0);
    m_children.push_back(pid);
    EXPECT_TRUE(WaitFor([&] { return Accepts(DevicePath(name)); })) << ReadText(m_root + "/" + name + ".out");
    return pid;
  }

  // SIGTERM and reap; returns the exit code (-1 if it did not end in time).
  int Stop(pid_t pid) {
    std::erase(m_children, pid);
    auto it = m_processes.find(pid);
    if (it == m_processes.end()) return -1;
    it->second->Signal(SIGTERM);
    return Reap(pid);
  }

  // The exit code; -1 when killed by a signal or not ended in time.
  int Reap(pid_t pid) {
    auto it = m_processes.find(pid);
    if (it == m_processes.end()) return -1;
    const int code = it->second->WaitExit(static_cast<int>(std::chrono::milliseconds(kDeadline).count()));
    const bool ended = it->second->Ended();
    const int status = it->second->Status();
    m_processes.erase(it);  // kills one that lingers
    return ended && code != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Runs a hidsim command to its end; returns its exit code.
  int Run(const std::vector<std::string>& args, std::string* output = nullptr) {
    const std::string file = m_root + "/command.out";
    const pid_t pid = Spawn(args, file);
    const int code = Reap(pid);
    if (output != nullptr) *output = ReadText(file);
    return code;
  }

  std::vector<std::string> Enumerate() {
    std::uint32_t needed = 0;
    std::uint32_t rc = m_provider.Enumerate(nullptr, 0, &needed);
    EXPECT_EQ(rc, 122u);
    std::vector<char> buffer(needed);
    rc = m_provider.Enumerate(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &needed);
    EXPECT_EQ(rc, 0u);
    std::vector<std::string> paths;
    for (const char* p = buffer.data(); *p != '\0'; p += std::strlen(p) + 1) paths.emplace_back(p);
    return paths;
  }

  ZolHidDevice* Open(const std::string& path, std::uint32_t mode) {
    ZolHidDevice* d = nullptr;
    EXPECT_EQ(m_provider.Open(path.c_str(), mode, &d), 0u) << path;
    if (d != nullptr) m_devices.push_back(d);
    return d;
  }

  void Close(ZolHidDevice* d) {
    std::erase(m_devices, d);
    m_provider.Close(d);
  }

  ZolHidWatch* Watch() {
    ZolHidWatch* w = nullptr;
    EXPECT_EQ(m_provider.WatchOpen(&w), 0u);
    if (w != nullptr) m_watches.push_back(w);
    return w;
  }

  // The next watch event, waiting on the watch's descriptor.
  std::optional<ZolHidEvent> NextEvent(ZolHidWatch* w, std::chrono::milliseconds limit = kDeadline) {
    int fd = -1;
    if (m_provider.WatchDescriptor(w, &fd) != 0) return std::nullopt;
    const auto end = Clock::now() + limit;
    for (;;) {
      ZolHidEvent e{};
      const std::uint32_t rc = m_provider.WatchNext(w, &e);
      if (rc == 0) return e;
      if (rc != kNoMoreItems) return std::nullopt;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, MillisecondsLeft(end)) <= 0) return std::nullopt;
    }
  }

  // One input report, or the error that ended the wait (ERROR_TIMEOUT 1460).
  std::uint32_t ReadReport(ZolHidDevice* d, std::size_t length, Bytes* report,
                           std::chrono::milliseconds limit = kDeadline) {
    int fd = -1;
    if (m_provider.GetPollDescriptor(d, &fd) != 0) return kInvalidParameter;
    const auto end = Clock::now() + limit;
    report->assign(length, 0xEE);
    for (;;) {
      std::uint32_t got = 0;
      const std::uint32_t rc =
          m_provider.ReadInputReport(d, report->data(), static_cast<std::uint32_t>(length), &got);
      if (rc == 0) {
        report->resize(got);
        return 0;
      }
      if (rc != kIoPending) return rc;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, MillisecondsLeft(end)) <= 0) return 1460;
    }
  }

  std::uint32_t Write(ZolHidDevice* d, const Bytes& report) {
    return m_provider.WriteOutputReport(d, report.data(), static_cast<std::uint32_t>(report.size()));
  }

  Provider m_provider;
  std::string m_bin, m_root, m_folder;
  std::vector<pid_t> m_children;
  std::map<pid_t, std::unique_ptr<zoltest::Child>> m_processes;
  std::vector<ZolHidDevice*> m_devices;
  std::vector<ZolHidWatch*> m_watches;
};

}  // namespace hidsimtest
