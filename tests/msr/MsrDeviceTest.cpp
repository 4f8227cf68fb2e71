// The plug-in's device object in this process, against a simulated reader
// (hidsim through ZolHidSim.so) and a listener that stands in for the port.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "drivers/hid/sim/SimProtocol.h"
#include "drivers/hid/sim/SimSocket.h"
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
    ::setenv("ZOL_SYSROOT", m_system.Root().c_str(), 1);
    ::setenv("ZOL_HID_PROVIDER", "ZolHidSim.so", 1);
  }

  // Release on another thread; true when it returned within the deadline.
  static bool ReleaseReturns(IDevice* device, int timeoutMs) {
    auto done = std::async(std::launch::async, [device] { device->Release(); });
    const bool returned = done.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
    if (!returned) done.wait();  // never leave the thread behind
    return returned;
  }

  // Makes the simulated reader report these status bytes with this card-data
  // area as its feature report, as a reader of any behaviour could.
  static bool Report(const std::string& name, BYTE status0, BYTE status1, const std::vector<BYTE>& area) {
    hidsim::Bytes payload = {status0, status1};
    payload.resize(2 + area.size());
    std::copy(area.begin(), area.end(), payload.begin() + 2);
    hidsim::Bytes reply;
    std::uint32_t error = 0;
    return hidsim::Request(hidsim::DevicePath(name), hidsim::Message(hidsim::MsgType::Swipe, payload),
                           hidsim::MsgType::Queued, &reply, kDeadlineMs, &error);
  }

  // Only its folders and readers: the device under test runs in this process.
  MsrSystem m_system;
  Readers& m_readers = m_system.Sim();
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

// Status byte 0 picks the layout (bit 5 over bit 2) and flags rejects and
// waiting feature reports; status byte 1 bits 0-5 say card data waits. A
// status that fetches no card data writes nothing: the next write seen is the
// next card's.
TEST_F(MsrDeviceTest, StatusBytesDecideWhatReachesThePort) {
  const std::vector<BYTE> iso = {0, 0, 0, 0, 3, 0x21, 0x22, 0x23, 3, 1, 2, 3, 0};
  const std::vector<BYTE> numeric = {0, 0, 0, 0, 2, 1, 2, 2, 3, 4};
  std::vector<BYTE> crossing(MSR_CARD_DATA_SIZE, 0x11);
  crossing[1] = 0;
  crossing[4] = 139;
  crossing[144] = 139;
  crossing[284] = 6;  // track 3 would end one byte past the area
  struct Case {
    const char* name;
    BYTE status0, status1;
    std::vector<BYTE> area;
    std::string text;  // empty: nothing written
  };
  const std::vector<Case> cases = {
      {"ISO layout", 0x04, 0x01, iso, "%ABC?;123?"},
      {"no layout bit means ISO", 0x00, 0x01, iso, "%ABC?;123?"},
      {"numeric layout", 0x20, 0x01, numeric, "%12?%34?"},
      {"bit 5 wins over bit 2", 0x24, 0x20, numeric, "%12?%34?"},
      {"card data signalled by bit 3", 0x04, 0x08, iso, "%ABC?;123?"},
      {"bit 6 only", 0x04, 0x40, iso, ""},
      {"bit 7 only", 0x04, 0x80, iso, ""},
      {"command reject", 0x80, 0x00, iso, ""},
      {"waiting feature report is discarded", 0x01, 0x00, iso, ""},
      {"no tracks: 0 bytes are still handed on", 0x04, 0x01, std::vector<BYTE>(16, 0), "<empty>"},
      {"block past the end of the area", 0x04, 0x01, crossing,
       "%" + std::string(139, '1') + "?;" + std::string(139, 'A') + "?E"},
  };
  Child reader;
  ASSERT_TRUE(m_readers.Plug(reader, "r3"));
  Listener listener;
  IDevice* device = new MsrUsbDevice();
  ASSERT_EQ(device->Initialize(&listener, &m_params), DEVICE_SUCCESS);
  device->PortReady(TRUE);
  std::size_t writes = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Report("r3", c.status0, c.status1, c.area));
    if (c.text.empty()) {
      continue;
    }
    const std::string got = listener.WaitWrite(writes++);
    EXPECT_EQ(got.empty() ? "<empty>" : got, c.text);
  }
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
