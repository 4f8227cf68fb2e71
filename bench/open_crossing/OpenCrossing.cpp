// How often what the application left unread when it closed its COM port is
// read by its next opening, when that opening comes at once: each round opens
// the port, has the echoing test plug-in send a marker back, closes with the
// marker unread, reopens after a pause (0 to 10 ms) and reads for a moment.
// Busy threads load every core meanwhile, as a busy till does.
//   open_crossing [rounds per pause] [busy threads]
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "tests/service/PortSystem.h"

using namespace porttest;

namespace {

constexpr int kReadWindowMs = 20;

int Unread(int fd) {
  int count = 0;
  return ::ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
}

// What the reopened port yields within the window.
std::string ReadWindow(int fd) {
  std::string got;
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, kReadWindowMs) > 0) {
    char buf[256];
    ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n > 0) got.assign(buf, static_cast<std::size_t>(n));
  }
  return got;
}

struct Counts {
  int pauseUs = 0;
  int rounds = 0, crossed = 0, skipped = 0;
};

bool Run(int rounds, int busy, std::vector<Counts>& table) {
  PortSystem sys(EchoOptions());
  if (!sys.Start()) return false;
  std::atomic<bool> stop{false};
  std::vector<std::thread> load;
  for (int i = 0; i < busy; ++i)
    load.emplace_back([&] {
      volatile unsigned long spin = 0;
      while (!stop.load(std::memory_order_relaxed)) spin = spin + 1;
    });
  for (int i = 0; i < rounds * static_cast<int>(table.size()); ++i) {
    // The pauses take turns, so that the load weighs on each alike.
    Counts& counts = table[static_cast<std::size_t>(i) % table.size()];
    char marker[32];
    int length = std::snprintf(marker, sizeof(marker), "card %06d;", i);
    auto first = std::make_unique<App>(sys.ComPath(3));
    // The echo comes once the port has seen this opening; written again
    // until it does, then left unread.
    bool echoed = WaitFor(
        [&] {
          if (Unread(first->Fd()) >= length) return true;
          if (Unread(first->Fd()) == 0) first->Write(marker);
          return WaitFor([&] { return Unread(first->Fd()) >= length; }, 100);
        },
        5000);
    if (!echoed) {
      ++counts.skipped;
      continue;
    }
    first.reset();
    if (counts.pauseUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(counts.pauseUs));
    App next(sys.ComPath(3));
    ++counts.rounds;
    if (!ReadWindow(next.Fd()).empty()) ++counts.crossed;
  }
  stop = true;
  for (auto& t : load) t.join();
  sys.StopService();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 50;
  int busy = argc > 2 ? std::atoi(argv[2]) : static_cast<int>(2 * std::max(1u, std::thread::hardware_concurrency()));
  if (BinDir().empty()) {
    std::fprintf(stderr, "set ZOL_BIN_DIR to the folder with PortBridgeServer, vcomd and zol_test_device.so\n");
    return 2;
  }
  std::vector<Counts> table;
  for (int us : {0, 500, 1000, 2000, 5000, 10000}) table.push_back(Counts{us});
  if (!Run(rounds, busy, table)) {
    std::fprintf(stderr, "measurement failed\n");
    return 1;
  }
  std::printf("busy threads %d, read window %d ms after the reopen\n", busy, kReadWindowMs);
  std::printf("%-16s %8s %8s %9s\n", "reopen after", "reopens", "crossed", "share");
  for (const Counts& c : table) {
    if (c.rounds == 0) {
      std::fprintf(stderr, "no round with an echo after %d us\n", c.pauseUs);
      return 1;
    }
    std::printf("%13.1f ms %8d %8d %8.1f%%\n", c.pauseUs / 1000.0, c.rounds, c.crossed, 100.0 * c.crossed / c.rounds);
  }
  return 0;
}
