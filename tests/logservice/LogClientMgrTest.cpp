// The service's threads in this process: clients over real loopback sockets,
// the file checked after the stop.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "logservice/LogService.h"
#include "tests/support/TestSupport.h"
#include "tests/logservice/LogFiles.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct Service {
  zoltest::TempDir dir;
  fs::path file;
  zollogsvc::CLogClientMgr mgr;
  explicit Service(std::uint64_t limit = 0) {
    file = dir.Dir() / "zol.log";
    zollogsvc::LogServiceSettings s;
    s.fileName = file.string();
    s.limitBytes = limit;
    s.tcpPort = 0;  // any free port: tests run side by side
    EXPECT_EQ(mgr.StartService(s), 0u);
    EXPECT_NE(mgr.ListeningPort(), 0);
  }
};

// Sends the text in pieces of random size, so lines are cut across sends.
void SendInPieces(int fd, const std::string& text, unsigned seed) {
  std::mt19937 rng(seed);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t n = std::min<size_t>(text.size() - pos, 1 + rng() % 700);
    ASSERT_TRUE(zoltest::SendAll(fd, text.substr(pos, n)));
    pos += n;
  }
}

TEST(LogClientMgr, LinesOfManyClientsNeverMix) {
  Service svc(64 * 1024);
  constexpr int kClients = 12;
  constexpr int kLines = 1500;
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      int fd = zoltest::Connect(svc.mgr.ListeningPort());
      ASSERT_GE(fd, 0);
      std::string all;
      for (int i = 0; i < kLines; ++i) all += logtest::ClientLine(c, i);
      SendInPieces(fd, all, static_cast<unsigned>(c));
      logtest::CloseServed(fd);
    });
  }
  for (auto& t : clients) t.join();
  svc.mgr.StopService();
  logtest::ExpectEveryLineOnceInOrder(logtest::ReadLogSet(svc.file), kClients, kLines);
  EXPECT_GT(logtest::LogSet(svc.file).size(), 1u) << "64 KiB limit should have rotated";
}

TEST(LogClientMgr, StopWritesWhatConnectedClientsAlreadySent) {
  Service svc;
  constexpr int kClients = 6;
  constexpr int kLines = 400;
  std::vector<int> fds;
  for (int c = 0; c < kClients; ++c) {
    int fd = zoltest::Connect(svc.mgr.ListeningPort());
    ASSERT_GE(fd, 0);
    std::string all;
    for (int i = 0; i < kLines; ++i) all += logtest::ClientLine(c, i);
    ASSERT_TRUE(zoltest::SendAll(fd, all));
    fds.push_back(fd);  // stays connected through the stop
  }
  // An unfinished line is kept too, closed as a line of its own.
  ASSERT_TRUE(zoltest::SendAll(fds[0], "unfinished"));
  svc.mgr.StopService();
  std::string content = logtest::ReadLogSet(svc.file);
  ASSERT_GE(content.size(), 12u);
  EXPECT_EQ(content.substr(content.size() - 12), "unfinished\r\n");
  logtest::ExpectEveryLineOnceInOrder(content.substr(0, content.size() - 12), kClients, kLines);
  for (int fd : fds) ::close(fd);
}

TEST(LogClientMgr, IdleAndVanishedClientsDoNotHoldTheStop) {
  Service svc;
  int idle = zoltest::Connect(svc.mgr.ListeningPort());
  ASSERT_GE(idle, 0);
  for (int i = 0; i < 20; ++i) {
    int fd = zoltest::Connect(svc.mgr.ListeningPort());
    ASSERT_GE(fd, 0);
    if (i % 2 == 0) {
      ASSERT_TRUE(zoltest::SendAll(fd, logtest::ClientLine(0, i / 2)));
    }
    logtest::CloseServed(fd);
  }
  auto start = zoltest::Clock::now();
  svc.mgr.StopService();
  EXPECT_LT(zoltest::Clock::now() - start, 10s);
  logtest::ExpectEveryLineOnceInOrder(logtest::ReadLogSet(svc.file), 1, 10);
  ::close(idle);
}

TEST(LogClientMgr, StopIsBoundedWhileClientsNeverPause) {
  // No file can be opened here, so the flood costs no disk.
  zoltest::TempDir dir;
  zollogsvc::CLogClientMgr mgr;
  zollogsvc::LogServiceSettings s;
  s.fileName = (dir.Dir() / "missing" / "zol.log").string();
  s.tcpPort = 0;
  ASSERT_EQ(mgr.StartService(s), 0u);
  constexpr int kClients = 8;
  std::atomic<int> flooding{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      int fd = zoltest::Connect(mgr.ListeningPort());
      ASSERT_GE(fd, 0);
      const std::string burst = logtest::ClientLine(c, 0) + logtest::ClientLine(c, 1).substr(0, 50);
      ++flooding;
      while (zoltest::SendAll(fd, burst)) {
      }
      ::close(fd);
    });
  }
  ASSERT_TRUE(zoltest::WaitFor([&] { return flooding == kClients; }));
  const auto start = zoltest::Clock::now();
  mgr.StopService();
  // The drain bound is 3 s; the rest absorbs a busy machine.
  EXPECT_LT(zoltest::Clock::now() - start, 8s);
  for (auto& t : clients) t.join();
}

TEST(LogClientMgr, ListensOnTheLoopbackAddressOnly) {
  Service svc;
  int other = zoltest::Connect(svc.mgr.ListeningPort(), 0x7F000002u);  // 127.0.0.2, also this host
  EXPECT_LT(other, 0) << "a listener on every address would accept this";
  if (other >= 0) ::close(other);
  int fd = zoltest::Connect(svc.mgr.ListeningPort());
  EXPECT_GE(fd, 0);
  if (fd >= 0) ::close(fd);
  svc.mgr.StopService();
}

TEST(LogClientMgr, LongLineIsWrittenAsLinesOfAChunkEach) {
  Service svc;
  int a = zoltest::Connect(svc.mgr.ListeningPort());
  ASSERT_GE(a, 0);
  ASSERT_TRUE(zoltest::SendAll(a, std::string(10000, 'Q')));
  logtest::CloseServed(a);
  // Two pieces of 4094 bytes and the rest, each closed with CR LF.
  const std::string want = std::string(4094, 'Q') + "\r\n" + std::string(4094, 'Q') + "\r\n" +
                           std::string(10000 - 2 * 4094, 'Q') + "\r\n";
  EXPECT_TRUE(zoltest::WaitFor([&] { return zoltest::ReadText(svc.file).size() == want.size(); }));
  svc.mgr.StopService();
  EXPECT_EQ(zoltest::ReadText(svc.file), want);
}

}  // namespace
