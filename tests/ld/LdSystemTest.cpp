// The line display end to end: the application writes to its COM port, the
// port service and the plug-in drive a simulated display, the trace and the
// log file show what happened.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support/ZolSystem.h"

namespace {

using zoltest::Bytes;
using zoltest::LineReport;
using zoltest::WaitFor;
using zoltest::ZolSystem;

const std::uint8_t kTop = 0x81;
const std::uint8_t kBottom = 0x82;

bool HasReport(const std::vector<Bytes>& trace, const Bytes& report) {
  for (const Bytes& r : trace) {
    if (r == report) return true;
  }
  return false;
}

// The reports of one command in the trace, in order.
std::vector<Bytes> Reports(const std::vector<Bytes>& trace, std::uint8_t command) {
  std::vector<Bytes> out;
  for (const Bytes& r : trace) {
    if (r.size() > 1 && r[1] == command) out.push_back(r);
  }
  return out;
}

std::string TopText(const Bytes& report) { return std::string(report.begin() + 3, report.begin() + 23); }

class LdSystem : public ::testing::Test {
 protected:
  void StartSystem(bool withDisplay = true) {
    ASSERT_TRUE(sys.Prepare()) << sys.Problem();
    ASSERT_TRUE(sys.StartVcomd());
    ASSERT_TRUE(sys.StartLogService());
    if (withDisplay) {
      ASSERT_TRUE(sys.StartDevice("ld", "ld1"));
    }
    ASSERT_TRUE(sys.StartService());
    ASSERT_EQ(sys.CountLog("LdHidBridge::Initialize - Success"), 1u);
    ASSERT_TRUE(sys.OpenCom(5));
  }
  bool WaitForTrace(const Bytes& report, int timeoutMs = 10000) {
    return WaitFor([&] { return HasReport(sys.Trace("ld1"), report); }, timeoutMs);
  }

  ZolSystem sys;
};

TEST_F(LdSystem, TextReachesTheDisplay) {
  StartSystem();
  // The start-up sequence towards the display, then the application's text.
  ASSERT_TRUE(WaitForTrace(LineReport(kBottom, "")));
  const std::vector<Bytes> startup = sys.Trace("ld1");
  ASSERT_GE(startup.size(), 5u);
  EXPECT_EQ(Bytes(startup[0].begin(), startup[0].begin() + 3), (Bytes{0x00, 0x00, 0x20}));
  EXPECT_EQ(startup[1][1], 0x42);

  ASSERT_TRUE(sys.WriteCom(std::string("ABC") + "\x10\x14" + "bottom"));
  ASSERT_TRUE(WaitForTrace(LineReport(kBottom, "bottom")));
  EXPECT_TRUE(HasReport(sys.Trace("ld1"), LineReport(kTop, "ABC")));
  ASSERT_TRUE(WaitFor([&] { return sys.Screen("ld1").size() == 2 && sys.Screen("ld1")[1].rfind("bottom", 0) == 0; },
                      5000));
  EXPECT_EQ(sys.Screen("ld1")[0], "ABC" + std::string(17, ' '));
}

TEST_F(LdSystem, ScrollingMessageStepsEvery250MsAndStopsOnTopLineWrite) {
  StartSystem();
  ASSERT_TRUE(WaitForTrace(LineReport(kBottom, "")));
  ASSERT_TRUE(sys.WriteCom(std::string("\x05") + "HELLO" + "\x0D"));
  // Watch the top-line reports arrive and note when each one did.
  std::vector<std::chrono::steady_clock::time_point> arrivals;
  std::size_t seen = Reports(sys.Trace("ld1"), kTop).size();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (arrivals.size() < 12 && std::chrono::steady_clock::now() < deadline) {
    const std::size_t now = Reports(sys.Trace("ld1"), kTop).size();
    for (; seen < now; ++seen) arrivals.push_back(std::chrono::steady_clock::now());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_GE(arrivals.size(), 12u);
  // The first top-line report is the cleared line; the steps follow it.
  const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(arrivals.back() - arrivals[2]).count();
  const double perStep = static_cast<double>(span) / static_cast<double>(arrivals.size() - 3);
  EXPECT_NEAR(perStep, 250.0, 30.0);
  const std::vector<Bytes> tops = Reports(sys.Trace("ld1"), kTop);
  EXPECT_TRUE(HasReport(tops, LineReport(kTop, std::string(19, ' ') + "H")));
  EXPECT_TRUE(HasReport(tops, LineReport(kTop, std::string(15, ' ') + "HELLO")));

  ASSERT_TRUE(sys.WriteCom(std::string("\x10\x00", 2) + "X"));
  ASSERT_TRUE(sys.WaitForLog("HidLdManager::ScrollingMessageThread - Scrolling message stopped", 1, 2000));
  ASSERT_TRUE(WaitFor([&] { return TopText(Reports(sys.Trace("ld1"), kTop).back())[0] == 'X'; }, 2000));
  // Nothing of the message is sent after the character.
  const std::string last = TopText(Reports(sys.Trace("ld1"), kTop).back());
  EXPECT_EQ(last[0], 'X');
}

TEST_F(LdSystem, DataWithoutDisplayIsDiscarded) {
  StartSystem(false);
  ASSERT_TRUE(sys.WaitForLog("HidLdManager::Initialize - StatusRequest failed", 1, 1000));
  ASSERT_TRUE(sys.WriteCom("lost"));
  EXPECT_TRUE(sys.WaitForLog(
      "HidLdManager::Receive - Wait for m_InitEvent failed, waitRC=0x00000102; Data discarded", 1, 10000));
  // A display that arrives later starts from the blank image.
  ASSERT_TRUE(sys.StartDevice("ld", "ld1"));
  ASSERT_TRUE(sys.WaitForLog("HidLdManager::HidDeviceChanged - StatusRequest success", 1, 10000));
  ASSERT_TRUE(WaitForTrace(LineReport(kTop, "")));
  EXPECT_FALSE(HasReport(sys.Trace("ld1"), LineReport(kTop, "lost")));
  ASSERT_TRUE(sys.WriteCom("found"));
  EXPECT_TRUE(WaitForTrace(LineReport(kTop, "found")));
}

TEST_F(LdSystem, ReplugBringsTheDisplayBackFromAClearedImage) {
  StartSystem();
  ASSERT_TRUE(sys.WriteCom("before"));
  ASSERT_TRUE(WaitForTrace(LineReport(kTop, "before")));
  ASSERT_TRUE(sys.StopDevice("ld1"));
  ASSERT_TRUE(sys.WaitForLog("HidLdManager::HidDeviceChanged - Unintialize old LD", 1, 10000));
  std::remove(sys.TracePath("ld1").c_str());
  ASSERT_TRUE(sys.StartDevice("ld", "ld1"));
  ASSERT_TRUE(sys.WaitForLog("HidLdManager::HidDeviceChanged - StatusRequest success", 1, 10000));
  ASSERT_TRUE(WaitForTrace(LineReport(kBottom, "")));
  EXPECT_TRUE(HasReport(sys.Trace("ld1"), LineReport(kTop, "")));  // the cleared image
  ASSERT_TRUE(sys.WriteCom("after"));
  EXPECT_TRUE(WaitForTrace(LineReport(kTop, "after")));
}

TEST_F(LdSystem, ADisplayKilledAndStartedAgainIsTakenUpAgain) {
  StartSystem(false);
  zoltest::Child display;
  ASSERT_TRUE(sys.StartDevice(display, "ld", "ld1"));
  ASSERT_TRUE(sys.WaitForLog("HidLdManager::HidDeviceChanged - StatusRequest success", 1, 10000));
  ASSERT_TRUE(sys.WriteCom("before"));
  ASSERT_TRUE(WaitForTrace(LineReport(kTop, "before")));
  display.Kill();  // its socket's name stays behind
  ASSERT_TRUE(sys.WaitForLog("HidLdManager::HidDeviceChanged - Unintialize old LD", 1, 10000));
  std::remove(sys.TracePath("ld1").c_str());
  ASSERT_TRUE(sys.StartDevice(display, "ld", "ld1"));
  ASSERT_TRUE(sys.WaitForLog("HidLdManager::HidDeviceChanged - StatusRequest success", 2, 10000));
  ASSERT_TRUE(sys.WriteCom("after"));
  EXPECT_TRUE(WaitForTrace(LineReport(kTop, "after")));
}

TEST_F(LdSystem, UnplugStopsTheScrollingMessage) {
  StartSystem();
  ASSERT_TRUE(WaitForTrace(LineReport(kBottom, "")));
  ASSERT_TRUE(sys.WriteCom(std::string("\x05") + "GONE" + "\x0D"));
  ASSERT_TRUE(sys.WaitForLog("HidLdManager::ScrollingMessageThread - Scrolling message started", 1, 10000));
  ASSERT_TRUE(sys.StopDevice("ld1"));
  EXPECT_TRUE(sys.WaitForLog("HidLdManager::ScrollingMessageThread - Scrolling message stopped", 1, 10000));
  EXPECT_TRUE(sys.WaitForLog("HidLdManager::HidDeviceChanged - Unintialize old LD", 1, 10000));
}

// Device changes reset the display on the notifier's thread while the
// receive-processing thread applies hand-overs; afterwards the display works.
TEST_F(LdSystem, ReplugWhileDataFlowsLeavesAWorkingDisplay) {
  StartSystem();
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop.load(); ++i) {
      if (!sys.WriteCom(std::string("\x10\x14", 2) + "flow " + std::to_string(i) + "\x05msg\x0D")) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  for (int round = 1; round <= 3; ++round) {
    ASSERT_TRUE(sys.StopDevice("ld1"));
    ASSERT_TRUE(sys.WaitForLog("HidLdManager::HidDeviceChanged - Unintialize old LD", round, 10000));
    ASSERT_TRUE(sys.StartDevice("ld", "ld1"));
    ASSERT_TRUE(sys.WaitForLog("HidLdManager::HidDeviceChanged - StatusRequest success", round, 10000));
  }
  stop = true;
  writer.join();
  ASSERT_TRUE(sys.WriteCom(std::string("\x1F") + "still here"));
  EXPECT_TRUE(WaitForTrace(LineReport(kTop, "still here"), 10000));
}

TEST_F(LdSystem, UnpluggingAnotherHidDeviceChangesNothing) {
  ASSERT_TRUE(sys.Prepare()) << sys.Problem();
  ASSERT_TRUE(sys.StartVcomd());
  ASSERT_TRUE(sys.StartLogService());
  ASSERT_TRUE(sys.StartDevice("ld", "ld1"));
  ASSERT_TRUE(sys.StartDevice("msr", "msr1"));
  ASSERT_TRUE(sys.StartService());
  ASSERT_TRUE(sys.OpenCom(5));
  ASSERT_TRUE(sys.WriteCom("keep"));
  ASSERT_TRUE(WaitForTrace(LineReport(kTop, "keep")));
  ASSERT_TRUE(sys.StopDevice("msr1"));
  ASSERT_TRUE(sys.WaitForLog("HidLdManager::HidDeviceChanged - Re-enumerating USBs devices", 1, 10000));
  // The re-enumeration waits for a pending status read (up to 7 s).
  ASSERT_TRUE(sys.WaitForLog("HidLdManager::Enumerate - Number of USB LD: 1", 2, 10000));
  ASSERT_TRUE(sys.WriteCom("!"));
  EXPECT_TRUE(WaitForTrace(LineReport(kTop, "keep!")));
  EXPECT_EQ(sys.CountLog("HidLdManager::HidDeviceChanged - Unintialize old LD"), 0u);
}

TEST_F(LdSystem, ResumeReinitialisesTheDisplay) {
  StartSystem();
  ASSERT_TRUE(sys.WriteCom("sleep"));
  ASSERT_TRUE(WaitForTrace(LineReport(kTop, "sleep")));
  const std::size_t before = sys.Trace("ld1").size();
  ASSERT_TRUE(sys.InjectResume());
  ASSERT_TRUE(sys.WaitForLog("HidLdManager::HidResumeSuspend - StatusRequest success", 1, 10000));
  ASSERT_TRUE(WaitFor([&] { return sys.Trace("ld1").size() >= before + 5; }, 10000));
  const std::vector<Bytes> trace = sys.Trace("ld1");
  const std::vector<Bytes> again(trace.begin() + static_cast<std::ptrdiff_t>(before), trace.end());
  EXPECT_EQ(Bytes(again[0].begin(), again[0].begin() + 3), (Bytes{0x00, 0x00, 0x20}));
  EXPECT_TRUE(HasReport(again, LineReport(kTop, "")));
  ASSERT_TRUE(sys.WriteCom("awake"));
  EXPECT_TRUE(WaitForTrace(LineReport(kTop, "awake")));
}

TEST_F(LdSystem, ShutdownWithDataFlowingIsClean) {
  StartSystem();
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    int i = 0;
    while (!stop.load()) {
      if (!sys.WriteCom(std::string("\x10\x00", 2) + std::to_string(i++))) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  ASSERT_TRUE(WaitFor([&] { return Reports(sys.Trace("ld1"), kTop).size() > 20; }, 10000));
  const auto started = std::chrono::steady_clock::now();
  const int code = sys.StopService(10000);
  const auto took = std::chrono::steady_clock::now() - started;
  stop = true;
  writer.join();
  EXPECT_EQ(code, 0);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(took).count(), 8);
  EXPECT_TRUE(sys.WaitForLog("HidLdManager::Terminate - Exiting", 1, 10000));
}

}  // namespace
