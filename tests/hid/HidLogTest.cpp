// The log lines of the HID code, as the logging service receives them: the
// probe program runs a scenario from a private folder whose ZolConfig.xml
// points its log client at a listener of this test.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "tests/hid/HidSimHarness.h"

namespace fs = std::filesystem;

namespace {

// Accepts log clients on a local port and keeps everything they send.
class LogListener {
 public:
  LogListener() {
    m_fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int no = 0;
    ::setsockopt(m_fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof(no));
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_any;
    socklen_t len = sizeof(addr);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(m_fd, 8) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return;
    }
    m_port = ntohs(addr.sin6_port);
    m_thread = std::thread([this] { Accept(); });
  }
  ~LogListener() {
    m_stop = true;
    ::shutdown(m_fd, SHUT_RDWR);
    ::close(m_fd);
    if (m_thread.joinable()) m_thread.join();
    for (std::thread& t : m_readers) t.join();
  }
  int Port() const { return m_port; }
  std::string Text() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_text;
  }

 private:
  void Accept() {
    while (!m_stop) {
      const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return;
      m_readers.emplace_back([this, client] {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(client, buffer, sizeof(buffer), 0)) > 0;) {
          std::lock_guard<std::mutex> lock(m_lock);
          m_text.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(client);
      });
    }
  }
  int m_fd = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
  std::vector<std::thread> m_readers;
  std::mutex m_lock;
  std::string m_text;
};

struct Probe {
  fs::path dir;
  int exitCode = -1;
};

// Runs the probe's copy from a private folder with its configuration.
Probe RunProbe(const std::string& scenario, int port) {
  Probe probe;
  char templ[] = "/tmp/zolhidlog.XXXXXX";
  probe.dir = ::mkdtemp(templ);
  const fs::path bin = hidtest::BinDir();
  fs::copy_file(bin / "hid_log_probe", probe.dir / "hid_log_probe");
  fs::create_symlink(bin / "ZolHidSim.so", probe.dir / "ZolHidSim.so");
  std::ofstream(probe.dir / "ZolConfig.xml")
      << "<ZOL><Logging_Configuration><Log_Level>5</Log_Level><TCP_Port>" << port
      << "</TCP_Port></Logging_Configuration></ZOL>";
  ::setenv("ZOL_HID_PROVIDER", "ZolHidSim.so", 1);
  ::setenv("ZOL_BIN_DIR", bin.c_str(), 1);
  std::vector<std::string> args = {(probe.dir / "hid_log_probe").string(), scenario};
  zoltest::Child child;
  if (child.Start(args, {}, "/dev/stdout")) {
    // A scenario that hangs ends at the test's own time limit.
    child.WaitExit(240000);
    probe.exitCode = child.Ended() && WIFEXITED(child.Status()) ? WEXITSTATUS(child.Status()) : -1;
  }
  return probe;
}

// The received lines, each with what it must contain, in order.
struct Expected {
  std::string module;
  std::string level;
  std::string text;
};

void ExpectInOrder(LogListener& log, const std::vector<Expected>& expected) {
  auto lineOf = [](const std::string& all, std::size_t at) {
    const std::size_t begin = all.rfind('\n', at);
    const std::size_t end = all.find("\r\n", at);
    return all.substr(begin == std::string::npos ? 0 : begin + 1, end == std::string::npos ? end : end - begin);
  };
  hidtest::WaitFor([&] { return log.Text().find(expected.back().text) != std::string::npos; }, hidtest::kWait);
  const std::string all = log.Text();
  std::size_t from = 0;
  for (const Expected& e : expected) {
    const std::size_t at = all.find(e.text, from);
    ASSERT_NE(at, std::string::npos) << "missing after offset " << from << ": " << e.text << "\n" << all;
    const std::string line = lineOf(all, at);
    EXPECT_NE(line.find(e.module), std::string::npos) << line;
    EXPECT_NE(line.find(e.level), std::string::npos) << line;
    from = at + e.text.size();
  }
}

TEST(HidLog, EnumerationLinesOfBothPlugins) {
  LogListener log;
  ASSERT_NE(log.Port(), 0);
  const Probe probe = RunProbe("enumerate", log.Port());
  ASSERT_EQ(probe.exitCode, 0);
  ExpectInOrder(log, {
                         {"ZOL_LDUSB", "LEVEL_INFO", "BexHidLdList::Enumerate - Found supported LD - vid=0x6d13, "
                                                     "pid=0x4500, usage page=0xff45, usage=0x2600"},
                         {"ZOL_LDUSB", "LEVEL_INFO", "BexHidLd::Initialize - hidDev=0x"},
                         {"ZOL_LDUSB", "LEVEL_INFO", "/run/zol/hidsim/disp"},
                         {"ZOL_LDUSB", "LEVEL_INFO", "BexHidLd::Initialize - Success"},
                         {"ZOL_LDUSB", "LEVEL_INFO", "BexHidLdList::Enumerate - Added to hidDevices list: "},
                         {"ZOL_LDUSB", "LEVEL_INFO", "BexHidLdList::Enumerate - return=1"},
                         {"ZOL_MSRUSB", "LEVEL_INFO", "BexHidMsrList::Enumerate - Found supported MSR - vid=0x6d13, "
                                                      "pid=0x4500, usage page=0xff45, usage=0x1600"},
                         {"ZOL_MSRUSB", "LEVEL_INFO", "BexHidMsr::Initialize - Success"},
                         {"ZOL_MSRUSB", "LEVEL_INFO", "BexHidMsrList::Enumerate - return=1"},
                         {"ZOL_MSRUSB", "LEVEL_INFO", "BexHidMsr::Terminate - Exit"},
                     });
  fs::remove_all(probe.dir);
}

TEST(HidLog, RefusedCommandsAndStatusesAreLogged) {
  LogListener log;
  ASSERT_NE(log.Port(), 0);
  const Probe probe = RunProbe("refusals", log.Port());
  ASSERT_EQ(probe.exitCode, 0);
  ExpectInOrder(log, {
                         {"ZOL_LDUSB", "LEVEL_VERBOSE", "BexHidLd::SendLdCommand - Entered (24 bytes)"},
                         {"ZOL_LDUSB", "LEVEL_ERROR", "BexHidLd::SendLdCommand - Buffer Length larger than command length"},
                         {"ZOL_LDUSB", "LEVEL_VERBOSE", "BexHidLd::GetLdStatus - LD Status Bytes (9 bytes)"},
                         {"ZOL_LDUSB", "LEVEL_ERROR", "BexHidLd::GetLdStatus - Buffer length not enough"},
                         {"ZOL_MSRUSB", "LEVEL_VERBOSE", "BexHidMsr::SendMSRCommand - Entered (4 bytes)"},
                         {"ZOL_MSRUSB", "LEVEL_ERROR",
                          "BexHidMsr::SendMSRCommand - Buffer Length larger than command length"},
                         // Input report length 0: refused at once, no dump before it.
                         {"ZOL_MSRUSB", "LEVEL_ERROR", "BexHidMsr::GetMsrStatus - Buffer length not enough"},
                     });
  EXPECT_EQ(log.Text().find("MSR Status Bytes"), std::string::npos);
  // The reader's wrapper ends twice (re-plug, exit), after every read.
  EXPECT_TRUE(
      hidtest::WaitFor([&] { return zoltest::Count(log.Text(), "BexHidMsr::Terminate - Exit") >= 2; }, hidtest::kWait));
  EXPECT_EQ(zoltest::Count(log.Text(), "BexHidMsr::GetMsrStatus - Buffer length not enough"), 2u)
      << "once for each of the two plugs, not once per read";
  fs::remove_all(probe.dir);
}

TEST(HidLog, AnInjectedResumeIsLoggedAsAnAutomaticResume) {
  LogListener log;
  ASSERT_NE(log.Port(), 0);
  const Probe probe = RunProbe("resume", log.Port());
  ASSERT_EQ(probe.exitCode, 0);
  ExpectInOrder(log, {{"ZOL_MSRUSB", "LEVEL_INFO", "DeviceChangeNotify::WindowProc - PBT_APMRESUMEAUTOMATIC"}});
  fs::remove_all(probe.dir);
}

}  // namespace
