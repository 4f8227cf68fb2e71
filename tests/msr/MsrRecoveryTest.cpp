// The whole system with a stripe reader whose simulator is killed outright
// and started again, and what a swipe leaves in the port service's memory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>

#include <algorithm>
#include <bitset>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <unordered_map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/msr/MsrTestSupport.h"

namespace {

using namespace msrtest;

constexpr const char* kReader = "r1";
constexpr const char* kReplugged = "HidMsrManager::HidDeviceChanged - SendMSRDeviceInfoRequest success";

TEST(MsrRecoveryTest, AReaderKilledAndStartedAgainIsTakenUpAgain) {
  MsrSystem system;
  Child reader;
  App* app = nullptr;
  ASSERT_NO_FATAL_FAILURE(system.StartWith(reader, kReader, &app));
  ASSERT_TRUE(system.Sim().Swipe(kReader, {"ONE", "1111", "", false, ""}));
  EXPECT_EQ(app->Read(11), "%ONE?;1111?");

  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    reader.Kill();  // its socket's name stays behind
    ASSERT_TRUE(system.WaitLog("HidMsrManager::HidDeviceChanged - Unintialize old MSR", round));
    ASSERT_TRUE(system.Sim().Plug(reader, kReader));
    ASSERT_TRUE(system.WaitLog(kReplugged, round));
    ASSERT_TRUE(system.Sim().Swipe(kReader, {"TWO", "2222", "", false, ""}));
    EXPECT_EQ(app->Read(11), "%TWO?;2222?");
  }
}

// A device whose simulator never accepts: a listener with a full backlog, so
// that every further connect waits out its limit.
class StuckDevice {
 public:
  explicit StuckDevice(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    const auto address = reinterpret_cast<const sockaddr*>(&addr);
    m_listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    m_filler = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    m_ok = ::bind(m_listener, address, sizeof(addr)) == 0 && ::listen(m_listener, 0) == 0 &&
           ::connect(m_filler, address, sizeof(addr)) == 0;
  }
  ~StuckDevice() {
    ::close(m_filler);
    ::close(m_listener);
  }
  StuckDevice(const StuckDevice&) = delete;
  StuckDevice& operator=(const StuckDevice&) = delete;
  bool Ok() const { return m_ok; }

 private:
  int m_listener = -1;
  int m_filler = -1;
  bool m_ok = false;
};

TEST(MsrRecoveryTest, DevicesThatNeverAcceptCostThemselvesNeitherTheReaderNorTheStop) {
  struct Case {
    int stuck;
    bool replug;  // a reader plugged again later is taken up: the notifier came up
  };
  // Each connect to such a device waits 2 s; the notifier's start limit is 3 s.
  for (const Case& c : {Case{2, true}, Case{12, false}}) {
    SCOPED_TRACE(c.stuck);
    MsrSystem system;
    std::filesystem::create_directories(std::filesystem::path(system.Sim().DevicePath("x")).parent_path());
    std::vector<std::unique_ptr<StuckDevice>> stuck;
    for (int i = 0; i < c.stuck; ++i) {
      stuck.push_back(std::make_unique<StuckDevice>(system.Sim().DevicePath("stuck" + std::to_string(i))));
      ASSERT_TRUE(stuck.back()->Ok()) << i;
    }
    Child reader;
    ASSERT_TRUE(system.Sim().Plug(reader, kReader));
    ASSERT_TRUE(system.Prepare() && system.StartLogService() && system.StartVcomd() && system.StartService(false));
    // Enumeration alone waits 2 s for each stuck device.
    ASSERT_TRUE(system.WaitLog("HidMsrManager::Initialize - Initialize success", 1, 2000 * c.stuck + 20000))
        << system.Log();
    App* app = nullptr;
    ASSERT_TRUE(system.OpenApp(app));
    ASSERT_TRUE(system.Sim().Swipe(kReader, {"ONE", "1111", "", false, ""}));
    EXPECT_EQ(app->Read(11), "%ONE?;1111?");
    if (c.replug) {
      reader.Kill();
      ASSERT_TRUE(system.WaitLog("HidMsrManager::HidDeviceChanged - Unintialize old MSR", 1, 30000)) << system.Log();
      ASSERT_TRUE(system.Sim().Plug(reader, kReader));
      ASSERT_TRUE(system.WaitLog(kReplugged, 1, 30000)) << system.Log();
      ASSERT_TRUE(system.Sim().Swipe(kReader, {"TWO", "2222", "", false, ""}));
      EXPECT_EQ(app->Read(11), "%TWO?;2222?");
    }
    system.Service().Signal(SIGINT);
    EXPECT_EQ(system.Service().WaitExit(15000), 0);
  }
}

// A card's secrets as the reader sends them (track 1 less 0x20, track 2 less
// 0x30) and in clear: the account number, the holder's surname.
std::vector<std::string> Forms(const std::string& pan, const std::string& surname) {
  const auto less = [](const std::string& text, char by) {
    std::string out = text;
    for (char& c : out) c = static_cast<char>(c - by);
    return out;
  };
  return {pan, less(pan, 0x20), less(pan, 0x30), surname, less(surname, 0x20)};
}

// The process's writable mappings (heap, stacks, data), searched for each
// needle (8 bytes or more); one line for every needle found. Huge mappings
// (a sanitizer's shadow) are skipped: card data is never there. Under a
// sanitizer a few hundred MiB are mapped, mostly never touched: a chunk of
// zeros is passed over, and a byte is looked up only when the two bytes
// that start there start a needle.
std::vector<std::string> FoundInMemory(pid_t pid, const std::vector<std::string>& needles) {
  constexpr unsigned long kMaxMapping = 1ul << 30;
  constexpr std::size_t kChunk = 1 << 20, kOverlap = 256;
  // Each needle is looked up by its first 8 bytes: one look-up per byte.
  std::unordered_multimap<std::uint64_t, std::size_t> byPrefix;
  std::bitset<65536> starts;
  const auto firstTwo = [](const char* at) {
    return static_cast<unsigned char>(at[0]) | static_cast<unsigned>(static_cast<unsigned char>(at[1])) << 8;
  };
  for (std::size_t k = 0; k < needles.size(); ++k) {
    std::uint64_t prefix = 0;
    std::memcpy(&prefix, needles[k].data(), sizeof prefix);
    byPrefix.emplace(prefix, k);
    starts.set(firstTwo(needles[k].data()));
  }
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  const int mem = ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
  if (mem < 0) return {"(no /proc/PID/mem)"};
  std::set<std::size_t> seen;
  std::vector<std::string> found;
  std::vector<char> chunk(kChunk + kOverlap);
  const std::vector<char> zeros(chunk.size(), 0);
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long start = 0, end = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3) continue;
    if (perms[0] != 'r' || perms[1] != 'w' || end - start > kMaxMapping) continue;
    for (unsigned long at = start; at < end; at += kChunk) {
      const std::size_t want = std::min<unsigned long>(kChunk + kOverlap, end - at);
      const ssize_t n = ::pread(mem, chunk.data(), want, static_cast<off_t>(at));
      if (n <= 0) break;
      const std::string_view view(chunk.data(), static_cast<std::size_t>(n));
      if (std::memcmp(view.data(), zeros.data(), view.size()) == 0) continue;
      for (std::size_t i = 0; i + 8 <= view.size() && i < kChunk; ++i) {
        if (!starts.test(firstTwo(view.data() + i))) continue;
        std::uint64_t prefix = 0;
        std::memcpy(&prefix, view.data() + i, sizeof prefix);
        const auto [first, last] = byPrefix.equal_range(prefix);
        for (auto it = first; it != last; ++it) {
          if (view.compare(i, needles[it->second].size(), needles[it->second]) != 0 || !seen.insert(it->second).second)
            continue;
          char where[32];
          std::snprintf(where, sizeof where, "%lx", at + i);
          found.push_back("needle " + std::to_string(it->second % 5) + " of card " + std::to_string(it->second / 5) +
                          " at " + where + " in " + line);
        }
      }
    }
  }
  ::close(mem);
  return found;
}

// After 100 random cards read by the application, at log level 0 and 5, the
// port service's memory holds no account number and no holder's name, in
// clear or as the reader encodes them: every stack and heap buffer that held
// them was wiped once they were handed on, and log text was made only when
// logged (the masked lines that do carry the name are wiped once sent).
TEST(MsrRecoveryTest, CardsHandedOnLeaveNoCardDataInThePortService) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to read another process's memory";
  std::mt19937 rng(std::random_device{}());
  const auto random = [&](const char* alphabet, std::size_t count) {
    std::string s;
    for (std::size_t i = 0; i < count; ++i) s += alphabet[rng() % std::strlen(alphabet)];
    return s;
  };
  const char* const kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  for (const int level : {0, 5}) {
    SCOPED_TRACE("Log_Level " + std::to_string(level));
    MsrSystem system("", level);
    Child reader;
    ASSERT_NO_FATAL_FAILURE(system.StartWith(reader, kReader));
    App app(system.ComPath());
    ASSERT_TRUE(app.IsOpen());
    // The port is ready once a first card comes through (level 0 logs no line that says so).
    ASSERT_TRUE(WaitFor([&] { return system.Sim().Swipe(kReader, {"", "1234", "", false, ""}) && app.Read(6, 500) == ";1234?"; }));
    std::vector<std::string> needles;
    for (int i = 0; i < 100; ++i) {
      const std::string pan = "4" + random("0123456789", 15);
      const std::string surname = random(kLetters, 12);
      const std::string t1 = "B" + pan + "^" + surname + "/" + random(kLetters, 6) + "^2812101000";
      const std::string t2 = pan + "=2812101000";
      const std::string text = "%" + t1 + "?;" + t2 + "?";
      ASSERT_TRUE(system.Sim().Swipe(kReader, {t1, t2, "", false, ""}));
      ASSERT_EQ(app.Read(text.size()), text);
      for (std::string& form : Forms(pan, surname)) needles.push_back(std::move(form));
    }
    // The reader's thread wipes once its write returned, a moment after the
    // application has the text.
    std::vector<std::string> found;
    EXPECT_TRUE(WaitFor(
        [&] {
          found = FoundInMemory(system.Service().Pid(), needles);
          return found.empty();
        },
        std::chrono::seconds(10), std::chrono::milliseconds(200)));
    for (const auto& f : found) ADD_FAILURE() << f;
  }
}

}  // namespace
