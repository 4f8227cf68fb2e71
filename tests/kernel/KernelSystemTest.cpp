// The whole system on kernel HID devices: hidsim --uhid makes the display and
// the reader, the port service finds them through the default provider
// ZolHidRaw.so (hidraw nodes, udev), and the same streams and swipes give the
// same reports and text as through the simulated-device provider. Needs
// /dev/uhid and a running udevd (scripts/kernel-vm gives both); skipped
// elsewhere. Kernel devices are seen machine-wide: these tests run one at a
// time.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "plugins/ld/LdDisplay.h"
#include "tests/support/ZolSystem.h"
#include "tools/hidsim/CardEncoding.h"
#include "tools/hidsim/SwipeSend.h"

namespace {

using zoltest::App;
using zoltest::Bytes;
using zoltest::LineReport;
using zoltest::SystemOptions;
using zoltest::WaitFor;
using zoltest::ZolSystem;

constexpr unsigned kMsrCom = 3;
constexpr unsigned kLdCom = 5;
constexpr const char* kDisplay = "ld1";
constexpr const char* kReader = "r1";
constexpr const char* kLdReady = "LdHidBridge::Initialize - Success";
constexpr const char* kMsrReady = "HidMsrManager::Initialize - Initialize success";
constexpr const char* kLdReplugged = "HidLdManager::HidDeviceChanged - StatusRequest success";
constexpr const char* kLdUnplugged = "HidLdManager::HidDeviceChanged - Unintialize old LD";
constexpr const char* kLdResumed = "HidLdManager::HidResumeSuspend - StatusRequest success";
constexpr const char* kMsrResumed = "HidMsrManager::HidResumeSuspend - StatusRequest success";

bool KernelDevicesUsable() { return ::access("/dev/uhid", R_OK | W_OK) == 0 && ::access("/run/udev/control", F_OK) == 0; }

// The display and the reader on one system, through one provider.
SystemOptions Options(bool uhid) {
  SystemOptions o;
  o.ports = {kMsrCom, kLdCom};
  o.msrPort = "COM" + std::to_string(kMsrCom);
  o.ldPort = "COM" + std::to_string(kLdCom);
  o.install = {{"LdHidBridge.so", "LdHidBridge.so"},
               {"MsrHidBridge.so", "MsrHidBridge.so"},
               {"ZolHidSim.so", "ZolHidSim.so"},
               {"ZolHidRaw.so", "ZolHidRaw.so"}};
  o.uhid = uhid;
  // Kernel devices go through the default provider.
  if (uhid) o.env.clear();
  o.readyLines = {kLdReady};
  return o;
}

// The reports the plug-in's emulation sends for each chunk, computed here by
// the same emulation.
class Emulation {
 public:
  Emulation() { m_display.ResetDisplay(false); }
  std::vector<Bytes> Apply(const std::string& chunk) {
    std::vector<Bytes> sent;
    for (const LdAction& a : m_display.ApplyHandOver(reinterpret_cast<const BYTE*>(chunk.data()), chunk.size())) {
      if (a.type != LdAction::Type::Send) continue;
      Bytes report(32, 0);
      std::copy(a.bytes.begin(), a.bytes.begin() + std::min<std::size_t>(a.length, 32), report.begin());
      sent.push_back(report);
    }
    return sent;
  }

 private:
  LdDisplay m_display;
};

struct Card {
  std::string track1, track2;
  std::string Text() const { return "%" + track1 + "?;" + track2 + "?"; }
};

// Random printable text with cursor moves, cut into chunks of 1 to 128 bytes.
std::vector<std::string> RandomChunks(std::size_t total, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> printable(0x20, 0x7E), size(1, 128), control(0, 15);
  const char kMoves[] = {'\r', '\n', '\b'};
  std::vector<std::string> chunks;
  for (std::size_t done = 0; done < total;) {
    std::string chunk;
    for (int n = size(rng); n > 0 && done < total; --n, ++done) {
      const int c = control(rng);
      chunk += c < 3 ? kMoves[c] : static_cast<char>(printable(rng));
    }
    chunks.push_back(chunk);
  }
  return chunks;
}

std::vector<Card> RandomCards(std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  const std::string alpha = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 /";
  std::uniform_int_distribution<std::size_t> letter(0, alpha.size() - 1), digit(0, 9), length(1, 37);
  std::vector<Card> cards(count);
  for (Card& c : cards) {
    for (std::size_t n = length(rng) + 1; n > 0; --n) c.track1 += alpha[letter(rng)];
    for (std::size_t n = length(rng); n > 0; --n) c.track2 += static_cast<char>('0' + digit(rng));
  }
  return cards;
}

class KernelSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!KernelDevicesUsable()) GTEST_SKIP() << "no /dev/uhid and udevd here: run in the kernel stage (scripts/kernel-vm)";
  }

  // Devices first (unless plugLater), then vcomd, the log service and the
  // port service, and the application's two ports.
  void Start(ZolSystem& sys, bool plugLater = false) {
    ASSERT_TRUE(sys.Prepare()) << sys.Problem();
    ASSERT_TRUE(sys.StartVcomd());
    ASSERT_TRUE(sys.StartLogService());
    if (!plugLater) {
      ASSERT_TRUE(sys.StartDevice("ld", kDisplay));
      ASSERT_TRUE(sys.StartDevice("msr", kReader));
      ASSERT_TRUE(sys.StartService());
      ASSERT_TRUE(sys.WaitForLog(kMsrReady));
    } else {
      ASSERT_TRUE(sys.StartService(false));
    }
    ASSERT_TRUE(sys.OpenApp(kMsrCom, m_reader));
    m_display = std::make_unique<App>(sys.ComPath(kLdCom));
    ASSERT_TRUE(m_display->IsOpen());
  }

  // As hidsim swipe does, from this process: no program started per swipe.
  static bool Swipe(const ZolSystem& sys, const Card& card) {
    hidsim::SwipeRequest request;
    request.track1 = card.track1;
    request.track2 = card.track2;
    std::string problem;
    const auto encoded = hidsim::EncodeSwipe(request, &problem);
    std::optional<std::uint32_t> hosts;
    std::uint32_t error = 0;
    return encoded && hidsim::SendSwipe(sys.DeviceSocket(kReader), *encoded, 5000, &hosts, &error);
  }

  // A reader plugged in just now is taken up once a swipe reaches the
  // application: swipes until one does, and returns what it read.
  std::string SwipeUntilRead(ZolSystem& sys, const Card& card) {
    std::string text;
    WaitFor([&] {
      if (!Swipe(sys, card)) return false;
      text = m_reader->Read(card.Text().size(), 2000);
      return !text.empty();
    });
    return text;
  }

  // The display's top line was written with text.
  static bool TopLineShown(const ZolSystem& sys, const std::string& text) {
    return WaitFor([&] {
      for (const Bytes& r : sys.Trace(kDisplay)) {
        if (r == LineReport(0x81, text)) return true;
      }
      return false;
    });
  }

  App* m_reader = nullptr;
  std::unique_ptr<App> m_display;
};

// How long the machine was suspended since it started: CLOCK_BOOTTIME runs on
// through a suspend, CLOCK_MONOTONIC does not.
std::int64_t SuspendedMs() {
  timespec boot{}, mono{};
  ::clock_gettime(CLOCK_BOOTTIME, &boot);
  ::clock_gettime(CLOCK_MONOTONIC, &mono);
  return (boot.tv_sec - mono.tv_sec) * 1000 + (boot.tv_nsec - mono.tv_nsec) / 1000000;
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  out.flush();
  return static_cast<bool>(out);
}

// Suspends this machine to memory and resumes it. pm_test "core" goes through
// the whole suspend (tasks frozen, devices, timekeeping and CPUs suspended)
// short of the firmware's sleep, where it waits pm_test_delay seconds: no
// wake-up source is needed.
void SuspendMachine() {
  const std::int64_t before = SuspendedMs();
  ASSERT_TRUE(WriteText("/sys/module/suspend/parameters/pm_test_delay", "3"));
  ASSERT_TRUE(WriteText("/sys/power/pm_test", "core"));
  ASSERT_TRUE(WriteText("/sys/power/state", "mem")) << "suspend: " << std::strerror(errno);
  ASSERT_GT(SuspendedMs() - before, 1000) << "CLOCK_BOOTTIME did not run ahead of CLOCK_MONOTONIC";
}

// What one provider made of the stream and the swipes.
struct Outcome {
  std::vector<Bytes> reports;  // the display's output reports after start-up
  std::string text;            // all the application read from the reader's port
};

TEST_F(KernelSystem, StreamAndSwipesAreByteExactThroughBothProviders) {
  const std::vector<std::string> chunks = RandomChunks(10000, 20261208);
  const std::vector<Card> cards = RandomCards(100, 4711);
  struct Case {
    const char* name;
    bool uhid;
  };
  const Case cases[] = {{"simulated devices, ZolHidSim.so", false}, {"kernel devices, ZolHidRaw.so", true}};
  std::vector<Outcome> outcomes;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZolSystem sys(Options(c.uhid));
    ASSERT_NO_FATAL_FAILURE(Start(sys));
    // The start-up sequence is over once the bottom line was cleared.
    ASSERT_TRUE(WaitFor([&] { return !sys.Trace(kDisplay).empty() && sys.Trace(kDisplay).back() == LineReport(0x82, ""); }));
    const std::size_t startup = sys.Trace(kDisplay).size();

    // Each chunk in one write, the next once its reports arrived: the plug-in
    // takes each as one hand-over, as the emulation here does.
    Emulation emulation;
    std::vector<Bytes> expected;
    for (const std::string& chunk : chunks) {
      const std::vector<Bytes> reports = emulation.Apply(chunk);
      expected.insert(expected.end(), reports.begin(), reports.end());
      ASSERT_TRUE(m_display->Write(chunk));
      // Every trace line of a 32-byte report is 96 characters long: the file's
      // size counts them without reading it.
      const auto want = static_cast<std::uintmax_t>((startup + expected.size()) * 96);
      ASSERT_TRUE(WaitFor([&] {
        std::error_code ec;
        const auto size = std::filesystem::file_size(sys.TracePath(kDisplay), ec);
        return !ec && size >= want;
      })) << "after " << expected.size() << " reports";
    }
    const std::vector<Bytes> trace = sys.Trace(kDisplay);
    Outcome outcome;
    outcome.reports.assign(trace.begin() + static_cast<std::ptrdiff_t>(startup), trace.end());
    EXPECT_EQ(outcome.reports, expected);

    for (const Card& card : cards) {
      ASSERT_TRUE(Swipe(sys, card));
      const std::string text = m_reader->Read(card.Text().size());
      EXPECT_EQ(text, card.Text());
      outcome.text += text;
    }
    EXPECT_EQ(m_reader->Drain(), "");
    outcomes.push_back(outcome);
  }
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(outcomes[0].reports, outcomes[1].reports);
  EXPECT_EQ(outcomes[0].text, outcomes[1].text);
}

// Each device unplugged and plugged in again while the application writes
// and swipes; both work afterwards.
TEST_F(KernelSystem, ReplugUnderTrafficLeavesBothDevicesWorking) {
  ZolSystem sys(Options(true));
  ASSERT_NO_FATAL_FAILURE(Start(sys));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop.load(); ++i) {
      if (!m_display->Write("\x10\x14" "flow " + std::to_string(i))) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  for (int round = 1; round <= 2; ++round) {
    ASSERT_TRUE(sys.StopDevice(kDisplay));
    ASSERT_TRUE(sys.WaitForLog(kLdUnplugged, static_cast<std::size_t>(round)));
    ASSERT_TRUE(sys.StartDevice("ld", kDisplay));
    ASSERT_TRUE(sys.WaitForLog(kLdReplugged, static_cast<std::size_t>(round)));

    ASSERT_TRUE(sys.StopDevice(kReader));
    ASSERT_TRUE(sys.StartDevice("msr", kReader));
    const Card card{"ROUND" + std::to_string(round), std::to_string(round * 1111)};
    EXPECT_EQ(SwipeUntilRead(sys, card), card.Text());
  }
  stop = true;
  writer.join();
  ASSERT_TRUE(m_display->Write("\x1F" "still here"));
  EXPECT_TRUE(TopLineShown(sys, "still here"));
}

// Devices plugged in after the service started are found through udev.
TEST_F(KernelSystem, DevicesPluggedAfterTheServiceStartedAreTakenUp) {
  ZolSystem sys(Options(true));
  ASSERT_NO_FATAL_FAILURE(Start(sys, true));
  ASSERT_TRUE(sys.StartDevice("ld", kDisplay));
  ASSERT_TRUE(sys.StartDevice("msr", kReader));
  // Text written before the display is taken up is dropped.
  ASSERT_TRUE(sys.WaitForLog(kLdReplugged));
  ASSERT_TRUE(m_display->Write("\x1F" "late"));
  EXPECT_TRUE(TopLineShown(sys, "late"));
  const Card card{"LATE", "5555"};
  EXPECT_EQ(SwipeUntilRead(sys, card), card.Text());
}

// The machine suspended and resumed: both managers take their kernel devices
// up again, the display is set up again with the very reports a resume on the
// simulated devices gives, and swipes still reach the application byte-exact.
// Suspends the machine it runs on, so only where ZOL_TEST_SUSPEND=1 says it
// may: scripts/test's kernel stage runs it in a guest of its own, from a root
// in the guest's RAM (scripts/kernel-vm --in-ram), as the guest's 9p root does
// not come back from a suspend.
TEST_F(KernelSystem, MachineSuspendAndResumeReinitialisesBothDevices) {
  const char* allowed = std::getenv("ZOL_TEST_SUSPEND");
  if (allowed == nullptr || std::string(allowed) != "1") {
    GTEST_SKIP() << "suspends this machine: ZOL_TEST_SUSPEND=1 allows it (scripts/test kernel, in its guest)";
  }
  ASSERT_EQ(::access("/sys/power/pm_test", W_OK), 0) << "no /sys/power/pm_test to write";
  struct Case {
    const char* name;
    bool uhid;
  };
  const Case cases[] = {{"simulated devices, a resume marker", false}, {"kernel devices, the machine suspended", true}};
  std::vector<std::vector<Bytes>> resent;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZolSystem sys(Options(c.uhid));
    ASSERT_NO_FATAL_FAILURE(Start(sys));
    ASSERT_TRUE(m_display->Write("\x1F" "before"));
    ASSERT_TRUE(TopLineShown(sys, "before"));
    const std::size_t before = sys.Trace(kDisplay).size();
    if (c.uhid) {
      ASSERT_NO_FATAL_FAILURE(SuspendMachine());
    } else {
      ASSERT_TRUE(sys.InjectResume());
    }
    for (const char* line : {"HidLdManager::HidResumeSuspend - Unintialize old LD",
                             "HidLdManager::HidResumeSuspend - Re-enumerating USBs devices",
                             "HidLdManager::HidResumeSuspend - Initialize new LD", kLdResumed,
                             "HidMsrManager::HidResumeSuspend - Unintialize old MSR"}) {
      EXPECT_TRUE(sys.WaitForLog(line)) << line;
    }
    // The reader's re-enumeration waits for the status read in progress,
    // which a swipe ends; the swipe is read by the old handle or the new.
    const Card asleep{"ASLEEP", "7"}, awake{"AWAKE", "7777"};
    EXPECT_EQ(SwipeUntilRead(sys, asleep), asleep.Text());
    EXPECT_TRUE(sys.WaitForLog("HidMsrManager::HidResumeSuspend - Initialize new MSR"));
    ASSERT_TRUE(sys.WaitForLog(kMsrResumed));
    ASSERT_TRUE(Swipe(sys, awake));
    EXPECT_EQ(m_reader->Read(awake.Text().size()), awake.Text());
    EXPECT_EQ(m_reader->Drain(), "");

    ASSERT_TRUE(m_display->Write("\x1F" "after"));
    ASSERT_TRUE(TopLineShown(sys, "after"));
    const std::vector<Bytes> trace = sys.Trace(kDisplay);
    resent.emplace_back(trace.begin() + static_cast<std::ptrdiff_t>(before), trace.end());
  }
  ASSERT_EQ(resent.size(), 2u);
  // Set up again from the start: the reset comes first.
  ASSERT_FALSE(resent[1].empty());
  EXPECT_EQ(Bytes(resent[1][0].begin(), resent[1][0].begin() + 3), (Bytes{0x00, 0x00, 0x20}));
  EXPECT_EQ(resent[0], resent[1]);
}

}  // namespace
