// Who may open a COM port: vcomd gives each pty slave the group and mode of
// its command line, and refuses a group or mode it cannot use at start.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "tests/support/TestSupport.h"

namespace {

using namespace zoltest;
namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

// Opens, configures and writes the port as user nobody with the given
// supplementary groups, in a child; returns 0 or the errno of the first step
// that failed.
int OpenAsNobody(const std::string& port, const std::vector<gid_t>& groups) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) _exit(100);
    int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) _exit(errno);
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) _exit(errno);
    ::cfsetspeed(&tio, B9600);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) _exit(errno);
    if (::write(fd, "hi", 2) != 2) _exit(errno);
    _exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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
    const int member = OpenAsNobody(port, {c.group});
    if (c.mode & 020) EXPECT_EQ(member, 0);
    else EXPECT_EQ(member, EACCES);
    EXPECT_EQ(OpenAsNobody(port, {}), EACCES);
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
