// The Windows HID backend against the system's own hid.dll, SetupAPI and
// window manager (run under Wine in the cross build).
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "common/hid/BexHidLd.h"
#include "common/hid/BexHidMsr.h"
#include "common/hid/DeviceChangeNotify.h"
#include "common/hid/HidLib.h"
#include "common/log/ZolLog.h"

// Whether this session can make windows at all (HidWinSession.cpp).
bool CanCreateWindows();

namespace {

class NullTarget : public IDeviceChange {
 public:
  void HidDeviceChanged(bool, std::wstring) override {}
  void HidResumeSuspend() override {}
};

TEST(HidWin, BindsHidDllOnceAndEnumerates) {
  ASSERT_TRUE(HidLib::Initialize());
  EXPECT_TRUE(HidLib::Initialize());
  BexHidLdList ld;
  BexHidMsrList msr;
  EXPECT_TRUE(ld.Enumerate(LdSupportedDevices()));
  EXPECT_TRUE(msr.Enumerate(MsrSupportedDevices()));
  // Whatever HID interfaces exist are recorded by both lists alike.
  EXPECT_EQ(ld.hidDevices, msr.hidDevices);
  for (const auto& path : ld.hidDevices) EXPECT_TRUE(msr.ContainsHidDevice(path));
  HidLib::Terminate();
  EXPECT_FALSE(HidLib::IsLoaded());
}

TEST(HidWin, HiddenWindowStartsAndStopsWithinItsLimits) {
  if (!CanCreateWindows()) GTEST_SKIP() << "this session cannot create windows (Wine without a display)";
  ASSERT_TRUE(HidLib::Initialize());
  NullTarget target;
  DeviceChangeNotify notify;
  ASSERT_TRUE(notify.Initialize(&target, L"LdDeviceChangeNotifyWindow", ZOL_LDUSB));
  auto stopped = std::async(std::launch::async, [&] { notify.Terminate(); });
  ASSERT_EQ(stopped.wait_for(std::chrono::milliseconds(DeviceChangeNotify::kStopTimeoutMs + 500)),
            std::future_status::ready);
  EXPECT_FALSE(notify.IsInitialized());
  // The class stays registered; a second start must still work.
  ASSERT_TRUE(notify.Initialize(&target, L"LdDeviceChangeNotifyWindow", ZOL_LDUSB));
  notify.Terminate();
  HidLib::Terminate();
}

}  // namespace
