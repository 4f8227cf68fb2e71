// The plug-in's device object in this process, against a simulated reader
// (hidsim through ZolHidSim.so) and a listener that stands in for the port.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "plugins/msr/MsrUsbDevice.h"
#include "tests/msr/MsrTestSupport.h"

namespace {

using namespace msrtest;

// Records what the device writes and clears the caller's bytes as the port does.
class Listener final : public IDeviceListener {
 public:
  std::int32_t Write(std::uint8_t* data, std::uint32_t length, std::int32_t* written, std::int32_t timeout) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_writes.emplace_back(reinterpret_cast<const char*>(data), length);
    m_timeouts.push_back(timeout);
    std::memset(data, 0, length);
    *written = static_cast<std::int32_t>(length);
    m_changed.notify_all();
    return m_result;
  }
  BOOL SetReadyToReceive(BOOL ready) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_ready.push_back(ready);
    return TRUE;
  }

  void SetResult(std::int32_t rc) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_result = rc;
  }
  // The n-th write (from 0) once it arrived, or "<none>" after the deadline.
  std::string WaitWrite(std::size_t n) {
    std::unique_lock<std::mutex> guard(m_lock);
    if (!m_changed.wait_for(guard, std::chrono::milliseconds(kDeadlineMs), [&] { return m_writes.size() > n; })) {
      return "<none>";
    }
    return m_writes[n];
  }
  std::vector<std::int32_t> Timeouts() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_timeouts;
  }
  std::vector<BOOL> ReadyCalls() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_ready;
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<std::string> m_writes;
  std::vector<std::int32_t> m_timeouts;
  std::vector<BOOL> m_ready;
  std::int32_t m_result = DEVICE_SUCCESS;
};

class MsrDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(BinDir().empty()) << "ZOL_BIN_DIR is not set";
    ::setenv("ZOL_SYSROOT", m_root.c_str(), 1);
    ::setenv("ZOL_HID_PROVIDER", "ZolHidSim.so", 1);
  }

  // Release on another thread; true when it returned within the deadline.
  static bool ReleaseReturns(IDevice* device, int timeoutMs) {
    auto done = std::async(std::launch::async, [device] { device->Release(); });
    const bool returned = done.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
    if (!returned) done.wait();  // never leave the thread behind
    return returned;
  }

  TempDir m_tmp;
  std::string m_root = m_tmp.Path() + "/root";
  Readers m_readers{m_root, m_tmp.Path()};
  DEVICE_PARAMS m_params{};
};

TEST_F(MsrDeviceTest, DeliversEachSwipeToTheListener) {
  struct Case {
    const char* name;
    Card card;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"ISO layout", {"ABC", "123", "", false, ""}, "%ABC?;123?"},
      {"with track 3", {"B4111^X^25", "4111=25", "0123", false, ""}, "%B4111^X^25?;4111=25?+0123?"},
      {"numeric layout", {"12", "34", "", true, ""}, "%12?%34?"},
      {"error on track 2", {"ABC", "", "", false, "2"}, "%ABC?E"},
  };
  Child reader;
  ASSERT_TRUE(m_readers.Plug(reader, "r1"));
  Listener listener;
  IDevice* device = new MsrUsbDevice();
  ASSERT_EQ(device->Initialize(&listener, &m_params), DEVICE_SUCCESS);
  EXPECT_EQ(listener.ReadyCalls(), std::vector<BOOL>{TRUE});
  device->PortReady(TRUE);
  device->PortReady(TRUE);  // a level, repeated before every read
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    ASSERT_TRUE(m_readers.Swipe("r1", cases[i].card));
    EXPECT_EQ(listener.WaitWrite(i), cases[i].text);
  }
  for (std::int32_t timeout : listener.Timeouts()) {
    EXPECT_EQ(timeout, 1000);
  }
  device->Terminate();
  device->Terminate();  // harmless twice
  EXPECT_EQ(listener.ReadyCalls(), (std::vector<BOOL>{TRUE, FALSE, FALSE}));
  EXPECT_TRUE(ReleaseReturns(device, 3000));
}

TEST_F(MsrDeviceTest, KeepsWorkingAfterTheListenerRefusesAWrite) {
  Child reader;
  ASSERT_TRUE(m_readers.Plug(reader, "r1"));
  Listener listener;
  IDevice* device = new MsrUsbDevice();
  ASSERT_EQ(device->Initialize(&listener, &m_params), DEVICE_SUCCESS);
  device->PortReady(TRUE);
  listener.SetResult(DEVICE_WRITE_FAILED);
  ASSERT_TRUE(m_readers.Swipe("r1", {"AAA", "111", "", false, ""}));
  EXPECT_EQ(listener.WaitWrite(0), "%AAA?;111?");
  listener.SetResult(DEVICE_SUCCESS);
  ASSERT_TRUE(m_readers.Swipe("r1", {"BBB", "222", "", false, ""}));
  EXPECT_EQ(listener.WaitWrite(1), "%BBB?;222?");  // no retry of the refused text
  EXPECT_TRUE(ReleaseReturns(device, 3000));
}

// Release must end the WriteThread wherever it waits: for a status report
// (a read of up to 7 s) with a reader, for the init event without one.
TEST_F(MsrDeviceTest, ReleaseEndsEveryWaitOfTheWriteThread) {
  for (bool withReader : {true, false}) {
    SCOPED_TRACE(withReader ? "pending status read" : "waiting for a reader");
    Child reader;
    if (withReader) {
      ASSERT_TRUE(m_readers.Plug(reader, "r2"));
    }
    // Several rounds: once a swipe has been delivered the thread goes straight
    // back to its next status read, where Release finds it.
    for (int round = 0; round < 3; ++round) {
      Listener listener;
      IDevice* device = new MsrUsbDevice();
      ASSERT_EQ(device->Initialize(&listener, &m_params), DEVICE_SUCCESS);
      device->PortReady(TRUE);
      if (withReader) {
        ASSERT_TRUE(m_readers.Swipe("r2", {"R", "1", "", false, ""}));
        ASSERT_EQ(listener.WaitWrite(0), "%R?;1?");
      }
      EXPECT_TRUE(ReleaseReturns(device, 3000));
    }
  }
}

TEST_F(MsrDeviceTest, WriteFunctionAnswersForThePort) {
  // Without a HID provider the manager cannot start, but the listener is kept.
  ::setenv("ZOL_HID_PROVIDER", "NoSuchProvider.so", 1);
  struct Case {
    const char* name;
    bool withListener;
    BOOL ready;
    std::int32_t listenerResult;
    std::int32_t expected;
    bool reachesListener;
  };
  const std::vector<Case> cases = {
      {"port not ready", true, FALSE, DEVICE_SUCCESS, DEVICE_PORT_NOT_READY, false},
      {"ready, listener writes", true, TRUE, DEVICE_SUCCESS, DEVICE_SUCCESS, true},
      {"ready, listener fails", true, TRUE, DEVICE_WRITE_FAILED, DEVICE_WRITE_FAILED, true},
      {"no listener", false, TRUE, DEVICE_SUCCESS, DEVICE_NO_LISTENER, false},
      {"no listener, not ready", false, FALSE, DEVICE_SUCCESS, DEVICE_PORT_NOT_READY, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Listener listener;
    listener.SetResult(c.listenerResult);
    IDevice* device = new MsrUsbDevice();
    EXPECT_EQ(device->Initialize(c.withListener ? &listener : nullptr, &m_params), DEVICE_INIT_FAILED);
    EXPECT_TRUE(listener.ReadyCalls().empty());
    device->PortReady(c.ready);
    BYTE data[4] = {'t', 'e', 'x', 't'};
    std::int32_t written = -1;
    EXPECT_EQ(msr::WriteToPort(data, sizeof data, &written, 1000), c.expected);
    if (c.reachesListener) {
      EXPECT_EQ(listener.WaitWrite(0), "text");
    } else {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(data), sizeof data), "text");  // untouched
    }
    EXPECT_TRUE(ReleaseReturns(device, 3000));
  }
}

}  // namespace
