// The notifier on simulated devices: arrivals, removals and injected resumes
// reach the target in order on one thread; termination ends it.
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "common/hid/DeviceChangeNotify.h"
#include "common/hid/HidLib.h"
#include "common/log/ZolLog.h"
#include "tests/hid/HidSimHarness.h"

namespace {

using hidtest::SimDevice;
using hidtest::TempRoot;

class Recorder : public IDeviceChange {
 public:
  void HidDeviceChanged(bool arrived, std::wstring devicePath) override {
    Add((arrived ? "arrived " : "removed ") + hidtest::Narrow(devicePath));
  }
  void HidResumeSuspend() override { Add("resume"); }

  // Waits until n notifications have come (or 5 s passed); all of them.
  std::vector<std::string> WaitForCount(std::size_t n) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait_for(lock, std::chrono::seconds(5), [&] { return m_events.size() >= n; });
    return m_events;
  }
  std::set<std::thread::id> Threads() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_threads;
  }

 private:
  void Add(std::string event) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_events.push_back(std::move(event));
    m_threads.insert(std::this_thread::get_id());
    m_changed.notify_all();
  }
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<std::string> m_events;
  std::set<std::thread::id> m_threads;
};

class HidNotify : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("ZOL_HID_PROVIDER", "ZolHidSim.so", 1);
    ASSERT_TRUE(HidLib::Initialize());
  }
  void TearDown() override {
    m_notify.Terminate();
    HidLib::Terminate();
  }

  TempRoot m_root;
  // Targets outlive the notifier: TearDown ends it before they go.
  Recorder recorder, first, second;
  DeviceChangeNotify m_notify;
};

TEST_F(HidNotify, ArrivalRemovalAndResumeArriveInOrder) {
  ASSERT_TRUE(m_notify.Initialize(&recorder, L"LdDeviceChangeNotifyWindow", ZOL_LDUSB));
  EXPECT_TRUE(m_notify.IsInitialized());

  SimDevice display(m_root, "display");
  ASSERT_TRUE(display.Start("ld"));
  ASSERT_EQ(recorder.WaitForCount(1).size(), 1u);
  display.Stop();
  ASSERT_EQ(recorder.WaitForCount(2).size(), 2u);
  ASSERT_EQ(hidtest::RunHidsim({"resume"}), 0);
  const std::vector<std::string> events = recorder.WaitForCount(3);
  const std::vector<std::string> expected = {"arrived " + display.Path(), "removed " + display.Path(), "resume"};
  EXPECT_EQ(events, expected);
  EXPECT_EQ(recorder.Threads().size(), 1u);
  EXPECT_EQ(recorder.Threads().count(std::this_thread::get_id()), 0u);
}

TEST_F(HidNotify, ASecondInitializeOnlyReplacesTheTarget) {
  ASSERT_TRUE(m_notify.Initialize(&first, L"LdDeviceChangeNotifyWindow", ZOL_LDUSB));
  ASSERT_TRUE(m_notify.Initialize(&second, L"LdDeviceChangeNotifyWindow", ZOL_LDUSB));
  ASSERT_EQ(hidtest::RunHidsim({"resume"}), 0);
  // Exactly one notifier runs: the arrival that follows comes right after one
  // resume (notifications arrive in order), not after two.
  SimDevice display(m_root, "marker");
  ASSERT_TRUE(display.Start("ld"));
  const std::vector<std::string> expected = {"resume", "arrived " + display.Path()};
  EXPECT_EQ(second.WaitForCount(2), expected);
  EXPECT_TRUE(first.WaitForCount(0).empty());
}

TEST_F(HidNotify, TerminationEndsTheNotifierWithinItsLimit) {
  ASSERT_TRUE(m_notify.Initialize(&recorder, L"MsrDeviceChangeNotifyWindow", ZOL_MSRUSB));
  auto stopped = std::async(std::launch::async, [&] { m_notify.Terminate(); });
  ASSERT_EQ(stopped.wait_for(std::chrono::milliseconds(DeviceChangeNotify::kStopTimeoutMs + 500)),
            std::future_status::ready);
  EXPECT_FALSE(m_notify.IsInitialized());
  // Nothing that happens while it is stopped reaches the target: after a new
  // start, the first notification is the removal that follows it.
  ASSERT_EQ(hidtest::RunHidsim({"resume"}), 0);
  SimDevice display(m_root, "late");
  ASSERT_TRUE(display.Start("ld"));
  ASSERT_TRUE(m_notify.Initialize(&recorder, L"MsrDeviceChangeNotifyWindow", ZOL_MSRUSB));
  display.Stop();
  EXPECT_EQ(recorder.WaitForCount(1), std::vector<std::string>{"removed " + display.Path()});
}

TEST_F(HidNotify, WithoutAWatchInitializeFails) {
  // A provider whose watch cannot start: the notifier reports failure.
  HidLib::Terminate();
  ::setenv("ZOL_HID_PROVIDER", "ZolHidPartial.so", 1);
  EXPECT_FALSE(HidLib::Initialize());
  EXPECT_FALSE(m_notify.Initialize(&recorder, L"LdDeviceChangeNotifyWindow", ZOL_LDUSB));
  EXPECT_FALSE(m_notify.IsInitialized());
}

bool Mapped(const std::string& name) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    if (line.find(name) != std::string::npos) return true;
  }
  return false;
}

TEST(HidLibBinding, AProviderMissingAFunctionIsRefusedAndNotKept) {
  ::setenv("ZOL_HID_PROVIDER", "ZolHidPartial.so", 1);
  EXPECT_FALSE(HidLib::Initialize());
  EXPECT_FALSE(HidLib::IsLoaded());
  EXPECT_FALSE(Mapped("ZolHidPartial.so"));
  // A complete provider stays mapped once bound, even after termination.
  ::setenv("ZOL_HID_PROVIDER", "ZolHidSim.so", 1);
  ASSERT_TRUE(HidLib::Initialize());
  HidLib::Terminate();
  EXPECT_TRUE(Mapped("ZolHidSim.so"));
}

}  // namespace
