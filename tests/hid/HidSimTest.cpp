// The HID support code on simulated devices through ZolHidSim.so: enumeration
// by each plug-in's table, report lengths, unplug during a read, termination.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <future>
#include <sstream>

#include "common/hid/BexHidLd.h"
#include "common/hid/BexHidMsr.h"
#include "common/hid/HidLib.h"
#include "tests/hid/HidSimHarness.h"

namespace {

using hidtest::SimDevice;
using hidtest::TempRoot;
using hidtest::WaitFor;

class HidSim : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("ZOL_HID_PROVIDER", "ZolHidSim.so", 1);
    ASSERT_TRUE(HidLib::Initialize());
  }
  void TearDown() override { HidLib::Terminate(); }

  // Plugs the display in and enumerates: the one device on the list.
  static void PlugOneDisplay(SimDevice& display, BexHidLdList& ld, const std::vector<std::string>& options = {}) {
    ASSERT_TRUE(display.Start("ld", options));
    ASSERT_TRUE(ld.Enumerate(LdSupportedDevices()));
    ASSERT_EQ(ld.devices.size(), 1u);
  }

  // A status read on another thread that waits: no command was sent, so no
  // status comes.
  static void StartWaitingRead(BexHidLd& device, BYTE* status, std::future<int>& read) {
    read = std::async(std::launch::async, [&device, status] { return device.GetLdStatus(status); });
    ASSERT_EQ(read.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  }

  TempRoot m_root;
};

std::wstring Upper(std::wstring s) {
  std::transform(s.begin(), s.end(), s.begin(), [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
  return s;
}

template <class List>
std::vector<std::wstring> DevicePaths(const List& list) {
  std::vector<std::wstring> paths;
  for (const auto& d : list.devices) paths.push_back(d->GetDevicePath());
  return paths;
}

TEST_F(HidSim, EachPluginFindsItsOwnCollectionAndRecordsEveryInterface) {
  // One product (0x4500) with a display and a reader collection, a second
  // display product, and a device nobody supports.
  SimDevice display(m_root, "display"), reader(m_root, "reader"), display2(m_root, "display2"),
      other(m_root, "other");
  ASSERT_TRUE(display.Start("ld"));
  ASSERT_TRUE(reader.Start("msr"));
  ASSERT_TRUE(display2.Start("ld", {"--product", "0x4525", "--usage", "0x2400"}));
  ASSERT_TRUE(other.Start("ld", {"--usage-page", "0xFF00"}));

  BexHidLdList ld;
  BexHidMsrList msr;
  ASSERT_TRUE(ld.Enumerate(LdSupportedDevices()));
  ASSERT_TRUE(msr.Enumerate(MsrSupportedDevices()));

  std::vector<std::wstring> ldPaths = DevicePaths(ld);
  std::sort(ldPaths.begin(), ldPaths.end());
  EXPECT_EQ(ldPaths, (std::vector<std::wstring>{display.WidePath(), display2.WidePath()}));
  EXPECT_EQ(DevicePaths(msr), std::vector<std::wstring>{reader.WidePath()});

  const std::vector<std::wstring> all = {display.WidePath(), display2.WidePath(), other.WidePath(),
                                         reader.WidePath()};
  for (auto hid : {ld.hidDevices, msr.hidDevices}) {
    std::sort(hid.begin(), hid.end());
    EXPECT_EQ(hid, all);
  }
  // The wrapper holds the identity it was built from.
  ASSERT_EQ(msr.devices.size(), 1u);
  EXPECT_EQ(msr.devices[0]->Caps().featureReportByteLength, 291);
  EXPECT_EQ(msr.devices[0]->Attributes().productId, 0x4500);
}

TEST_F(HidSim, NoDevicesGivesEmptyListsAndSuccess) {
  BexHidLdList ld;
  EXPECT_TRUE(ld.Enumerate(LdSupportedDevices()));
  EXPECT_TRUE(ld.devices.empty());
  EXPECT_TRUE(ld.hidDevices.empty());
  EXPECT_EQ(ld.GetFirstDevicePath(), L"");
}

TEST_F(HidSim, ContainsHidDeviceIgnoresLetterCase) {
  SimDevice display(m_root, "Display1");
  ASSERT_TRUE(display.Start("ld"));
  BexHidLdList ld;
  ASSERT_TRUE(ld.Enumerate(LdSupportedDevices()));
  const std::wstring path = display.WidePath();
  std::wstring lower = path;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
  const struct {
    std::wstring path;
    bool expected;
  } cases[] = {
      {path, true}, {Upper(path), true}, {lower, true}, {path + L"2", false}, {path.substr(0, path.size() - 1), false},
  };
  for (const auto& c : cases) EXPECT_EQ(ld.ContainsHidDevice(c.path), c.expected) << hidtest::Narrow(c.path);
  EXPECT_EQ(ld.GetFirstDevicePath(), path);
}

TEST_F(HidSim, CommandsLongerThanTheOutputReportAreRefused) {
  const std::string trace = m_root.Path() + "/trace.txt";
  SimDevice display(m_root, "short");
  BexHidLdList ld;
  ASSERT_NO_FATAL_FAILURE(PlugOneDisplay(display, ld, {"--output-len", "23", "--trace", trace}));
  BexHidLd& device = *ld.devices[0];

  std::vector<BYTE> line(24, 0x41);
  line[0] = 0x00;
  line[1] = 0x81;
  line[2] = 0x28;
  EXPECT_EQ(device.SendLdCommand(line.data(), 24), 0);
  // A shorter command still goes out, zero-filled to the report length.
  const BYTE clear[] = {0x00, 0x01, 0x00};
  EXPECT_EQ(device.SendLdCommand(clear, sizeof(clear)), 1);
  ASSERT_TRUE(WaitFor([&] { return !hidtest::ReadLines(trace).empty(); }, hidtest::kWait));
  const std::vector<std::string> lines = hidtest::ReadLines(trace);
  ASSERT_EQ(lines.size(), 1u);  // the refused report never reached the device
  std::string expected = "00 01 00";
  for (int i = 3; i < 23; ++i) expected += " 00";
  EXPECT_EQ(lines[0], expected);
}

TEST_F(HidSim, StatusIsCopiedOnlyWhenItFits) {
  const BYTE statusRequest[] = {0x00, 0x00, 0x20};
  const struct {
    const char* inputLength;
    int expected;
  } cases[] = {{"9", 1}, {"3", 1}, {"10", 0}, {"0", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.inputLength);
    SimDevice display(m_root, std::string("status") + c.inputLength);
    BexHidLdList ld;
    ASSERT_NO_FATAL_FAILURE(PlugOneDisplay(display, ld, {"--input-len", c.inputLength}));
    ASSERT_EQ(ld.devices[0]->SendLdCommand(statusRequest, sizeof(statusRequest)), 1);
    BYTE status[8];
    std::fill(std::begin(status), std::end(status), 0xEE);
    EXPECT_EQ(ld.devices[0]->GetLdStatus(status), c.expected);
    if (c.expected == 1) {
      EXPECT_NE(status[0] & 0x01, 0) << "command complete";
    }
  }
}

TEST_F(HidSim, ReaderStatusAndCardData) {
  SimDevice reader(m_root, "reader");
  ASSERT_TRUE(reader.Start("msr"));
  BexHidMsrList msr;
  ASSERT_TRUE(msr.Enumerate(MsrSupportedDevices()));
  ASSERT_EQ(msr.devices.size(), 1u);
  BexHidMsr& device = *msr.devices[0];
  ASSERT_EQ(hidtest::RunHidsim({"swipe", "reader", "--track2", "4111111111111111=2512"}), 0);
  BYTE status[2] = {};
  ASSERT_EQ(device.GetMsrStatus(status), 1);
  EXPECT_NE(status[1] & 0x3F, 0) << "card data waits";
  BYTE card[290] = {};
  ASSERT_EQ(device.GetMsrData(card), 1);
  EXPECT_TRUE(std::any_of(std::begin(card), std::end(card), [](BYTE b) { return b != 0; }));
}

TEST_F(HidSim, UnplugDuringAPendingReadDisconnectsForGood) {
  SimDevice display(m_root, "gone");
  BexHidLdList ld;
  ASSERT_NO_FATAL_FAILURE(PlugOneDisplay(display, ld));
  BexHidLd& device = *ld.devices[0];
  BYTE status[8];
  std::future<int> read;
  ASSERT_NO_FATAL_FAILURE(StartWaitingRead(device, status, read));
  display.Stop();
  ASSERT_EQ(read.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(read.get(), 0);
  EXPECT_FALSE(device.IsConnected());

  // Plugged back at the same path: the old wrapper still fails every transfer.
  ASSERT_TRUE(display.Start("ld"));
  const BYTE statusRequest[] = {0x00, 0x00, 0x20};
  EXPECT_EQ(device.SendLdCommand(statusRequest, sizeof(statusRequest)), 0);
  EXPECT_EQ(device.GetLdStatus(status), 0);
  // A new enumeration builds a working wrapper.
  ASSERT_TRUE(ld.Enumerate(LdSupportedDevices()));
  ASSERT_EQ(ld.devices.size(), 1u);
  EXPECT_EQ(ld.devices[0]->SendLdCommand(statusRequest, sizeof(statusRequest)), 1);
  EXPECT_EQ(ld.devices[0]->GetLdStatus(status), 1);
}

TEST_F(HidSim, TerminateEndsAWaitingRead) {
  SimDevice display(m_root, "quiet");
  BexHidLdList ld;
  ASSERT_NO_FATAL_FAILURE(PlugOneDisplay(display, ld));
  BexHidLd& device = *ld.devices[0];
  BYTE status[8];
  std::future<int> read;
  ASSERT_NO_FATAL_FAILURE(StartWaitingRead(device, status, read));
  device.Terminate();
  // Well before the read's own 7 s limit.
  ASSERT_EQ(read.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  EXPECT_EQ(read.get(), 0);
  // A cancelled read is no disconnection.
  EXPECT_TRUE(device.IsConnected());
}

std::size_t OpenDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

TEST_F(HidSim, WrappersDestroyedAfterTheUnbindingCloseTheirDevices) {
  // The managers unload the library at termination and destroy their
  // wrapper lists afterwards.
  SimDevice display(m_root, "display"), reader(m_root, "reader");
  ASSERT_TRUE(display.Start("ld"));
  ASSERT_TRUE(reader.Start("msr"));
  const std::size_t before = OpenDescriptors();
  {
    BexHidLdList ld;
    BexHidMsrList msr;
    ASSERT_TRUE(ld.Enumerate(LdSupportedDevices()));
    ASSERT_TRUE(msr.Enumerate(MsrSupportedDevices()));
    ASSERT_EQ(ld.devices.size() + msr.devices.size(), 2u);
    EXPECT_GT(OpenDescriptors(), before);
    HidLib::Terminate();
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(HidSim, SecondInitializeLoadsNothingAgain) {
  // Already bound by SetUp: a provider that cannot be loaded is not looked at.
  ::setenv("ZOL_HID_PROVIDER", "NoSuchProvider.so", 1);
  EXPECT_TRUE(HidLib::Initialize());
  EXPECT_TRUE(HidLib::IsLoaded());
  HidLib::Terminate();
  EXPECT_FALSE(HidLib::IsLoaded());
  EXPECT_FALSE(HidLib::Initialize());
  ::setenv("ZOL_HID_PROVIDER", "ZolHidSim.so", 1);
  EXPECT_TRUE(HidLib::Initialize());
}

TEST_F(HidSim, TheProviderIsNamedByAFileNameOnly) {
  HidLib::Terminate();
  const std::string inBin = hidtest::BinDir() + "/ZolHidSim.so";  // exists, but named with its folder
  const struct {
    std::string name;
    bool loads;
  } cases[] = {{inBin, false}, {"./ZolHidSim.so", false}, {"../bin/ZolHidSim.so", false}, {"ZolHidSim.so", true}};
  for (const auto& c : cases) {
    ::setenv("ZOL_HID_PROVIDER", c.name.c_str(), 1);
    EXPECT_EQ(HidLib::Initialize(), c.loads) << c.name;
    HidLib::Terminate();
  }
  ::setenv("ZOL_HID_PROVIDER", "ZolHidSim.so", 1);
  ASSERT_TRUE(HidLib::Initialize());
}

}  // namespace
