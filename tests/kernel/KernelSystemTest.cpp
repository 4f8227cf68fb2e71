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
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "plugins/ld/LdDisplay.h"
#include "tests/support/ZolSystem.h"

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

  bool Swipe(ZolSystem& sys, const Card& card) {
    return sys.RunHidsim({"swipe", kReader, "--track1", card.track1, "--track2", card.track2});
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

}  // namespace
