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

#include "platform/ErrorNumbers.h"
#include "tests/support/Hex.h"
#include "tests/support/HidProvider.h"
#include "tests/support/TestSupport.h"
#include "tests/support/ZolSystem.h"

namespace hidsimtest {

using Bytes = std::vector<std::uint8_t>;
using zoltest::Clock;

constexpr std::uint32_t kNotConnected = sys::errnum::kErrorDeviceNotConnected;
constexpr std::uint32_t kIoPending = sys::errnum::kErrorIoPending;
constexpr std::uint32_t kNoMoreItems = sys::errnum::kErrorNoMoreItems;
constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kInvalidParameter = 87;
// What these tests have always allowed a simulator's answer.
constexpr auto kDeadline = std::chrono::seconds(10);

using zoltest::MillisecondsLeft;
using zoltest::ReadText;
using zoltest::WaitFor;

inline std::string Hex(const Bytes& bytes) { return zoltest::Hex(bytes, " "); }

// A line report as the display receives it.
using zoltest::LineReport;

inline Bytes Report(Bytes r, std::size_t length) {
  r.resize(length, 0);
  return r;
}

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
    // Each run writes its own output.
    std::error_code ec;
    std::filesystem::remove(output, ec);
    auto child = std::make_unique<zoltest::Child>();
    if (!child->Start(zoltest::HidsimCommand(args), {}, output)) return -1;
    const pid_t pid = child->Pid();
    m_processes[pid] = std::move(child);
    return pid;
  }

  // Starts a simulator and waits until its device is visible.
  pid_t StartDevice(const std::vector<std::string>& args, const std::string& name) {
    const pid_t pid = Spawn(args, m_root + "/" + name + ".out");
    EXPECT_GT(pid, 0);
    m_children.push_back(pid);
    EXPECT_TRUE(WaitFor([&] { return Accepts(DevicePath(name)); }, kDeadline)) << ReadText(m_root + "/" + name + ".out");
    return pid;
  }

  // Starts a simulator and opens a read and a write handle on its device.
  void StartAndOpen(const std::vector<std::string>& args, const std::string& name, ZolHidDevice*& reader,
                    ZolHidDevice*& writer) {
    StartDevice(args, name);
    reader = Open(DevicePath(name), ZOLHID_OPEN_READ);
    writer = Open(DevicePath(name), ZOLHID_OPEN_WRITE);
    ASSERT_NE(reader, nullptr);
    ASSERT_NE(writer, nullptr);
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

  zoltest::HidProvider m_provider;
  std::string m_bin, m_root, m_folder;
  std::vector<pid_t> m_children;
  std::map<pid_t, std::unique_ptr<zoltest::Child>> m_processes;
  std::vector<ZolHidDevice*> m_devices;
  std::vector<ZolHidWatch*> m_watches;
};

}  // namespace hidsimtest
