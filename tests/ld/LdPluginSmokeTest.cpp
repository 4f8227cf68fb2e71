// The built plug-in library loaded by full path and driven through the device
// contract with no display attached (run on Windows, under Wine in the cross
// build): it starts, accepts data, and is released promptly.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "platform/Process.h"
#include "tests/ld/CountingListener.h"
#include "tests/support/PluginDevice.h"

namespace {

TEST(LdPluginLibrary, StartsWithoutDisplayAndReleasesPromptly) {
  const auto exe = sys::ExecutablePath();
  ASSERT_TRUE(exe.has_value());
  const std::wstring folder = exe->substr(0, exe->find_last_of(L"\\/") + 1);
  const std::string file = LD_PLUGIN_FILE;
  CountingListener listener;  // outlives the device
  DEVICE_PARAMS params{};
  zoltest::PluginDevice device;
  ASSERT_TRUE(device.Create(folder + std::wstring(file.begin(), file.end())));
  EXPECT_EQ(device->Initialize(&listener, &params), DEVICE_SUCCESS);
  EXPECT_EQ(listener.readyTrue.load(), 1);
  const std::uint8_t data[] = {'A', 'B', 'C'};
  device->DataReceived(data, 3);  // no display: discarded, but the call returns
  device->DataReceived(data, 0);
  device->PortReady(FALSE);
  device->Terminate();
  EXPECT_EQ(listener.readyFalse.load(), 1);
  const auto started = std::chrono::steady_clock::now();
  device.Release();
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 5000);
  EXPECT_EQ(listener.writes.load(), 0);
}

}  // namespace
