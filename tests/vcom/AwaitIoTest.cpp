// The wait that completes a pending transfer (sys::AwaitIo), on real ports of
// vcomd with the test as the application on /dev/ttyZOL<n>.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/Overlapped.h"
#include "platform/Text.h"
#include "platform/VirtualSerial.h"
#include "platform/WinTypes.h"
#include "tests/support/TestSupport.h"

using namespace zoltest;
namespace fs = std::filesystem;

namespace {

// vcomd with ports 1..kPorts in a private root; each case takes its own port,
// so nothing one case leaves behind reaches the next.
constexpr unsigned kPorts = 7;

class AwaitIoOnAPort : public ::testing::Test {
 protected:
  void SetUp() override {
    root = tmp.Path();
    ::setenv("ZOL_SYSROOT", root.c_str(), 1);
    std::string ports;
    for (unsigned n = 1; n <= kPorts; ++n) ports += (n > 1 ? "," : "") + std::to_string(n);
    ASSERT_TRUE(daemon.Start({BinDir() + "/vcomd", "--ports", ports}, {{"ZOL_SYSROOT", root}}, root + "/vcomd.out"));
    ASSERT_TRUE(WaitFor([&] { return fs::exists(root + "/run/zol/vcomd.ctl") && fs::exists(Com(kPorts)); }, 5000));
  }
  void TearDown() override { ::unsetenv("ZOL_SYSROOT"); }

  std::string Com(unsigned n) const { return root + "/dev/ttyZOL" + std::to_string(n); }
  std::wstring Interface(unsigned n) const {
    return sys::FromUtf8(root + "/run/zol/devices/{5B1E7C3A-9D42-4F86-A1C0-3E7D92B41F08}/ZOL_COM" + std::to_string(n));
  }
  static bool Signalled(sys::Overlapped& io) { return sys::WaitAny({io.Completion()}, 0) == WAIT_OBJECT_0; }

  TempDir tmp;
  std::string root;
  Child daemon;
};

TEST_F(AwaitIoOnAPort, APendingReadEndsAsItsWaitSays) {
  const struct {
    const char* name;
    bool dataFirst;   // the application's bytes are there before the wait
    bool stop;        // the stop is set before the wait
    bool stopFirst;
    std::uint32_t timeoutMs;
    bool appCloses;   // the application closes before the wait
    sys::IoEnding ending;
    std::uint32_t error;
    std::uint32_t wake;  // what the first wait returned
    const char* data;
  } cases[] = {
      {"the bytes came: done with them", true, false, false, INFINITE, false, sys::IoEnding::Done, 0, 0, "abc"},
      {"stop while pending: cancelled", false, true, false, INFINITE, false, sys::IoEnding::Stopped,
       ERROR_OPERATION_ABORTED, 1, ""},
      {"stop and bytes, stop first: stopped", true, true, true, INFINITE, false, sys::IoEnding::Stopped,
       ERROR_OPERATION_ABORTED, 0, ""},
      {"stop and bytes, completion first: done", true, true, false, INFINITE, false, sys::IoEnding::Done, 0, 0,
       "abc"},
      {"nothing within the time: cancelled", false, false, false, 0, false, sys::IoEnding::TimedOut, ERROR_TIMEOUT,
       WAIT_TIMEOUT, ""},
      {"the application closed: its error", false, false, false, INFINITE, true, sys::IoEnding::Failed,
       ERROR_BROKEN_PIPE, 0, ""},
  };
  unsigned portNumber = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_LT(portNumber, kPorts);
    ++portNumber;
    sys::VirtualSerialPort port;
    ASSERT_TRUE(port.Open(Interface(portNumber)));
    App app(Com(portNumber));
    ASSERT_TRUE(app.IsOpen());
    // vcomd has taken in the opening: its own hold on the slave, taken late,
    // would hide a close that came first.
    ASSERT_NE(VcomdControl(root, "status"), "");
    sys::VirtualSerialIo reader(port, sys::VirtualSerialIo::Kind::Read);
    char buf[64] = {};
    std::uint32_t n = 0;
    ASSERT_EQ(reader.Start(buf, sizeof(buf), &n).state, sys::IoState::Pending);
    if (c.dataFirst) {
      ASSERT_TRUE(app.Write("abc"));
      ASSERT_TRUE(WaitFor([&] { return Signalled(reader); }, kDeadlineMs));
    }
    if (c.appCloses) app.Close();
    sys::Event stop;
    if (c.stop) stop.Set();

    std::vector<std::uint32_t> wakes;
    sys::IoWait wait;
    wait.stop = &stop;
    wait.timeoutMs = c.timeoutMs;
    wait.stopFirst = c.stopFirst;
    wait.onWake = [&](std::uint32_t rc) { wakes.push_back(rc); };
    const sys::IoResult result = sys::AwaitIo(reader, wait);

    EXPECT_EQ(result.ending, c.ending);
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(std::string(buf, result.transferred), c.data);
    EXPECT_EQ(wakes, std::vector<std::uint32_t>{c.wake});
    EXPECT_FALSE(reader.IsPending());
  }
}

// Readiness comes each time the application has read a little: the write is
// done only once all its bytes went.
TEST_F(AwaitIoOnAPort, AWriteThatGoesInPartsIsDoneOnceAllOfItWent) {
  sys::VirtualSerialPort port;
  ASSERT_TRUE(port.Open(Interface(kPorts)));
  App app(Com(kPorts));
  ASSERT_TRUE(app.IsOpen());
  sys::VirtualSerialIo writer(port, sys::VirtualSerialIo::Kind::Write);
  std::string big(65536, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  std::uint32_t n = 0;
  ASSERT_EQ(writer.Start(big.data(), static_cast<std::uint32_t>(big.size()), &n).state, sys::IoState::Pending);

  std::string got;
  std::thread application([&] { got = app.Read(big.size(), kDeadlineMs); });
  sys::IoWait wait;
  wait.timeoutMs = kDeadlineMs;
  wait.untilDone = true;
  const sys::IoResult result = sys::AwaitIo(writer, wait);
  application.join();

  EXPECT_EQ(result.ending, sys::IoEnding::Done);
  EXPECT_EQ(result.transferred, big.size());
  EXPECT_EQ(got.size(), big.size());
  EXPECT_TRUE(got == big);  // the bytes in order (not printed: 64 KiB)
  EXPECT_FALSE(writer.IsPending());
}

}  // namespace
