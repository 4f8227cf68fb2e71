// ZolPort in this process against a real vcomd, with a recording device.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "platform/Text.h"
#include "service/ZolPort.h"
#include "tests/service/PortSystem.h"

using namespace porttest;

namespace {

class RecordingDevice final : public IDevice {
 public:
  std::int32_t Initialize(IDeviceListener* listener, DEVICE_PARAMS*) override {
    m_listener = listener;
    Add("Initialize");
    return DEVICE_SUCCESS;
  }
  void PortReady(BOOL ready) override { Add(ready ? "PortReady 1" : "PortReady 0"); }
  void DataReceived(const std::uint8_t* data, std::int32_t length) override {
    Add("DataReceived " + std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length)));
    if (m_writeInside.exchange(false)) {
      std::uint8_t reply[] = {'r', 'e'};
      std::int32_t written = 0;
      m_insideResult = m_listener->Write(reply, 2, &written, 1000);
    }
  }
  void Terminate() override {
    BOOL ok = m_listener ? m_listener->SetReadyToReceive(FALSE) : FALSE;
    Add(std::string("Terminate ") + (ok ? "1" : "0"));
  }
  void Release() override {
    Add("Release");
    if (m_released) *m_released = Calls();
    delete this;
  }

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_calls;
  }
  bool Has(const std::string& call) {
    auto calls = Calls();
    return std::find(calls.begin(), calls.end(), call) != calls.end();
  }
  std::atomic<bool> m_writeInside{false};
  std::atomic<std::int32_t> m_insideResult{-1};
  std::vector<std::string>* m_released = nullptr;  // receives the calls at Release

 private:
  void Add(const std::string& call) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_calls.push_back(call);
  }
  std::mutex m_lock;
  std::vector<std::string> m_calls;
  IDeviceListener* m_listener = nullptr;
};

class ZolPortOverVcomd : public ::testing::Test {
 protected:
  void SetUp() override {
    root = tmp.Path();
    ASSERT_TRUE(daemon.Start({BinDir() + "/vcomd", "--ports", "4"}, {{"ZOL_SYSROOT", root}}, root + "/vcomd.out"));
    ASSERT_TRUE(WaitFor([&] { return fs::exists(root + "/run/zol/vcomd.ctl"); }, 5000));
    path = sys::FromUtf8(root + "/run/zol/devices/{5B1E7C3A-9D42-4F86-A1C0-3E7D92B41F08}/ZOL_COM4");
  }
  // A running port with a recording device attached.
  RecordingDevice* Attach(ZolPort& port) {
    EXPECT_EQ(port.Initialize(), S_OK);
    auto* device = new RecordingDevice;
    EXPECT_EQ(device->Initialize(&port, nullptr), DEVICE_SUCCESS);
    port.AttachDevice(device);
    port.Run();
    return device;
  }
  std::string Com() const { return root + "/dev/ttyZOL4"; }

  TempDir tmp;
  std::string root;
  std::wstring path;
  Child daemon;
};

TEST_F(ZolPortOverVcomd, SecondInitializeChangesNothingAndASecondPortCannotOpen) {
  ZolPort port(path);
  ASSERT_EQ(port.Initialize(), S_OK);
  EXPECT_EQ(port.ComPort(), 4u);
  EXPECT_EQ(port.Initialize(), 1);
  ZolPort other(path);
  EXPECT_EQ(other.Initialize(), static_cast<HRESULT>(0x80070000u | 32u));  // sharing violation
  EXPECT_FALSE(other.IsInitialized());
}

TEST_F(ZolPortOverVcomd, PortNeverRunEndsWithoutDeviceCalls) {
  std::vector<std::string> calls;
  {
    ZolPort port(path);
    ASSERT_EQ(port.Initialize(), S_OK);
    auto* device = new RecordingDevice;
    device->m_released = &calls;
    port.AttachDevice(device);  // attached but never run
    App app(Com());
    port.Terminate();
    EXPECT_FALSE(port.IsInitialized());
  }
  // Only the destructor's Terminate and Release.
  EXPECT_EQ(calls, (std::vector<std::string>{"Terminate 0", "Release"}));
}

TEST_F(ZolPortOverVcomd, WriteAfterTerminateIsRefusedAtOnce) {
  ZolPort port(path);
  RecordingDevice* device = Attach(port);
  App app(Com());
  ASSERT_TRUE(WaitFor([&] { return device->Has("PortReady 1"); }, 5000));
  port.Terminate();
  std::uint8_t data[] = {'x'};
  std::int32_t written = -1;
  EXPECT_EQ(port.Write(data, 1, &written, 1000), DEVICE_PORT_NOT_READY);
  EXPECT_EQ(data[0], 'x');
  EXPECT_EQ(app.Read(1, 200), "");
}

TEST_F(ZolPortOverVcomd, WriteFromInsideDataReceivedWorks) {
  ZolPort port(path);
  RecordingDevice* device = Attach(port);
  App app(Com());
  ASSERT_TRUE(WaitFor([&] { return device->Has("PortReady 1"); }, 5000));
  device->m_writeInside = true;
  ASSERT_TRUE(app.Write("q"));
  EXPECT_EQ(app.Read(2, 5000), "re");
  EXPECT_TRUE(WaitFor([&] { return device->m_insideResult.load() == DEVICE_SUCCESS; }, 5000));
}

TEST_F(ZolPortOverVcomd, DestructionReleasesAWriteInProgressWith12) {
  std::vector<std::string> calls;
  std::atomic<std::int32_t> rc{-1};
  std::vector<std::uint8_t> data(32768, 'w');
  std::thread writer;
  {
    ZolPort port(path);
    RecordingDevice* device = Attach(port);
    device->m_released = &calls;
    App app(Com());
    ASSERT_TRUE(WaitFor([&] { return device->Has("PortReady 1"); }, 5000));
    // The application does not read: the write fills its buffer and pends.
    writer = std::thread([&] {
      std::int32_t written = 0;
      rc = port.Write(data.data(), static_cast<std::uint32_t>(data.size()), &written, 1000);
    });
    ASSERT_TRUE(WaitFor(
        [&] {
          int queued = 0;
          return ::ioctl(app.Fd(), FIONREAD, &queued) == 0 && queued > 0;
        },
        5000));
  }  // destroyed while the Write waits for its write thread
  writer.join();
  EXPECT_EQ(rc.load(), DEVICE_WRITE_FAILED);
  EXPECT_EQ(std::count(data.begin(), data.end(), 0), 32768);  // zeroed all the same
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls.back(), "Release");
}

}  // namespace
