// The log client in a real process, configured by the ZolConfig.xml beside
// its executable, sending to a listener of the test.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

#include "platform/Error.h"
#include "platform/WinTypes.h"
#include "tests/support/OtherUser.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using zoltest::Listener;
namespace fs = std::filesystem;

struct ProbeRun {
  std::vector<std::string> lines;  // as received, without CR LF
  std::string raw;
  std::string pidTid;              // "P[....]\tT[....]"
  std::string err;
  bool connected = false;
};

// Runs the probe with a document of keys (none when keys is empty) beside it.
ProbeRun RunProbe(const std::string& scenario, std::vector<std::pair<std::string, std::string>> keys,
                  bool withDocument = true) {
  zoltest::TempDir dir;
  Listener listener;
  for (auto& [k, v] : keys) {
    if (v == "$PORT") v = std::to_string(listener.Port());
  }
  auto exe = zoltest::CopyProgram("zol_log_probe", dir.Dir());
  if (withDocument) zoltest::WriteFile(dir.Dir() / "ZolConfig.xml", zoltest::LoggingConfig(keys));
  // Without a document beside it, the fixed path inside an empty root is used.
  zoltest::Child child(exe, {scenario}, dir.Dir(), {"ZOL_SYSROOT=" + dir.Dir().string()});
  ProbeRun run;
  int conn = -1;
  bool exited = zoltest::WaitFor([&] {
    if (conn < 0) conn = listener.Accept(10ms);
    return child.Wait(0ms);
  });
  EXPECT_TRUE(exited);
  if (conn < 0) conn = listener.Accept(0ms);
  run.connected = conn >= 0;
  if (run.connected) run.raw = Listener::ReadAll(conn);
  run.lines = zoltest::SplitLines(run.raw);
  unsigned pid = 0, tid = 0;
  std::sscanf(child.Out().c_str(), "pid=%x tid=%x", &pid, &tid);
  char ids[64];
  std::snprintf(ids, sizeof ids, "P[%04x]\tT[%04x]", pid, tid);
  run.pidTid = ids;
  run.err = child.Err();
  EXPECT_EQ(child.ExitCode(), 0);
  return run;
}

// The line without its timestamp, after checking the timestamp's form.
std::string AfterTime(const std::string& line) {
  static const std::regex time(R"(^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3}\t)");
  EXPECT_TRUE(std::regex_search(line, time)) << line;
  return line.size() > 24 ? line.substr(24) : line;
}

std::string SystemText(DWORD code) {
  std::string t = sys::ErrorText(code);
  return t.substr(0, t.size() - 2);
}

struct FilterCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> keys;
  std::vector<std::string> expected;  // module and level fields and text
};

TEST(LogClientProcess, ConfigurationFiltersWhatIsSent) {
  const std::string msrError = "ZOL_MSRUSB     \tLEVEL_ERROR   \t";
  const std::vector<FilterCase> cases = {
      {"level 3, all modules",
       {{"Log_Level", "3"}, {"TCP_Port", "$PORT"}},
       {msrError + "level 1", "ZOL_MSRUSB     \tLEVEL_WARNING \tlevel 2", "ZOL_MSRUSB     \tLEVEL_INFO    \tlevel 3",
        "ZOL_SERVICE    \tLEVEL_ERROR   \tmodule 2", msrError + "module 8",
        "ZOL_LDUSB      \tLEVEL_ERROR   \tmodule 32", "\tLEVEL_ERROR   \tmodule 40"}},
      {"level 5, stripe reader off",
       {{"Log_Level", "5"}, {"TCP_Port", "$PORT"}, {"Module_MSR", "yes"}},
       {"ZOL_SERVICE    \tLEVEL_ERROR   \tmodule 2", "ZOL_LDUSB      \tLEVEL_ERROR   \tmodule 32",
        "\tLEVEL_ERROR   \tmodule 40"}},
      {"capital TRUE keeps the module, level 1",
       {{"Module_MSR", "TRUE"}, {"TCP_Port", "$PORT"}, {"Log_Level", "1"}, {"Module_Service", ""}},
       {msrError + "level 1", msrError + "module 8", "ZOL_LDUSB      \tLEVEL_ERROR   \tmodule 32",
        "\tLEVEL_ERROR   \tmodule 40"}},
  };
  for (const auto& c : cases) {
    ProbeRun run = RunProbe("levels", c.keys);
    ASSERT_TRUE(run.connected) << c.name;
    ASSERT_EQ(run.lines.size(), c.expected.size()) << c.name << "\n" << run.raw;
    for (size_t i = 0; i < run.lines.size(); ++i) {
      EXPECT_EQ(AfterTime(run.lines[i]), run.pidTid + "\t" + c.expected[i]) << c.name;
    }
    EXPECT_EQ(run.raw.size(), [&] {
      size_t n = 0;
      for (auto& l : run.lines) n += l.size() + 2;
      return n;
    }()) << "every byte belongs to a CR LF line";
  }
}

TEST(LogClientProcess, NothingIsSentOrTriedWithoutALevel) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> keys;
    bool document;
  };
  const std::vector<Case> cases = {
      {"no Log_Level", {{"TCP_Port", "$PORT"}}, true},
      {"Log_Level 0", {{"TCP_Port", "$PORT"}, {"Log_Level", "0"}}, true},
      {"Log_Level 6 is ignored", {{"TCP_Port", "$PORT"}, {"Log_Level", "6"}}, true},
      {"no document", {}, false},
  };
  for (const auto& c : cases) {
    ProbeRun run = RunProbe("levels", c.keys, c.document);
    EXPECT_FALSE(run.connected) << c.name;
  }
}

TEST(LogClientProcess, DebugOutputNamesTheDocumentAndThePort) {
  ProbeRun run = RunProbe("levels", {{"TCP_Port", "$PORT"}, {"Log_Level", "1"}});
  std::smatch m;
  ASSERT_TRUE(std::regex_search(run.err, m, std::regex(R"(\[ZOL\]: Log Library TCP Port = (\d+))"))) << run.err;
  EXPECT_NE(m[1].str(), "38674");
  EXPECT_NE(run.err.find("[ZOL]: Log Library XML File Path = "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("/ZolConfig.xml"), std::string::npos) << run.err;
  EXPECT_LT(run.err.find("XML File Path"), run.err.find("TCP Port"));
}

TEST(LogClientProcess, ErrorsWideTextAndLongMessages) {
  ProbeRun run = RunProbe("texts", {{"TCP_Port", "$PORT"}, {"Log_Level", "5"}});
  const std::string svcErr = "ZOL_SERVICE    \tLEVEL_ERROR   \t";
  const std::string svcInfo = "ZOL_SERVICE    \tLEVEL_INFO    \t";
  const std::string ldInfo = "ZOL_LDUSB      \tLEVEL_INFO    \t";
  const std::vector<std::string> expected = {
      svcErr + "CServiceClass::InstallService - OpenSCManager failed - (0x5)" + SystemText(5),
      svcErr + "Wide open 100% - (0x2)" + SystemText(2),
      ldInfo + "Progress 50%",
      ldInfo + "50%s %d",
      svcInfo + "ZolPort::Open - COM5",
      svcInfo + std::string(1023, 'L'),
  };
  ASSERT_FALSE(SystemText(5).empty());
  ASSERT_EQ(run.lines.size(), expected.size()) << run.raw;
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(AfterTime(run.lines[i]), run.pidTid + "\t" + expected[i]) << i;
  }
}

TEST(LogClientProcess, HexDumpsLeaveAsOneBlock) {
  ProbeRun run = RunProbe("dump", {{"TCP_Port", "$PORT"}, {"Log_Level", "5"}});
  const std::string blanks(72, ' ');
  ASSERT_EQ(run.lines.size(), 5u) << run.raw;
  EXPECT_EQ(AfterTime(run.lines[0]),
            run.pidTid + "\tZOL_MSRUSB     \tLEVEL_INFO    \tBexHidMsr::GetMsrStatus - MSR Status Bytes (5 bytes)");
  EXPECT_EQ(run.lines[1], blanks + "001) 02 41 42 43   03 " + std::string(39, ' ') + ".ABC.");
  EXPECT_EQ(AfterTime(run.lines[2]), run.pidTid + "\tZOL_LDUSB      \tLEVEL_INFO    \tReport 7 (17 bytes)");
  EXPECT_EQ(run.lines[3], blanks + "001) 40 41 42 43   44 45 46 47   48 49 4a 4b   4c 4d 4e 4f   @ABCDEFGHIJKLMNO");
  EXPECT_EQ(run.lines[4], blanks + "002) 50 " + std::string(53, ' ') + "P");
}

// A listener on the log port, run as uid in a child: it reads every
// connection until told to stop, then hands back what it received.
class ListenerAs {
 public:
  // On the loopback port, or on the local socket at localPath when given.
  ListenerAs(uid_t uid, unsigned short port, std::string localPath = {}) {
    EXPECT_EQ(::pipe(m_ready), 0);
    EXPECT_EQ(::pipe(m_stop), 0);
    EXPECT_EQ(::pipe(m_result), 0);
    m_thread = std::thread(
        [this, uid, port, localPath] { m_rc = zoltest::RunAsUser(uid, [&] { return Serve(port, localPath); }); });
    pollfd p{m_ready[0], POLLIN, 0};
    char c = 0;
    m_listening = ::poll(&p, 1, zoltest::kDeadlineMs) == 1 && ::read(m_ready[0], &c, 1) == 1 && c == 'r';
  }
  bool Listening() const { return m_listening; }
  // Ends the listener; what it received.
  std::string Received() {
    ::close(m_stop[1]);
    m_thread.join();
    ::close(m_result[1]);
    std::string got;
    char buf[4096];
    for (ssize_t n; (n = ::read(m_result[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
    ::close(m_result[0]);
    ::close(m_ready[0]);
    ::close(m_ready[1]);
    ::close(m_stop[0]);
    EXPECT_EQ(m_rc, 0);
    return got;
  }

 private:
  int Serve(unsigned short port, const std::string& localPath) {
    ::close(m_stop[1]);
    int l = -1;
    if (!localPath.empty()) {
      l = ::socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un su{};
      su.sun_family = AF_UNIX;
      std::strncpy(su.sun_path, localPath.c_str(), sizeof su.sun_path - 1);
      if (::bind(l, reinterpret_cast<sockaddr*>(&su), sizeof su) != 0 || ::listen(l, 64) != 0) return 2;
    } else {
      l = ::socket(AF_INET, SOCK_STREAM, 0);
      int one = 1;
      ::setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_port = htons(port);
      sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::bind(l, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(l, 64) != 0) return 2;
    }
    if (::write(m_ready[1], "r", 1) != 1) return 3;
    std::string got;
    std::vector<pollfd> fds{{m_stop[0], POLLIN, 0}, {l, POLLIN, 0}};
    while (::poll(fds.data(), fds.size(), zoltest::kDeadlineMs) > 0 && !(fds[0].revents & (POLLIN | POLLHUP))) {
      if (fds[1].revents & POLLIN) fds.push_back({::accept(l, nullptr, nullptr), POLLIN, 0});
      for (size_t i = 2; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        char buf[4096];
        ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, 0);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        else fds[i].events = 0;  // closed: no longer waited on
      }
    }
    return ::write(m_result[1], got.data(), got.size()) == static_cast<ssize_t>(got.size()) ? 0 : 4;
  }

  int m_ready[2] = {-1, -1};
  int m_stop[2] = {-1, -1};
  int m_result[2] = {-1, -1};
  std::thread m_thread;
  int m_rc = -1;
  bool m_listening = false;
};

TEST(LogClientProcess, SendsOnlyToAListenerOfATrustedUser) {
  struct Case {
    uid_t uid;
    bool local;  // the listener is on the local socket, not the TCP port
    bool receives;
  };
  for (const Case& c : {Case{0, false, true}, Case{zoltest::kNobody, false, false}, Case{0, true, true},
                        Case{zoltest::kNobody, true, false}}) {
    SCOPED_TRACE(testing::Message() << "uid " << c.uid << (c.local ? " local" : " tcp"));
    const unsigned short port = zoltest::FreePort();
    zoltest::TempDir dir;
    // A folder the other user may write, so only the client's own check
    // stands between it and the lines.
    const fs::path folder = dir.Dir() / "run" / "zol" / "log";
    fs::create_directories(folder);
    for (const fs::path& p : {dir.Dir(), dir.Dir() / "run", dir.Dir() / "run" / "zol"}) ::chmod(p.c_str(), 0755);
    ASSERT_EQ(::chown(folder.c_str(), c.uid, c.uid), 0);
    ListenerAs squatter(c.uid, port, c.local ? (folder / (std::to_string(port) + ".sock")).string() : std::string());
    ASSERT_TRUE(squatter.Listening());
    auto exe = zoltest::CopyProgram("zol_log_probe", dir.Dir());
    zoltest::WriteFile(dir.Dir() / "ZolConfig.xml",
                       zoltest::LoggingConfig({{"Log_Level", "1"}, {"TCP_Port", std::to_string(port)}}));
    zoltest::Child probe(exe, {"count", "20", "secret"}, dir.Dir(), {"ZOL_SYSROOT=" + dir.Dir().string()});
    ASSERT_TRUE(probe.Wait());
    const std::string got = squatter.Received();
    EXPECT_EQ(zoltest::Count(got, "\tsecret line "), c.receives ? 20u : 0u) << got;
  }
}

TEST(LogClientProcess, ADocumentThatCannotBeReadIsSaidInOneLineWhateverTheFilter) {
  // The defaults stand: port 38674, reached here on the local socket of a
  // listener of the test.
  zoltest::TempDir dir;
  const fs::path folder = dir.Dir() / "run" / "zol" / "log";
  fs::create_directories(folder);
  ListenerAs listener(0, 0, (folder / "38674.sock").string());
  ASSERT_TRUE(listener.Listening());
  auto exe = zoltest::CopyProgram("zol_log_probe", dir.Dir());
  zoltest::WriteFile(dir.Dir() / "ZolConfig.xml", "<ZOL><Logging_Configuration><Log_Level>4</Log_Level>");
  zoltest::Child probe(exe, {"count", "3", "filtered"}, dir.Dir(), {"ZOL_SYSROOT=" + dir.Dir().string()});
  ASSERT_TRUE(probe.Wait());
  const std::vector<std::string> lines = zoltest::SplitLines(listener.Received());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\tZOL_SERVICE    \tLEVEL_ERROR   \tLogClient::ReadConfiguration - ZolConfig.xml could not "
                          "be read, every setting is at its default"),
            std::string::npos)
      << lines[0];
  EXPECT_EQ(zoltest::Count(probe.Err(), "ZolConfig.xml could not be read"), 1u) << probe.Err();
}

}  // namespace
