// ZolLogSvc as a process ("console"), configured by the ZolConfig.xml beside
// its copy in a temporary folder.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <regex>
#include <thread>

#include "tests/support/TestSupport.h"
#include "tests/logservice/LogFiles.h"
#include "tests/logservice/LogServiceFixture.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using zoltest::Child;
using logtest::Keys;
using logtest::LogService;

using logtest::Lines;

TEST(LogServiceProcess, ManyClientsEveryLineOnceInOrderAcrossRotations) {
  LogService svc(Keys{{"File_Size", "256"}});
  constexpr int kClients = 24;
  constexpr int kLines = 2000;
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      int fd = zoltest::Connect(svc.port);
      ASSERT_GE(fd, 0);
      // Lines go out in uneven bursts, so chunks end in mid-line.
      for (int i = 0; i < kLines;) {
        int n = 1 + (i * 7 + c) % 37;
        std::string burst = Lines(c, i, std::min(kLines, i + n));
        size_t cut = burst.size() / 2 + 3;
        ASSERT_TRUE(zoltest::SendAll(fd, burst.substr(0, cut)));
        ASSERT_TRUE(zoltest::SendAll(fd, burst.substr(cut)));
        i += n;
      }
      logtest::CloseServed(fd);
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(svc.Stop());
  logtest::ExpectEveryLineOnceInOrder(logtest::ReadLogSet(svc.file), kClients, kLines);
  EXPECT_GE(logtest::LogSet(svc.file).size(), 2u);
}

TEST(LogServiceProcess, RealLogClientsInOtherProcesses) {
  LogService svc(Keys{{"Log_Level", "1"}});
  zoltest::TempDir clients;
  auto probe = zoltest::CopyProgram("zol_log_probe", clients.Dir());
  zoltest::WriteFile(clients.Dir() / "ZolConfig.xml",
                     zoltest::LoggingConfig({{"Log_Level", "1"}, {"TCP_Port", std::to_string(svc.port)}}));
  std::vector<std::unique_ptr<Child>> probes;
  for (int p = 0; p < 4; ++p) {
    probes.push_back(std::make_unique<Child>(probe, std::vector<std::string>{"count", "300", "probe" + std::to_string(p)},
                                             clients.Dir()));
  }
  for (auto& p : probes) ASSERT_TRUE(p->Wait());
  ASSERT_TRUE(svc.Stop());
  auto lines = zoltest::SplitLines(zoltest::ReadText(svc.file));
  ASSERT_EQ(lines.size(), 1200u);
  std::vector<int> next(4, 0);
  std::regex form(R"(^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3}\tP\[[0-9a-f]{4,}\]\tT\[[0-9a-f]{4,}\]\tZOL_SERVICE    \tLEVEL_ERROR   \tprobe(\d) line (\d{6})$)");
  for (auto& l : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, form)) << l;
    int p = std::stoi(m[1]);
    EXPECT_EQ(std::stoi(m[2]), next[static_cast<size_t>(p)]++);
  }
}

TEST(LogServiceProcess, FileSizeOneRotatesBeforeEveryChunkThatWouldPassIt) {
  LogService svc(Keys{{"File_Size", "1"}});
  const std::string big = std::string(1998, 'B') + "\r\n";
  const std::string small = std::string(98, 's') + "\r\n";
  auto send = [&](const std::string& text) {
    int fd = zoltest::Connect(svc.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(zoltest::SendAll(fd, text));
    logtest::CloseServed(fd);
  };
  auto sizeIs = [&](size_t n) {
    return zoltest::WaitFor([&] { return fs::exists(svc.file) && fs::file_size(svc.file) == n; });
  };
  send(small);
  ASSERT_TRUE(sizeIs(100));
  // 100 + 2000 passes 1024: the file is renamed and the chunk goes whole into a fresh one.
  send(big);
  ASSERT_TRUE(sizeIs(2000));
  auto set = logtest::LogSet(svc.file);
  ASSERT_EQ(set.size(), 2u);
  EXPECT_EQ(zoltest::ReadText(set[0]), small);
  EXPECT_TRUE(std::regex_match(set[0].filename().string(), std::regex(R"(zol\.log\.\d{4}(-\d\d){5})")));
  ASSERT_TRUE(svc.Stop());
  EXPECT_EQ(zoltest::ReadText(svc.file), big);
}

TEST(LogServiceProcess, RotationNeverReplacesAnExistingFile) {
  LogService svc(Keys{{"File_Size", "1"}});
  // Every name a rotation in the next seconds could take exists already, as
  // after a second rotation within one second.
  std::time_t now = std::time(nullptr);
  std::vector<fs::path> blockers;
  for (int s = -1; s < 30; ++s) {
    std::time_t t = now + s;
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H-%M-%S", std::localtime(&t));
    fs::path p = svc.file.string() + "." + stamp;
    zoltest::WriteFile(p, "blocker\n");
    blockers.push_back(p);
  }
  const std::string big = std::string(1998, 'R') + "\r\n";
  for (int i = 0; i < 3; ++i) {
    int fd = zoltest::Connect(svc.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(zoltest::SendAll(fd, big));
    logtest::CloseServed(fd);
  }
  // The renames fail and writing goes on in the current file.
  EXPECT_TRUE(zoltest::WaitFor([&] { return fs::exists(svc.file) && fs::file_size(svc.file) == 3 * big.size(); }));
  ASSERT_TRUE(svc.Stop());
  for (auto& b : blockers) EXPECT_EQ(zoltest::ReadText(b), "blocker\n") << b;
  EXPECT_EQ(zoltest::ReadText(svc.file), big + big + big);
}

TEST(LogServiceProcess, FileSizeZeroNeverRotates) {
  LogService svc(Keys{{"File_Size", "0"}});
  // More than the 10 MiB default limit.
  constexpr int kLines = 110000;
  int fd = zoltest::Connect(svc.port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(zoltest::SendAll(fd, Lines(0, 0, kLines)));
  logtest::CloseServed(fd);
  ASSERT_TRUE(svc.Stop());
  EXPECT_EQ(logtest::LogSet(svc.file).size(), 1u);
  logtest::ExpectEveryLineOnceInOrder(zoltest::ReadText(svc.file), 1, kLines);
}

TEST(LogServiceProcess, IdleClientAndCtrlCWithDataQueuedLoseNothing) {
  for (int sig : {SIGINT, SIGQUIT}) {
    LogService svc;
    int idle = zoltest::Connect(svc.port);
    ASSERT_GE(idle, 0);
    constexpr int kClients = 8;
    constexpr int kLines = 3000;
    std::vector<int> fds;
    for (int c = 0; c < kClients; ++c) {
      int fd = zoltest::Connect(svc.port);
      ASSERT_GE(fd, 0);
      ASSERT_TRUE(zoltest::SendAll(fd, Lines(c, 0, kLines)));
      fds.push_back(fd);  // still connected when the stop comes
    }
    ASSERT_TRUE(svc.Stop(sig)) << "signal " << sig;
    logtest::ExpectEveryLineOnceInOrder(zoltest::ReadText(svc.file), kClients, kLines);
    for (int fd : fds) ::close(fd);
    ::close(idle);
  }
}

TEST(LogServiceProcess, PortTakenIsSaidAndFailsTheStart) {
  zoltest::Listener other;
  for (bool serviceMode : {false, true}) {
    logtest::NotifySocket notify;
    LogService svc(Keys{{"TCP_Port", std::to_string(other.Port())}}, false,
                   serviceMode ? std::vector<std::string>{} : std::vector<std::string>{"console"}, {notify.Env()});
    ASSERT_TRUE(svc.child->Wait()) << "service mode " << serviceMode;
    EXPECT_TRUE(svc.child->Exited() && svc.child->ExitCode() != 0) << "service mode " << serviceMode;
    EXPECT_NE(svc.child->Err().find("[ZOL]: Log Service cannot listen on TCP port " + std::to_string(other.Port())),
              std::string::npos)
        << svc.child->Err();
    EXPECT_EQ(notify.Received().find("READY=1"), std::string::npos) << notify.Received();
  }
}

TEST(LogServiceProcess, ReadyOnlyOnceTheFileIsOpen) {
  zoltest::TempDir later;
  const fs::path file = later.Dir() / "made-later" / "zol.log";
  logtest::NotifySocket notify;
  LogService svc(Keys{{"File_Name", file.string()}}, true, {}, {notify.Env()});
  const std::string said = "[ZOL]: Log Service cannot open the log file " + file.string();
  ASSERT_TRUE(zoltest::WaitFor([&] { return svc.child->Err().find(said) != std::string::npos; })) << svc.child->Err();
  EXPECT_EQ(notify.Received().find("READY=1"), std::string::npos) << "listening, but no file yet";
  // The open is tried again; once it succeeds the service is ready and writes.
  fs::create_directories(file.parent_path());
  EXPECT_TRUE(zoltest::WaitFor([&] { return notify.Received().find("READY=1") != std::string::npos; }));
  int fd = zoltest::Connect(svc.port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(zoltest::SendAll(fd, Lines(0, 0, 20)));
  logtest::CloseServed(fd);
  ASSERT_TRUE(svc.Stop(SIGTERM));
  logtest::ExpectEveryLineOnceInOrder(zoltest::ReadText(file), 1, 20);
  EXPECT_EQ(zoltest::Count(svc.child->Err(), said), 1u) << "said once";
}

TEST(LogServiceProcess, UnwritableLogFolderDropsDataAndKeepsRunning) {
  zoltest::TempDir scratch;
  fs::path notADir = scratch.Dir() / "plainfile";
  zoltest::WriteFile(notADir, "x");
  LogService svc(Keys{{"File_Name", (notADir / "zol.log").string()}});
  for (int i = 0; i < 3; ++i) {
    int fd = zoltest::Connect(svc.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(zoltest::SendAll(fd, Lines(i, 0, 50)));
    logtest::CloseServed(fd);
  }
  EXPECT_FALSE(svc.child->Wait(200ms));
  ASSERT_TRUE(svc.Stop());
  EXPECT_EQ(zoltest::ReadText(notADir), "x");
  EXPECT_EQ(zoltest::Count(svc.child->Err(), "[ZOL]: Log Service cannot open the log file"), 1u) << svc.child->Err();
}

TEST(LogServiceProcess, DebugOutputNamesTheDocumentAndThePort) {
  LogService svc;
  ASSERT_TRUE(svc.Stop()) << svc.child->Err() << "signalled=" << svc.child->Signalled() << " code=" << svc.child->ExitCode();
  std::string err = svc.child->Err();
  EXPECT_NE(err.find("[ZOL]: Log Service XML File Path = " + (svc.dir.Dir() / "ZolConfig.xml").string()), std::string::npos)
      << err;
  EXPECT_NE(err.find("[ZOL]: Log Service TCP Port = " + std::to_string(svc.port)), std::string::npos) << err;
  EXPECT_EQ(svc.child->Out(), "") << "the service writes no lines of its own";
}

TEST(LogServiceProcess, AcceptingGoesOnAfterRunningOutOfDescriptors) {
  constexpr bool kUnderSanitizer = ZOL_UNDER_SANITIZER;
  if (kUnderSanitizer) GTEST_SKIP() << "the sanitizer runtime itself fails without descriptors";
  LogService svc(Keys{}, true, {"console"}, {}, 24);
  // Far more connections than descriptors: accepts fail for a while.
  std::vector<int> fds;
  for (int i = 0; i < 60; ++i) {
    int fd = zoltest::Connect(svc.port);
    if (fd >= 0) fds.push_back(fd);
  }
  for (int fd : fds) ::close(fd);
  // Once descriptors are free again, a new client is served.
  bool served = zoltest::WaitFor([&] {
    int fd = zoltest::Connect(svc.port);
    if (fd < 0) return false;
    zoltest::SendAll(fd, logtest::ClientLine(0, 0));
    logtest::CloseServed(fd);
    return zoltest::WaitFor([&] { return zoltest::ReadText(svc.file).find(logtest::ClientLine(0, 0)) != std::string::npos; },
                            500ms);
  });
  EXPECT_TRUE(served) << svc.child->Err();
  ASSERT_TRUE(svc.Stop()) << svc.child->Err() << "signalled=" << svc.child->Signalled() << " code=" << svc.child->ExitCode();
}

TEST(LogServiceProcess, ServiceModeReportsToTheNotifySocketAndStopsOnSigterm) {
  logtest::NotifySocket notify;
  LogService svc(Keys{}, true, {}, {notify.Env()});
  // The listener takes connections a moment before the service reports ready.
  ASSERT_TRUE(zoltest::WaitFor([&] { return notify.Received().find("READY=1") != std::string::npos; }))
      << notify.Received();
  int fd = zoltest::Connect(svc.port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(zoltest::SendAll(fd, Lines(0, 0, 500)));
  ASSERT_TRUE(svc.Stop(SIGTERM));
  const std::string all = notify.Received();
  EXPECT_EQ(all, "STATUS=Starting|READY=1\nSTATUS=Running|STOPPING=1\nSTATUS=Stopping|STOPPING=1\nSTATUS=Stopping|"
            "STOPPING=1\nSTATUS=Stopping|STATUS=Stopped|");
  logtest::ExpectEveryLineOnceInOrder(zoltest::ReadText(svc.file), 1, 500);
  ::close(fd);
}

}  // namespace
