// ZolLogSvc against hostile and unlucky clients, signals, limits and names.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <regex>
#include <thread>

#include "tests/logservice/LogFiles.h"
#include "tests/logservice/LogServiceFixture.h"
#include "tests/support/OtherUser.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using logtest::Keys;
using logtest::LogService;

using logtest::Lines;

bool FileHas(const fs::path& file, const std::string& text) {
  return zoltest::ReadText(file).find(text) != std::string::npos;
}

TEST(LogServiceHostile, LineCutByACloseOrResetIsALineOfItsOwn) {
  for (bool reset : {false, true}) {
    LogService svc;
    int a = zoltest::Connect(svc.port);
    ASSERT_GE(a, 0);
    // Once its first line is in, the service has taken the connection on.
    ASSERT_TRUE(zoltest::SendAll(a, "A first line\r\n"));
    ASSERT_TRUE(zoltest::WaitFor([&] { return FileHas(svc.file, "A first line\r\n"); }));
    ASSERT_TRUE(zoltest::SendAll(a, "HALF a line without its end"));
    if (reset) {
      linger hard{1, 0};
      ::setsockopt(a, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ::close(a);
    ASSERT_TRUE(zoltest::WaitFor([&] { return FileHas(svc.file, "HALF a line without its end\r\n"); })) << reset;
    int b = zoltest::Connect(svc.port);
    ASSERT_GE(b, 0);
    ASSERT_TRUE(zoltest::SendAll(b, "GOOD A 00000 end\r\n"));
    logtest::CloseServed(b);
    ASSERT_TRUE(svc.Stop());
    EXPECT_EQ(zoltest::ReadText(svc.file), "A first line\r\nHALF a line without its end\r\nGOOD A 00000 end\r\n")
        << "reset " << reset;
  }
}

TEST(LogServiceHostile, TenMegabyteLineNeverBreaksAnotherClientsLines) {
  LogService svc(Keys{{"File_Size", "0"}});
  constexpr std::size_t kBig = 10 * 1000 * 1000;
  constexpr int kLines = 3000;
  std::thread big([&] {
    int fd = zoltest::Connect(svc.port);
    ASSERT_GE(fd, 0);
    const std::string z(64 * 1024, 'Z');
    for (std::size_t sent = 0; sent < kBig; sent += z.size()) {
      ASSERT_TRUE(zoltest::SendAll(fd, z.substr(0, std::min(z.size(), kBig - sent))));
    }
    ASSERT_TRUE(zoltest::SendAll(fd, "\r\n"));
    logtest::CloseServed(fd);
  });
  int fd = zoltest::Connect(svc.port);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < kLines; i += 10) ASSERT_TRUE(zoltest::SendAll(fd, Lines(0, i, i + 10)));
  logtest::CloseServed(fd);
  big.join();
  ASSERT_TRUE(svc.Stop());
  // The long line arrives as lines of Z alone, each at most a chunk; the
  // other client's lines are whole and in order between them.
  std::string others;
  std::size_t zs = 0;
  for (const std::string& line : zoltest::SplitLines(zoltest::ReadText(svc.file))) {
    if (!line.empty() && line[0] == 'Z') {
      EXPECT_EQ(line.find_first_not_of('Z'), std::string::npos);
      EXPECT_LE(line.size() + 2, 4096u);
      zs += line.size();
    } else {
      others += line + "\r\n";
    }
  }
  EXPECT_EQ(zs, kBig);
  logtest::ExpectEveryLineOnceInOrder(others, 1, kLines);
}

// Checks a file where every client's lines are whole and in order, except
// that each client's last line may be cut short (and closed): n counts them.
void ExpectWholeOrClosedAtTheEnd(const std::vector<std::string>& lines, int clients, std::size_t& n) {
  std::vector<int> next(static_cast<size_t>(clients), 0);
  std::vector<bool> cut(static_cast<size_t>(clients), false);
  n = 0;
  for (const std::string& line : lines) {
    int c = -1, i = -1;
    if (std::sscanf(line.c_str(), "client %d line %d ", &c, &i) != 2) {
      // Cut within its head: whose it was cannot be told.
      EXPECT_TRUE(line.size() < 23 && logtest::ClientLine(0, 0).compare(0, std::min<size_t>(line.size(), 7), line, 0,
                                                                      std::min<size_t>(line.size(), 7)) == 0)
          << line;
      ++n;
      continue;
    }
    ASSERT_TRUE(c >= 0 && c < clients) << line;
    // A cut can fall within the number, so the line is matched against the
    // client's next one rather than by the number it shows.
    const std::string expected = logtest::ClientLine(c, next[static_cast<size_t>(c)]).substr(0, 98);
    EXPECT_FALSE(cut[static_cast<size_t>(c)]) << "a line after the cut one: " << line;
    if (line == expected) {
      ++next[static_cast<size_t>(c)];
    } else {
      EXPECT_EQ(expected.compare(0, line.size(), line), 0) << "neither the next line nor its start: " << line;
      cut[static_cast<size_t>(c)] = true;
    }
    ++n;
  }
}

TEST(LogServiceHostile, StopWithSixtyFourSendingClientsIsBoundedAndClosesCutLines) {
  constexpr int kClients = 64;
  zoltest::TempDir keep;
  const fs::path file = keep.Dir() / "zol.log";
  {
    LogService svc(Keys{{"File_Name", file.string()}, {"File_Size", "0"}});
    std::atomic<int> connected{0};
    std::vector<std::thread> senders;
    for (int c = 0; c < kClients; ++c) {
      senders.emplace_back([&, c] {
        int fd = zoltest::Connect(svc.port);
        if (fd < 0) return;
        ++connected;
        // Bursts that end in mid-line, paced to keep the file small but
        // never quiet for as long as the drain waits for a quiet client.
        for (int i = 0;; i += 7) {
          std::string burst = Lines(c, i, i + 7);
          if (!zoltest::SendAll(fd, burst.substr(0, 350)) || !zoltest::SendAll(fd, burst.substr(350))) break;
          std::this_thread::sleep_for(2ms);
        }
        ::close(fd);
      });
    }
    ASSERT_TRUE(zoltest::WaitFor([&] { return connected == kClients && fs::exists(file) && fs::file_size(file) > 200000; }));
    const auto start = zoltest::Clock::now();
    svc.child->Signal(SIGINT);
    ASSERT_TRUE(svc.child->Wait(30s));
    // The drain bound is 3 s; the rest absorbs a busy machine.
    EXPECT_LT(zoltest::Clock::now() - start, 8s);
    EXPECT_TRUE(svc.child->Exited() && svc.child->ExitCode() == 0);
    for (auto& t : senders) t.join();
  }
  // The next start's first line stands alone.
  LogService again(Keys{{"File_Name", file.string()}, {"File_Size", "0"}});
  int fd = zoltest::Connect(again.port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(zoltest::SendAll(fd, logtest::ClientLine(kClients, 0)));
  logtest::CloseServed(fd);
  ASSERT_TRUE(again.Stop());
  const std::string content = zoltest::ReadText(file);
  ASSERT_GE(content.size(), 2u);
  EXPECT_EQ(content.substr(content.size() - 2), "\r\n");
  std::size_t n = 0;
  ExpectWholeOrClosedAtTheEnd(zoltest::SplitLines(content), kClients + 1, n);
  EXPECT_GT(n, 2000u);
}

TEST(LogServiceHostile, SighupAfterTheFileWasMovedReopensItAndLosesNothing) {
  LogService svc;
  constexpr int kLines = 20000;
  std::atomic<int> sent{0};
  std::thread sender([&] {
    int fd = zoltest::Connect(svc.port);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < kLines; i += 10) {
      ASSERT_TRUE(zoltest::SendAll(fd, Lines(0, i, i + 10)));
      sent = i + 10;
      // Half the lines before the move, half after the new file appeared.
      if (i + 10 == kLines / 2) {
        ASSERT_TRUE(zoltest::WaitFor([&] { return fs::exists(svc.file.string() + ".moved") && fs::exists(svc.file); }));
      }
    }
    logtest::CloseServed(fd);
  });
  ASSERT_TRUE(zoltest::WaitFor([&] { return fs::exists(svc.file) && fs::file_size(svc.file) > 0; }));
  fs::rename(svc.file, svc.file.string() + ".moved");
  svc.child->Signal(SIGHUP);
  EXPECT_TRUE(zoltest::WaitFor([&] { return fs::exists(svc.file); })) << "reopened by name";
  sender.join();
  ASSERT_TRUE(svc.Stop()) << "SIGHUP does not end the service";
  const std::string moved = zoltest::ReadText(svc.file.string() + ".moved");
  const std::string now = zoltest::ReadText(svc.file);
  EXPECT_FALSE(moved.empty());
  EXPECT_FALSE(now.empty());
  logtest::ExpectEveryLineOnceInOrder(moved + now, 1, kLines);
}

TEST(LogServiceHostile, ThousandIdleConnectionsUnderASoftLimitOf1024) {
  rlimit own{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
  if (own.rlim_max < 4096) GTEST_SKIP() << "the test itself needs 1000 descriptors and more";
  own.rlim_cur = own.rlim_max;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);
  struct Case {
    const char* name;
    int fdLimit;                       // soft and hard, through the child setup
    std::vector<std::string> wrapper;  // or a soft limit below the hard one
    const char* softAfterStart;
  };
  const std::vector<Case> cases = {
      {"soft = hard = 1024: a client costs its socket alone", 1024, {}, "1024"},
      {"soft 1024 under hard 4096: raised to 4096", 0, {"/usr/bin/prlimit", "--nofile=1024:4096"}, "4096"},
  };
  for (const Case& c : cases) {
    LogService svc(Keys{}, true, {"console"}, {}, c.fdLimit, c.wrapper);
    const std::string limits = zoltest::ReadText("/proc/" + std::to_string(svc.child->Pid()) + "/limits");
    std::smatch soft;
    ASSERT_TRUE(std::regex_search(limits, soft, std::regex(R"(Max open files +(\d+))"))) << limits;
    EXPECT_EQ(soft[1].str(), c.softAfterStart) << c.name;
    std::vector<int> idle;
    for (int i = 0; i < 1000; ++i) {
      int fd = zoltest::Connect(svc.port);
      ASSERT_GE(fd, 0) << c.name << " connection " << i;
      idle.push_back(fd);
    }
    // Once the service holds them all, a real client's lines all arrive.
    const fs::path fds = "/proc/" + std::to_string(svc.child->Pid()) + "/fd";
    EXPECT_TRUE(zoltest::WaitFor([&] {
      std::size_t sockets = 0;
      std::error_code ec;
      for (auto& e : fs::directory_iterator(fds, ec)) sockets += fs::read_symlink(e.path(), ec).string().rfind("socket:", 0) == 0;
      return sockets >= 1001;  // the listener too
    })) << c.name;
    zoltest::TempDir probeDir;
    auto probe = zoltest::CopyProgram("zol_log_probe", probeDir.Dir());
    zoltest::WriteFile(probeDir.Dir() / "ZolConfig.xml",
                       zoltest::LoggingConfig({{"Log_Level", "1"}, {"TCP_Port", std::to_string(svc.port)}}));
    zoltest::Child p(probe, {"count", "100", "late"}, probeDir.Dir());
    ASSERT_TRUE(p.Wait());
    EXPECT_TRUE(zoltest::WaitFor([&] { return zoltest::Count(zoltest::ReadText(svc.file), "\tlate line ") == 100; }))
        << c.name << ": " << zoltest::Count(zoltest::ReadText(svc.file), "\tlate line ") << " of 100";
    for (int fd : idle) ::close(fd);
    ASSERT_TRUE(svc.Stop()) << c.name;
  }
}

TEST(LogServiceHostile, FileSizeLimitFailsTheWriteNotTheService) {
  LogService svc;
  rlimit small{4096, RLIM_INFINITY};  // the soft limit only: raising it again needs no privilege
  ASSERT_EQ(::prlimit(svc.child->Pid(), RLIMIT_FSIZE, &small, nullptr), 0);
  int fd = zoltest::Connect(svc.port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(zoltest::SendAll(fd, Lines(0, 0, 100)));
  EXPECT_TRUE(zoltest::WaitFor([&] { return svc.child->Err().find("cannot write the log file") != std::string::npos; }))
      << svc.child->Err();
  EXPECT_TRUE(svc.child->Wait(0ms) == false) << "SIGXFSZ ended the service";
  // Goes on: once the limit is lifted the next lines are written.
  rlimit none{RLIM_INFINITY, RLIM_INFINITY};
  ASSERT_EQ(::prlimit(svc.child->Pid(), RLIMIT_FSIZE, &none, nullptr), 0);
  ASSERT_TRUE(zoltest::SendAll(fd, Lines(1, 0, 10)));
  EXPECT_TRUE(zoltest::WaitFor([&] { return FileHas(svc.file, logtest::ClientLine(1, 9)); }));
  logtest::CloseServed(fd);
  ASSERT_TRUE(svc.Stop());
  // What did not fit is lost whole: every line in the file is whole, each
  // client's in order. Client 0's lines that reached the service after the
  // limit was lifted are written too, after a gap; client 1's are all there.
  const std::string content = zoltest::ReadText(svc.file);
  int next[2] = {0, 0};
  int ones = 0;
  for (std::size_t at = 0; at < content.size(); at += 100) {
    int c = -1, n = -1;
    ASSERT_EQ(std::sscanf(content.substr(at, 24).c_str(), "client %d line %d", &c, &n), 2) << content.substr(at, 100);
    ASSERT_TRUE(c == 0 || c == 1);
    EXPECT_EQ(content.compare(at, 100, logtest::ClientLine(c, n)), 0) << content.substr(at, 100);
    EXPECT_GE(n, next[c]) << "client " << c << " out of order";
    next[c] = n + 1;
    ones += c == 1;
  }
  EXPECT_EQ(ones, 10);
  EXPECT_EQ(next[1], 10);
}

TEST(LogServiceHostile, FileSizeLimitKeepsEveryWholeLineThatFits) {
  struct Case {
    rlim_t limit;
    int burst;  // lines of 100 bytes, sent at once
  };
  for (const Case& c : {Case{20000, 368}, Case{4050, 100}}) {
    LogService svc;
    rlimit small{c.limit, RLIM_INFINITY};
    ASSERT_EQ(::prlimit(svc.child->Pid(), RLIMIT_FSIZE, &small, nullptr), 0);
    int fd = zoltest::Connect(svc.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(zoltest::SendAll(fd, Lines(0, 0, c.burst)));
    EXPECT_TRUE(zoltest::WaitFor([&] { return svc.child->Err().find("cannot write the log file") != std::string::npos; }))
        << c.limit;
    logtest::CloseServed(fd);
    ASSERT_TRUE(svc.Stop()) << c.limit;
    // Every line that fits, whole and in order; nothing of the rest.
    EXPECT_EQ(zoltest::ReadText(svc.file), Lines(0, 0, static_cast<int>(c.limit / 100))) << c.limit;
  }
}

TEST(LogServiceHostile, FileNameThatIsNotARegularFileIsRefusedWithoutWaiting) {
  zoltest::TempDir dir;
  const fs::path fifo = dir.Dir() / "zol.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const fs::path& name : {fifo, dir.Dir()}) {
    LogService svc(Keys{{"File_Name", name.string()}});
    EXPECT_TRUE(zoltest::WaitFor([&] { return svc.child->Err().find("cannot open the log file") != std::string::npos; }))
        << name << ": " << svc.child->Err();
    ASSERT_TRUE(svc.Stop()) << name;
  }
}

// Another user plants a link or a file of theirs where the log file goes: the
// service (root here) follows no link at the file's place, and keeps out of a
// folder others may write unless it is sticky and the file is its own; it says
// why once, and keeps running.
TEST(LogServiceHostile, LogFileFollowsNoLinkAndShunsAFolderOthersWrite) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  enum class Plant { Nothing, LinkToRootsFile, LinkToNewFile, FileOfTheirs };
  const struct {
    const char* name;
    mode_t mode;
    uid_t owner;
    Plant plant;
    const char* why;  // empty: the file is written
  } cases[] = {
      {"world-writable", 0777, 0, Plant::Nothing, "others may write to its folder"},
      {"world-writable, link", 0777, 0, Plant::LinkToRootsFile, "others may write to its folder"},
      {"group-writable", 0775, 0, Plant::Nothing, "others may write to its folder"},
      {"another user's", 0755, zoltest::kNobody, Plant::Nothing, "others may write to its folder"},
      {"sticky, link", 01777, 0, Plant::LinkToRootsFile, "it is a symbolic link"},
      {"sticky, their file", 01777, 0, Plant::FileOfTheirs, "and the file is not the service's own"},
      {"sticky", 01777, 0, Plant::Nothing, ""},
      {"own, link to a new file", 0755, 0, Plant::LinkToNewFile, "it is a symbolic link"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zoltest::TempDir top;
    ASSERT_EQ(::chmod(top.Path().c_str(), 0755), 0);
    const fs::path folder = top.Dir() / "log";
    const fs::path file = folder / "zol.log";
    const fs::path rootsFile = top.Dir() / "roots-own";
    const fs::path newFile = top.Dir() / "made-here";
    zoltest::WriteFile(rootsFile, "root's own\n");
    fs::create_directories(folder);
    ASSERT_EQ(::chown(folder.c_str(), c.owner, c.owner == 0 ? 0 : c.owner), 0);
    ASSERT_EQ(::chmod(folder.c_str(), c.mode), 0);
    // The other user plants what it can; in a folder only root writes, root
    // places the link.
    const auto plant = [&] {
      switch (c.plant) {
        case Plant::Nothing: return 0;
        case Plant::LinkToRootsFile: return ::symlink(rootsFile.c_str(), file.c_str()) == 0 ? 0 : errno;
        case Plant::LinkToNewFile: return ::symlink(newFile.c_str(), file.c_str()) == 0 ? 0 : errno;
        case Plant::FileOfTheirs: return ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666) >= 0 ? 0 : errno;
      }
      return -1;
    };
    ASSERT_EQ((c.mode & S_IWOTH) != 0 ? zoltest::RunAsOtherUser(plant) : plant(), 0);
    LogService svc(Keys{{"File_Name", file.string()}});
    for (int i = 0; i < 3; ++i) {
      int fd = zoltest::Connect(svc.port);
      ASSERT_GE(fd, 0);
      ASSERT_TRUE(zoltest::SendAll(fd, Lines(i, 0, 5)));
      logtest::CloseServed(fd);
    }
    if (*c.why == '\0') {
      EXPECT_TRUE(zoltest::WaitFor([&] { return FileHas(file, logtest::ClientLine(2, 4)); })) << svc.child->Err();
    }
    ASSERT_TRUE(svc.Stop()) << svc.child->Err();
    EXPECT_EQ(zoltest::ReadText(rootsFile), "root's own\n");
    EXPECT_FALSE(fs::exists(newFile));
    const std::string why = "[ZOL]: Log Service refuses the log file " + file.string() + ": ";
    if (*c.why == '\0') {
      EXPECT_EQ(svc.child->Err().find(why), std::string::npos) << svc.child->Err();
      continue;
    }
    EXPECT_EQ(zoltest::Count(svc.child->Err(), why), 1u) << svc.child->Err();
    EXPECT_NE(svc.child->Err().find(c.why), std::string::npos) << svc.child->Err();
    struct stat st {};
    if (c.plant == Plant::Nothing) {
      EXPECT_FALSE(fs::exists(file));
    } else if (c.plant == Plant::FileOfTheirs) {
      EXPECT_TRUE(::stat(file.c_str(), &st) == 0 && st.st_size == 0);
    }
  }
}

TEST(LogServiceHostile, NonAsciiPathsNameTheirFilesAndLines) {
  zoltest::TempDir dir;
  const fs::path folder = dir.Dir() / "caf\xc3\xa9";
  fs::create_directories(folder);
  const fs::path file = folder / "zol\xc3\xa9.log";
  LogService svc(Keys{{"File_Name", file.string()}, {"Log_Level", "1"}});
  // The probe runs from that folder and logs its own path as wide text.
  auto probe = zoltest::CopyProgram("zol_log_probe", folder.string());
  zoltest::WriteFile(folder / "ZolConfig.xml",
                     zoltest::LoggingConfig({{"Log_Level", "1"}, {"TCP_Port", std::to_string(svc.port)}}));
  zoltest::Child p(probe, {"path"}, folder);
  ASSERT_TRUE(p.Wait());
  // Each wide unit narrowed to its low byte: U+00E9 is the byte 0xE9.
  const std::string narrowed = (dir.Dir() / "caf\xe9" / "zol_log_probe").string();
  EXPECT_TRUE(zoltest::WaitFor([&] { return FileHas(file, "\tProbe path = " + narrowed + "\r\n"); }))
      << zoltest::ReadText(file);
  ASSERT_TRUE(svc.Stop());
  struct stat st{};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(LogServiceHostile, LinesOfAnotherUserAreRefused) {
  struct Case {
    uid_t uid;
    bool written;
  };
  for (const Case& c : {Case{0, true}, Case{zoltest::kNobody, false}}) {
    LogService svc;
    const std::string line = logtest::ClientLine(static_cast<int>(c.uid % 1000), 1);
    const int rc = zoltest::RunAsUser(c.uid, [&] {
      int fd = zoltest::Connect(svc.port);
      if (fd < 0 || !zoltest::SendAll(fd, line)) return 1;
      logtest::CloseServed(fd);
      return 0;
    });
    ASSERT_EQ(rc, 0) << c.uid;
    // A line of the test's own user after it: once that is in, the other
    // was either written or refused.
    int fd = zoltest::Connect(svc.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(zoltest::SendAll(fd, logtest::ClientLine(999, 2)));
    logtest::CloseServed(fd);
    ASSERT_TRUE(zoltest::WaitFor([&] { return FileHas(svc.file, logtest::ClientLine(999, 2)); }));
    ASSERT_TRUE(svc.Stop());
    EXPECT_EQ(FileHas(svc.file, line), c.written) << "uid " << c.uid;
  }
}

}  // namespace
