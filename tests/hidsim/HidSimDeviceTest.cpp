// Real hidsim processes in a temporary ZOL_SYSROOT, reached through the real
// ZolHidSim.so loaded by name.
#include <gtest/gtest.h>

#include <fcntl.h>
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
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "drivers/hid/ZolHidProvider.h"
#include "platform/DynamicLibrary.h"
#include "platform/Text.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kNotConnected = 1167;
constexpr std::uint32_t kIoPending = 997;
constexpr std::uint32_t kNoMoreItems = 259;
constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kInvalidParameter = 87;
constexpr auto kDeadline = std::chrono::seconds(10);

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = kDeadline) {
  const auto end = Clock::now() + limit;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= end) return false;
    // Polling interval of the check, not a wait for the condition itself.
    ::poll(nullptr, 0, 5);
  }
}

int MillisecondsLeft(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Hex(const Bytes& bytes) {
  std::string out;
  char cell[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(cell, sizeof(cell), i == 0 ? "%02x" : " %02x", bytes[i]);
    out += cell;
  }
  return out;
}

Bytes LineReport(std::uint8_t command, const std::string& text, std::size_t length = 32) {
  Bytes r = {0x00, command, 0x28};
  for (std::size_t i = 0; i < 20; ++i) r.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0x20);
  unsigned sum = 0;
  for (std::uint8_t b : r) sum += b;
  r.push_back(static_cast<std::uint8_t>(sum));
  r.resize(length, 0);
  return r;
}

Bytes Report(Bytes r, std::size_t length) {
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

  pid_t Spawn(const std::vector<std::string>& args, const std::string& output) {
    std::vector<std::string> all = {m_bin + "/hidsim"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
      }
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    return pid;
  }

  // Starts a simulator and waits until its device is visible.
  pid_t StartDevice(const std::vector<std::string>& args, const std::string& name) {
    const pid_t pid = Spawn(args, m_root + "/" + name + ".out");
    EXPECT_GT(pid, 0);
    m_children.push_back(pid);
    EXPECT_TRUE(WaitFor([&] { return Accepts(DevicePath(name)); })) << ReadFile(m_root + "/" + name + ".out");
    return pid;
  }

  // SIGTERM and reap; returns the exit code (-1 if it did not end in time).
  int Stop(pid_t pid) {
    std::erase(m_children, pid);
    ::kill(pid, SIGTERM);
    return Reap(pid);
  }

  static int Reap(pid_t pid) {
    int status = 0;
    const bool ended = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
    if (!ended) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Runs a hidsim command to its end; returns its exit code.
  int Run(const std::vector<std::string>& args, std::string* output = nullptr) {
    const std::string file = m_root + "/command.out";
    const pid_t pid = Spawn(args, file);
    const int code = Reap(pid);
    if (output != nullptr) *output = ReadFile(file);
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
  std::vector<ZolHidDevice*> m_devices;
  std::vector<ZolHidWatch*> m_watches;
};

TEST_F(HidSimDevice, DisplayAnswersEveryReportTracesItAndShowsTheScreen) {
  const std::string trace = m_root + "/trace.txt";
  StartDevice({"ld", "--name", "ld1", "--trace", trace}, "ld1");
  ZolHidDevice* reader = Open(DevicePath("ld1"), ZOLHID_OPEN_READ);
  ZolHidDevice* writer = Open(DevicePath("ld1"), ZOLHID_OPEN_WRITE);
  ASSERT_NE(reader, nullptr);
  ASSERT_NE(writer, nullptr);

  const struct {
    const char* name;
    Bytes report;
    Bytes statusStart;  // the first bytes of the input report
  } steps[] = {
      {"status request", Report({0x00, 0x00, 0x20}, 32), {0x00, 0x01}},
      {"device information", Report({0x00, 0x00, 0x00, 0x01}, 32), {0x00, 0x11, 0x20}},
      {"character set list", Report({0x00, 0x42}, 32), {0x00, 0x03}},
      {"select character set", Report({0x00, 0x41, 0x05}, 32), {0x00, 0x01}},
      {"RAM location 2", Report({0x00, 0x40, 0x02, 0x04, 0x0E, 0x1F, 0x0E, 0x04, 0x00, 0x00, 0x00}, 32), {0x00, 0x01}},
      {"top line", LineReport(0x81, "PRICE"), {0x00, 0x01}},
      {"bottom line with RAM 2", LineReport(0x82, std::string("TOTAL \x02", 7)), {0x00, 0x01}},
      {"bad checksum", [] {
         Bytes r = LineReport(0x81, "IGNORED");
         r[23] ^= 0x01;
         return r;
       }(), {0x00, 0x80}},
      {"clear top from 3", Report({0x00, 0x01, 0x03}, 32), {0x00, 0x01}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    ASSERT_EQ(Write(writer, step.report), 0u);
    Bytes status;
    ASSERT_EQ(ReadReport(reader, 9, &status), 0u);
    ASSERT_EQ(status.size(), 9u);
    EXPECT_EQ(Bytes(status.begin(), status.begin() + static_cast<std::ptrdiff_t>(step.statusStart.size())),
              step.statusStart);
  }
  Bytes info;
  ASSERT_EQ(Write(writer, Report({0x00, 0x00, 0x00, 0x01}, 32)), 0u);
  ASSERT_EQ(ReadReport(reader, 9, &info), 0u);
  EXPECT_EQ(info[5], 0x03) << "command set";

  // One trace line per report received, in order, every byte.
  std::string expected;
  for (const auto& step : steps) expected += Hex(step.report) + "\n";
  expected += Hex(Report({0x00, 0x00, 0x00, 0x01}, 32)) + "\n";
  ASSERT_TRUE(WaitFor([&] { return ReadFile(trace).size() >= expected.size(); })) << ReadFile(trace);
  EXPECT_EQ(ReadFile(trace), expected);

  // The last screen shown: the top line cleared from position 3.
  const std::string frame = "|PRI                 |\n|TOTAL \u00b2             |\n";
  EXPECT_TRUE(WaitFor([&] {
    const std::string out = ReadFile(m_root + "/ld1.out");
    return out.size() >= frame.size() && out.compare(out.rfind("+\n|") + 2, frame.size(), frame) == 0;
  })) << ReadFile(m_root + "/ld1.out");
}

TEST_F(HidSimDevice, ReaderServesEachSwipeAsStatusAndFeatureReport) {
  StartDevice({"msr", "--name", "msr1"}, "msr1");
  ZolHidDevice* reader = Open(DevicePath("msr1"), ZOLHID_OPEN_READ);
  ZolHidDevice* writer = Open(DevicePath("msr1"), ZOLHID_OPEN_WRITE);
  ASSERT_NE(reader, nullptr);
  ASSERT_NE(writer, nullptr);

  // The device information request: status "feature report waiting", no card.
  ASSERT_EQ(Write(writer, Report({0x00, 0x00, 0x00, 0x01}, 8)), 0u);
  Bytes status;
  ASSERT_EQ(ReadReport(reader, 3, &status), 0u);
  EXPECT_EQ(status, (Bytes{0x00, 0x01, 0x00}));
  Bytes feature(291, 0);
  ASSERT_EQ(m_provider.GetFeature(reader, feature.data(), 291), 0u);
  EXPECT_NE(feature, Bytes(291, 0));

  const struct {
    const char* name;
    std::vector<std::string> args;
    Bytes status;
    Bytes featureStart;  // report id, then the card-data area
  } swipes[] = {
      {"ISO", {"--track1", "ABC", "--track2", "123"}, {0x00, 0x04, 0x01},
       {0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x21, 0x22, 0x23, 0x03, 0x01, 0x02, 0x03, 0x00}},
      {"ISO with errors and track 3", {"--track3", "9=", "--error", "1,3"}, {0x00, 0x04, 0x01},
       {0x00, 0x00, 0x11, 0x00, 0x00, 0x00, 0x00, 0x02, '9', '='}},
      {"numeric", {"--numeric", "--track1", "12", "--track2", "34"}, {0x00, 0x20, 0x01},
       {0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x01, 0x02, 0x02, 0x03, 0x04}},
  };
  for (const auto& swipe : swipes) {
    SCOPED_TRACE(swipe.name);
    std::vector<std::string> args = {"swipe", "msr1"};
    args.insert(args.end(), swipe.args.begin(), swipe.args.end());
    std::string output;
    ASSERT_EQ(Run(args, &output), 0) << output;
    ASSERT_EQ(ReadReport(reader, 3, &status), 0u);
    EXPECT_EQ(status, swipe.status);
    feature.assign(291, 0xEE);
    feature[0] = 0;
    ASSERT_EQ(m_provider.GetFeature(reader, feature.data(), 291), 0u);
    for (std::size_t i = 0; i < feature.size(); ++i) {
      const std::uint8_t want = i < swipe.featureStart.size() ? swipe.featureStart[i] : 0;
      ASSERT_EQ(feature[i], want) << "feature byte " << i;
    }
  }
  // Any other command is rejected.
  ASSERT_EQ(Write(writer, Report({0x00, 0x07}, 8)), 0u);
  ASSERT_EQ(ReadReport(reader, 3, &status), 0u);
  EXPECT_EQ(status, (Bytes{0x00, 0x80, 0x00}));
}

TEST_F(HidSimDevice, SwipeFailsWithoutAStripeReader) {
  StartDevice({"ld", "--name", "display"}, "display");
  const struct {
    const char* name;
    std::vector<std::string> args;
    int code;
  } cases[] = {
      {"no such device", {"swipe", "nobody", "--track1", "A"}, 1},
      {"device is a display", {"swipe", "display", "--track1", "A"}, 1},
      {"bad error list", {"swipe", "display", "--error", "4"}, 2},
      {"character the track cannot hold", {"swipe", "display", "--track2", "A B"}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string output;
    EXPECT_EQ(Run(c.args, &output), c.code);
    EXPECT_FALSE(output.empty()) << "a message is expected";
  }
}

TEST_F(HidSimDevice, PlugAndUnplugAreSeenByEnumerationWatchAndOpenHandles) {
  ZolHidWatch* watch = Watch();
  ASSERT_NE(watch, nullptr);
  EXPECT_TRUE(Enumerate().empty());

  pid_t pid = StartDevice({"ld", "--name", "plug"}, "plug");
  auto event = NextEvent(watch);
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(event->kind, static_cast<std::uint32_t>(ZOLHID_EVENT_ARRIVAL));
  EXPECT_STREQ(event->path, DevicePath("plug").c_str());
  EXPECT_EQ(Enumerate(), std::vector<std::string>{DevicePath("plug")});

  ZolHidDevice* reader = Open(DevicePath("plug"), ZOLHID_OPEN_READ);
  ZolHidDevice* writer = Open(DevicePath("plug"), ZOLHID_OPEN_WRITE);
  ASSERT_NE(reader, nullptr);
  ASSERT_NE(writer, nullptr);
  Bytes report;
  EXPECT_EQ(ReadReport(reader, 9, &report, std::chrono::milliseconds(0)), 1460u) << "nothing was sent yet";

  EXPECT_EQ(Stop(pid), 0);
  event = NextEvent(watch);
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(event->kind, static_cast<std::uint32_t>(ZOLHID_EVENT_REMOVAL));
  EXPECT_STREQ(event->path, DevicePath("plug").c_str());
  EXPECT_TRUE(Enumerate().empty());

  // The pending read ends with the device gone, and stays so.
  EXPECT_EQ(ReadReport(reader, 9, &report), kNotConnected);
  std::uint32_t got = 0;
  EXPECT_EQ(m_provider.ReadInputReport(reader, report.data(), 9, &got), kNotConnected);
  EXPECT_EQ(m_provider.FlushQueue(reader), kNotConnected);
  EXPECT_EQ(Write(writer, Report({0x00, 0x00, 0x20}, 32)), kNotConnected);
  EXPECT_EQ(Write(writer, Report({0x00, 0x00, 0x20}, 32)), kNotConnected);
  ZolHidDevice* gone = nullptr;
  EXPECT_EQ(m_provider.Open(DevicePath("plug").c_str(), ZOLHID_OPEN_QUERY, &gone), kFileNotFound);
  EXPECT_EQ(gone, nullptr);

  // Plugged back: a new arrival, and new handles work.
  StartDevice({"ld", "--name", "plug"}, "plug");
  event = NextEvent(watch);
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(event->kind, static_cast<std::uint32_t>(ZOLHID_EVENT_ARRIVAL));
  ZolHidDevice* reader2 = Open(DevicePath("plug"), ZOLHID_OPEN_READ);
  ZolHidDevice* writer2 = Open(DevicePath("plug"), ZOLHID_OPEN_WRITE);
  ASSERT_NE(writer2, nullptr);
  ASSERT_EQ(Write(writer2, Report({0x00, 0x00, 0x20}, 32)), 0u);
  ASSERT_EQ(ReadReport(reader2, 9, &report), 0u);
  EXPECT_EQ(report[1], 0x01);
}

TEST_F(HidSimDevice, IdentityAndCapabilitiesComeFromTheDevice) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    ZolHidAttributes attributes;
    std::uint16_t usagePage, usage, input, output, feature;
    const char* serial;
  } cases[] = {
      {"display defaults", {"ld", "--name", "a"}, {0, 0x6D13, 0x4500, 0}, 0xFF45, 0x2600, 9, 32, 0, "a"},
      {"reader defaults", {"msr", "--name", "b"}, {0, 0x6D13, 0x4500, 0}, 0xFF45, 0x1600, 3, 8, 291, "b"},
      {"display options",
       {"ld", "--name", "c", "--vendor", "0x1234", "--product", "0x4525", "--usage-page", "0xff00", "--usage",
        "0x2400", "--serial", "SN-42", "--input-len", "10", "--output-len", "23", "--feature-len", "5"},
       {0, 0x1234, 0x4525, 0}, 0xFF00, 0x2400, 10, 23, 5, "SN-42"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = c.args[2];
    StartDevice(c.args, name);
    ZolHidDevice* d = Open(DevicePath(name), ZOLHID_OPEN_QUERY);
    ASSERT_NE(d, nullptr);
    ZolHidAttributes attributes{};
    ASSERT_EQ(m_provider.GetAttributes(d, &attributes), 0u);
    EXPECT_EQ(attributes.size, sizeof(ZolHidAttributes));
    EXPECT_EQ(attributes.vendorId, c.attributes.vendorId);
    EXPECT_EQ(attributes.productId, c.attributes.productId);
    ZolHidCaps caps{};
    ASSERT_EQ(m_provider.GetCaps(d, &caps), 0u);
    EXPECT_EQ(caps.usagePage, c.usagePage);
    EXPECT_EQ(caps.usage, c.usage);
    EXPECT_EQ(caps.inputReportByteLength, c.input);
    EXPECT_EQ(caps.outputReportByteLength, c.output);
    EXPECT_EQ(caps.featureReportByteLength, c.feature);
    char serial[128] = {};
    ASSERT_EQ(m_provider.GetSerialNumber(d, serial, sizeof(serial)), 0u);
    EXPECT_STREQ(serial, c.serial);
    // The value capabilities agree with the counts in the capabilities.
    const std::uint16_t counts[3] = {caps.numberInputValueCaps, caps.numberOutputValueCaps,
                                     caps.numberFeatureValueCaps};
    const std::uint16_t lengths[3] = {c.input, c.output, c.feature};
    for (std::uint32_t type = 0; type < 3; ++type) {
      ZolHidValueCaps values[4] = {};
      std::uint32_t count = 4;
      ASSERT_EQ(m_provider.GetValueCaps(d, type, values, &count), 0u);
      EXPECT_EQ(count, counts[type]);
      if (count > 0) {
        EXPECT_EQ(values[0].reportCount, lengths[type] - 1);
      }
    }
    Close(d);
  }
  EXPECT_EQ(Enumerate(), (std::vector<std::string>{DevicePath("a"), DevicePath("b"), DevicePath("c")}));
}

TEST_F(HidSimDevice, ResumeReachesEveryWatch) {
  ZolHidWatch* first = Watch();
  ZolHidWatch* second = Watch();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Run({"resume"}), 0);
  for (ZolHidWatch* w : {first, second}) {
    const auto event = NextEvent(w);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->kind, static_cast<std::uint32_t>(ZOLHID_EVENT_RESUME));
    EXPECT_STREQ(event->path, "");
    // The marker's removal is no event, and the marker is no device.
    EXPECT_FALSE(NextEvent(w, std::chrono::milliseconds(0)).has_value());
  }
  EXPECT_TRUE(Enumerate().empty());
}

TEST_F(HidSimDevice, LeftoverSocketIsNoDeviceAndASecondSimulatorIsRefused) {
  ASSERT_TRUE(std::filesystem::create_directories(m_folder));
  // A socket file whose simulator was killed: bound, then closed.
  {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", DevicePath("stale").c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)), 0);
    ::close(fd);
  }
  EXPECT_TRUE(Enumerate().empty());
  ZolHidDevice* d = nullptr;
  EXPECT_EQ(m_provider.Open(DevicePath("stale").c_str(), ZOLHID_OPEN_QUERY, &d), kFileNotFound);

  // A simulator takes the name over; a second one with the same name is refused.
  StartDevice({"msr", "--name", "stale"}, "stale");
  EXPECT_EQ(Enumerate(), std::vector<std::string>{DevicePath("stale")});
  std::string output;
  EXPECT_EQ(Run({"msr", "--name", "stale"}, &output), 1);
  EXPECT_NE(output.find("already"), std::string::npos) << output;
  EXPECT_EQ(Enumerate(), std::vector<std::string>{DevicePath("stale")});
}

TEST_F(HidSimDevice, WritesOfTheWrongLengthAndFlushedReports) {
  StartDevice({"ld", "--name", "len"}, "len");
  ZolHidDevice* reader = Open(DevicePath("len"), ZOLHID_OPEN_READ);
  ZolHidDevice* writer = Open(DevicePath("len"), ZOLHID_OPEN_WRITE);
  ASSERT_NE(reader, nullptr);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(Write(writer, Report({0x00, 0x00, 0x20}, 31)), kInvalidParameter);
  EXPECT_EQ(Write(writer, Report({0x00, 0x00, 0x20}, 33)), kInvalidParameter);
  std::uint32_t got = 0;
  Bytes buffer(9);
  EXPECT_EQ(m_provider.ReadInputReport(reader, buffer.data(), 9, &got), kIoPending) << "refused writes reach nobody";

  // An answer that arrived is discarded by a flush.
  ASSERT_EQ(Write(writer, Report({0x00, 0x00, 0x20}, 32)), 0u);
  int fd = -1;
  ASSERT_EQ(m_provider.GetPollDescriptor(reader, &fd), 0u);
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, MillisecondsLeft(Clock::now() + kDeadline)), 1);
  EXPECT_EQ(m_provider.FlushQueue(reader), 0u);
  EXPECT_EQ(m_provider.ReadInputReport(reader, buffer.data(), 9, &got), kIoPending);

  // A short buffer takes the start of the report.
  ASSERT_EQ(Write(writer, Report({0x00, 0x00, 0x00, 0x01}, 32)), 0u);
  Bytes cut;
  ASSERT_EQ(ReadReport(reader, 3, &cut), 0u);
  EXPECT_EQ(cut, (Bytes{0x00, 0x11, 0x20}));
}

}  // namespace
