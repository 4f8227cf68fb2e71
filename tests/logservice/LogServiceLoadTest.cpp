// ZolLogSvc's own clients under load and under another user's flood: they
// reach it on its local socket, which loses nothing of a client that closes
// at once and which no other user can reach; other users' TCP connections
// are refused and counted.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <thread>

#include "common/log/LogClient.h"
#include "tests/logservice/LogFiles.h"
#include "tests/logservice/LogServiceFixture.h"
#include "tests/support/OtherUser.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using logtest::Keys;
using logtest::LogService;

// The service's local socket, by the layout under its ZOL_SYSROOT.
fs::path LocalSocket(const LogService& svc) {
  return svc.dir.Dir() / "run" / "zol" / "log" / (std::to_string(svc.port) + ".sock");
}

// Processes that keep one core busy until they are killed (or a bound of a
// minute passes). Started before the test starts threads of its own.
class BusyCore {
 public:
  BusyCore(int processes, int cpu) {
    for (int i = 0; i < processes; ++i) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        ::sched_setaffinity(0, sizeof set, &set);
        const auto end = zoltest::Clock::now() + 60s;
        while (zoltest::Clock::now() < end) {
        }
        ::_exit(0);
      }
      if (pid > 0) m_pids.push_back(pid);
    }
  }
  ~BusyCore() {
    for (pid_t pid : m_pids) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  std::size_t Count() const { return m_pids.size(); }

 private:
  std::vector<pid_t> m_pids;
};

// The test process finds the service's local socket as the clients do.
class SysrootEnv {
 public:
  explicit SysrootEnv(const fs::path& root) { ::setenv("ZOL_SYSROOT", root.c_str(), 1); }
  ~SysrootEnv() { ::unsetenv("ZOL_SYSROOT"); }
};

TEST(LogServiceLoad, ShortLivedClientsOnACoreWithBusyProcessesLoseNoLine) {
  constexpr int kClients = 64;
  constexpr int kRounds = 5;
  constexpr int kLinesPerRound = 300;
  // The service and three busy processes share core 0.
  LogService svc(Keys{{"File_Size", "0"}}, true, {"console"}, {}, 0, {"/usr/bin/taskset", "-c", "0"});
  ASSERT_TRUE(zoltest::WaitFor([&] { return fs::exists(LocalSocket(svc)); })) << svc.child->Err();
  BusyCore busy(3, 0);
  ASSERT_EQ(busy.Count(), 3u);
  SysrootEnv env(svc.dir.Dir());
  std::atomic<int> failures{0};
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([&, c, round] {
        // The real client's connection: it prefers the local socket.
        zollog::LogConnection connection(svc.port);
        if (connection.Connect() != 0) {
          ++failures;
          return;
        }
        // Each connection is a stream of its own: the service keeps a
        // connection's order, not that of connections read side by side.
        const std::string all = logtest::Lines(round * kClients + c, 0, kLinesPerRound);
        for (std::size_t at = 0; at < all.size(); at += 600) {
          const std::string piece = all.substr(at, 600);
          if (connection.Send(piece) != static_cast<int>(piece.size())) {
            ++failures;
            return;
          }
        }
        // Closed at once by the destructor, as a process that logs and ends.
      });
    }
    for (auto& t : clients) t.join();
  }
  ASSERT_EQ(failures.load(), 0);
  const std::uintmax_t want = std::uintmax_t{kClients} * kRounds * kLinesPerRound * 100;
  EXPECT_TRUE(zoltest::WaitFor([&] { return fs::exists(svc.file) && fs::file_size(svc.file) >= want; }, 60s))
      << (fs::exists(svc.file) ? fs::file_size(svc.file) : 0) << " of " << want << " bytes";
  ASSERT_TRUE(svc.Stop());
  logtest::ExpectEveryLineOnceInOrder(zoltest::ReadText(svc.file), kClients * kRounds, kLinesPerRound);
}

// What a foreign user's process reports in its exit code.
enum ForeignResult { kNothingReached = 0, kReachedLocalSocket = 2, kTcpFailed = 3 };

// Connects to the local socket (must fail) and then over TCP: sends a line
// and closes, as often as it can until the end.
int ForeignFlood(const LogService& svc, zoltest::Clock::time_point end, int tag) {
  sys::Socket local = sys::Socket::ConnectLocal(LocalSocket(svc).string(), 1000);
  if (local.IsValid()) return kReachedLocalSocket;
  int made = 0;
  int n = 0;
  do {
    const int fd = zoltest::Connect(svc.port);
    if (fd < 0) continue;  // the backlog is full: that is the flood's aim
    ++made;
    zoltest::SendAll(fd, logtest::ClientLine(900 + tag, n++));
    ::close(fd);
  } while (zoltest::Clock::now() < end);
  return made > 0 ? kNothingReached : kTcpFailed;
}

TEST(LogServiceLoad, ForeignUsersFloodNeitherReachesTheFileNorCrowdsOutTheSystemsLines) {
  struct Case {
    const char* name;
    int flooders;
    std::chrono::seconds flood;
  };
  // One connection: refused, counted and said once. A flood by two
  // processes while a service-like client and one-line clients log.
  for (const Case& c : {Case{"one foreign connection", 1, 0s}, Case{"a flood by two processes", 2, 3s}}) {
    LogService svc(Keys{{"Log_Level", "1"}});
    ASSERT_TRUE(zoltest::WaitFor([&] { return fs::exists(LocalSocket(svc)); })) << svc.child->Err();
    // Nothing on the way but the socket's own folder and mode keeps the
    // foreign user out.
    for (const fs::path& p : {svc.dir.Dir(), svc.dir.Dir() / "run", svc.dir.Dir() / "run" / "zol"}) {
      ASSERT_EQ(::chmod(p.c_str(), 0755), 0) << p;
    }
    struct stat folder{}, socket{};
    ASSERT_EQ(::stat(LocalSocket(svc).parent_path().c_str(), &folder), 0);
    ASSERT_EQ(::stat(LocalSocket(svc).c_str(), &socket), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0750u) << c.name;
    EXPECT_EQ(socket.st_mode & 0777, 0660u) << c.name;

    zoltest::TempDir clients;
    const std::string probe = zoltest::CopyProgram("zol_log_probe", clients.Dir());
    zoltest::WriteFile(clients.Dir() / "ZolConfig.xml",
                       zoltest::LoggingConfig({{"Log_Level", "1"}, {"TCP_Port", std::to_string(svc.port)}}));
    const std::vector<std::string> env = {"ZOL_SYSROOT=" + svc.dir.Dir().string()};

    const auto end = zoltest::Clock::now() + c.flood;
    std::vector<pid_t> flooders;
    for (int f = 0; f < c.flooders; ++f) {
      flooders.push_back(zoltest::StartAsUser(zoltest::kNobody, [&, f] { return ForeignFlood(svc, end, f); }));
    }
    // While the flood runs: a lasting client of 200 lines and 50 clients
    // of one line each.
    {
      zoltest::Child lasting(probe, {"count", "200", "service"}, clients.Dir(), env);
      std::vector<std::unique_ptr<zoltest::Child>> single;
      for (int i = 0; i < 50; ++i) {
        single.push_back(std::make_unique<zoltest::Child>(probe, std::vector<std::string>{"count", "1", "single" + std::to_string(i)},
                                                          clients.Dir(), env));
      }
      ASSERT_TRUE(lasting.Wait()) << c.name;
      for (auto& s : single) ASSERT_TRUE(s->Wait()) << c.name;
    }
    for (pid_t pid : flooders) EXPECT_EQ(zoltest::WaitUserChild(pid, 30000), kNothingReached) << c.name;

    const auto written = [&] {
      const std::string text = zoltest::ReadText(svc.file);
      std::size_t singles = 0;
      for (int i = 0; i < 50; ++i) singles += zoltest::Count(text, "\tsingle" + std::to_string(i) + " line 000000\r\n");
      return std::make_pair(zoltest::Count(text, "\tservice line "), singles);
    };
    EXPECT_TRUE(zoltest::WaitFor([&] { return written() == std::make_pair<std::size_t, std::size_t>(200, 50); }))
        << c.name << ": " << written().first << " of 200, " << written().second << " of 50";
    ASSERT_TRUE(svc.Stop()) << c.name;
    const std::string text = zoltest::ReadText(svc.file);
    EXPECT_EQ(text.find("client 90"), std::string::npos) << c.name << ": a foreign line was written";
    const std::string err = svc.child->Err();
    EXPECT_EQ(zoltest::Count(err, "refused a connection of another user"), 1u) << c.name << ": " << err;
    std::smatch count;
    ASSERT_TRUE(std::regex_search(err, count, std::regex(R"(Log Service refused (\d+) connection\(s\) of other users)")))
        << c.name << ": " << err;
    EXPECT_GE(std::stoul(count[1].str()), static_cast<unsigned long>(c.flooders)) << c.name;
  }
}

}  // namespace
