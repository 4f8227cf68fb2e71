// Who may open a COM port: vcomd gives each pty slave the group and mode of
// its command line, and refuses a group or mode it cannot use at start.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "tests/support/OtherUser.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace zoltest;
namespace fs = std::filesystem;

// An application that has the port open as nobody (with these groups)
// until Close(); with setExclusive it sets the tty's exclusive flag itself.
class NobodyApp {
 public:
  NobodyApp(const std::string& port, const std::vector<gid_t>& groups, bool setExclusive) {
    int ready[2], go[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(go, O_CLOEXEC) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
      ::close(go[1]);
      int error = 100;
      if (::setgroups(groups.size(), groups.data()) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0) {
        int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY);
        error = fd < 0 ? errno : 0;
        if (fd >= 0 && setExclusive && ::ioctl(fd, TIOCEXCL) != 0) error = errno;
      }
      if (::write(ready[1], &error, sizeof(error)) != sizeof(error)) _exit(1);
      char c;
      while (::read(go[0], &c, 1) > 0) {
      }
      _exit(0);
    }
    ::close(ready[1]);
    ::close(go[0]);
    m_go = go[1];
    pollfd p{ready[0], POLLIN, 0};
    if (::poll(&p, 1, kDeadlineMs) == 1 && ::read(ready[0], &m_error, sizeof(m_error)) != sizeof(m_error)) m_error = -1;
    ::close(ready[0]);
  }
  ~NobodyApp() { Close(); }
  NobodyApp(const NobodyApp&) = delete;
  NobodyApp& operator=(const NobodyApp&) = delete;
  // 0 once the port is open, else the errno of the open.
  int Error() const { return m_error; }
  // Closes the port by ending the process.
  void Close() {
    if (m_go >= 0) ::close(m_go);
    m_go = -1;
    if (m_pid > 0) ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
  }

 private:
  pid_t m_pid = -1;
  int m_go = -1;
  int m_error = -1;
};

gid_t GroupId(const char* name) {
  const group* g = ::getgrnam(name);
  return g ? g->gr_gid : static_cast<gid_t>(-1);
}

TEST(VcomdAccess, TheSlaveHasTheGroupAndModeAndOnlyThatGroupOpensIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const gid_t dialout = GroupId("dialout");
  const gid_t nogroup = GroupId("nogroup");
  if (dialout == static_cast<gid_t>(-1) || nogroup == static_cast<gid_t>(-1)) GTEST_SKIP() << "no dialout or nogroup";
  const struct {
    std::vector<std::string> args;  // after --ports 7
    gid_t group;
    unsigned mode;
  } cases[] = {
      {{}, dialout, 0660},
      {{"--group", "nogroup", "--mode", "0640"}, nogroup, 0640},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    TempDir tmp;
    std::vector<std::string> argv{BinDir() + "/vcomd", "--ports", "7"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Child daemon;
    // Under umask 000 too, nobody else may change the count of ports.
    const mode_t umaskBefore = ::umask(0);
    const bool started = daemon.Start(argv, {{"ZOL_SYSROOT", tmp.Path()}}, tmp.Path() + "/vcomd.out");
    ::umask(umaskBefore);
    ASSERT_TRUE(started);
    ASSERT_TRUE(WaitFor([&] { return fs::exists(tmp.Path() + "/run/zol/vcomd.ctl"); })) << ReadText(tmp.Path() + "/vcomd.out");
    struct stat reg {};
    ASSERT_EQ(::stat((tmp.Path() + "/etc/halvern/registry.reg").c_str(), &reg), 0);
    EXPECT_EQ(reg.st_mode & 07777, 0644u);
    // The link's own folder is private to the test: the users open the slave.
    const std::string port = fs::read_symlink(tmp.Path() + "/dev/ttyZOL7").string();
    ASSERT_EQ(port.rfind("/dev/pts/", 0), 0u) << port;
    struct stat st {};
    ASSERT_EQ(::stat(port.c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, c.group);
    EXPECT_EQ(st.st_mode & 07777, c.mode);
    // A member reads and writes as the mode allows; anyone else is refused.
    const int member = OpenPortAsNobody(port, {c.group});
    if (c.mode & 020) EXPECT_EQ(member, 0);
    else EXPECT_EQ(member, EACCES);
    EXPECT_EQ(OpenPortAsNobody(port, {}), EACCES);
  }
}

// A COM port serves one application at a time: while one has it open every
// other open fails (root excepted: the tty lets it past), also after root came
// and went; at the close the next one gets in, even when the application had
// set the exclusive flag itself.
TEST(VcomdAccess, OneApplicationAtATime) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const gid_t dialout = GroupId("dialout");
  if (dialout == static_cast<gid_t>(-1)) GTEST_SKIP() << "no dialout";
  TempDir tmp;
  Child daemon;
  ASSERT_TRUE(daemon.Start({BinDir() + "/vcomd", "--ports", "7"}, {{"ZOL_SYSROOT", tmp.Path()}},
                           tmp.Path() + "/vcomd.out"));
  ASSERT_TRUE(WaitFor([&] { return fs::exists(tmp.Path() + "/run/zol/vcomd.ctl"); })) << ReadText(tmp.Path() + "/vcomd.out");
  const std::string port = fs::read_symlink(tmp.Path() + "/dev/ttyZOL7").string();
  const auto another = [&] { return OpenPortAsNobody(port, {dialout}); };
  for (const bool setsExclusive : {false, true}) {
    SCOPED_TRACE(setsExclusive ? "the application sets the flag" : "vcomd sets the flag");
    // vcomd lets go of the port a moment after a close (the last open was
    // the previous case's): until then even the next application is refused.
    std::unique_ptr<NobodyApp> held;
    ASSERT_TRUE(WaitFor([&] {
      held = std::make_unique<NobodyApp>(port, std::vector<gid_t>{dialout}, setsExclusive);
      return held->Error() == 0;
    })) << held->Error();
    NobodyApp& app = *held;
    EXPECT_TRUE(WaitFor([&] { return another() == EBUSY; })) << another();
    EXPECT_EQ(::access(port.c_str(), R_OK | W_OK), 0);
    const int rootFd = ::open(port.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(rootFd, 0) << std::strerror(errno);
    if (rootFd >= 0) ::close(rootFd);
    EXPECT_EQ(another(), EBUSY) << "root's close released the port";
    app.Close();
    EXPECT_TRUE(WaitFor([&] { return another() == 0; })) << another();
  }
}

TEST(VcomdAccess, AnUnknownGroupOrABadModeIsRefusedAtStart) {
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--group", "no-such-group-zol"}, "vcomd: unknown group 'no-such-group-zol'"},
      {{"--group="}, "vcomd: --group needs a group name"},
      {{"--mode", "0668"}, "vcomd: mode '0668' is not an octal file mode"},
      {{"--mode", "4660"}, "vcomd: mode '4660' is not an octal file mode"},
      {{"--mode", "rw"}, "vcomd: mode 'rw' is not an octal file mode"},
      {{"--mode"}, "vcomd: unknown argument '--mode'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    TempDir tmp;
    std::vector<std::string> argv{BinDir() + "/vcomd", "--ports", "7"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Child daemon;
    ASSERT_TRUE(daemon.Start(argv, {{"ZOL_SYSROOT", tmp.Path()}}, tmp.Path() + "/out"));
    EXPECT_EQ(daemon.WaitExit(), 2);
    EXPECT_NE(ReadText(tmp.Path() + "/out").find(c.message), std::string::npos) << ReadText(tmp.Path() + "/out");
    EXPECT_FALSE(fs::exists(tmp.Path() + "/dev/ttyZOL7"));
  }
}

}  // namespace
