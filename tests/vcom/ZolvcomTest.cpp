// The kernel driver zolvcom on a real kernel: its COM side as an
// application sees it, its device side as the port service sees it. Runs
// only on the kernel the module was built for (the kernel stage's guest);
// elsewhere every case is skipped.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/klog.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "drivers/vcom/kernel/zolvcom_ioctl.h"
#include "tests/support/Hex.h"
#include "tests/support/OtherUser.h"
#include "tests/support/TestSupport.h"
#include "tests/support/ZolSystem.h"
#include "tests/support/Wait.h"

namespace {

using zoltest::WaitFor;

constexpr unsigned kPort = 3;

bool OnModuleKernel() {
  utsname u{};
  return ::uname(&u) == 0 && std::string(u.release) == ZOLVCOM_KERNEL_RELEASE;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::string App(unsigned n) { return "/dev/ttyZOL" + std::to_string(n); }
std::string Dev(unsigned n) { return std::string(ZOLVCOM_DEV_DIR) + "/ZOL_COM" + std::to_string(n); }

int Load(const char* params) {
  int fd = ::open(ZOLVCOM_KO, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int rc = static_cast<int>(::syscall(SYS_finit_module, fd, params, 0));
  int e = errno;
  ::close(fd);
  return rc == 0 ? 0 : e;
}

int Unload() { return ::syscall(SYS_delete_module, "zolvcom", O_NONBLOCK) == 0 ? 0 : errno; }

int Control(const char* what, unsigned n) {
  int fd = ::open((std::string(ZOLVCOM_CLASS_DIR) + "/" + what).c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  std::string text = std::to_string(n);
  int rc = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : errno;
  ::close(fd);
  return rc;
}

bool PortReady(unsigned n) { return Exists(App(n)) && Exists(Dev(n)); }

// The kernel log from our own mark on.
std::string KernelLogSince(const std::string& mark) {
  int size = ::klogctl(10 /* SYSLOG_ACTION_SIZE_BUFFER */, nullptr, 0);
  std::string buf(size > 0 ? size : 1 << 20, '\0');
  int got = ::klogctl(3 /* SYSLOG_ACTION_READ_ALL */, buf.data(), static_cast<int>(buf.size()));
  buf.resize(got > 0 ? got : 0);
  std::size_t at = buf.rfind(mark);
  return at == std::string::npos ? buf : buf.substr(at);
}

constexpr const char* kMark = "zolvcom_test: start";

// The package's udev rule, where the guest's udev reads rules (its /run is
// the guest's own).
const std::filesystem::path kRule = "/run/udev/rules.d/70-zol-vcom.rules";

int Udevadm(const std::string& args) { return std::system(("udevadm " + args + " >/dev/null 2>&1").c_str()); }

class Fd {
 public:
  explicit Fd(int fd = -1) : m_fd(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return m_fd; }
  void Reset(int fd = -1) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd;
};

int OpenApp(unsigned n = kPort) { return ::open(App(n).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }
int OpenDev(unsigned n = kPort) { return ::open(Dev(n).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC); }

zolvcom_info Info(int dev) {
  zolvcom_info info{~0u, ~0u, 0};
  EXPECT_EQ(::ioctl(dev, ZOLVCOM_IOC_INFO, &info), 0) << std::strerror(errno);
  return info;
}

zolvcom_line Line(int dev) {
  zolvcom_line line{};
  EXPECT_EQ(::ioctl(dev, ZOLVCOM_IOC_LINE, &line), 0) << std::strerror(errno);
  return line;
}

int Modem(int app) {
  int lines = 0;
  EXPECT_EQ(::ioctl(app, TIOCMGET, &lines), 0) << std::strerror(errno);
  return lines;
}

// Reads until want bytes came or the deadline passed.
std::string ReadSome(int fd, std::size_t want) {
  std::string out;
  const auto end = zoltest::Clock::now() + zoltest::kDeadline;
  while (out.size() < want) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, zoltest::MillisecondsLeft(end)) <= 0) break;
    char buf[4096];
    ssize_t n = ::read(fd, buf, std::min(sizeof(buf), want - out.size()));
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

void WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  const auto end = zoltest::Clock::now() + zoltest::kDeadline;
  while (done < data.size()) {
    pollfd p{fd, POLLOUT, 0};
    ASSERT_GT(::poll(&p, 1, zoltest::MillisecondsLeft(end)), 0) << "no room after " << done << " bytes";
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    ASSERT_GT(n, 0) << std::strerror(errno);
    done += static_cast<std::size_t>(n);
  }
}

// Loaded once for the program with COM3; unloaded at its end, and the
// kernel log read for what the module's use left there.
class ModuleEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!OnModuleKernel()) return;
    int kmsg = ::open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
    if (kmsg >= 0) {
      ASSERT_GT(::write(kmsg, kMark, std::strlen(kMark)), 0);
      ::close(kmsg);
    }
    // Before the ports come: udev applies it to their add events.
    std::error_code e;
    std::filesystem::create_directories(kRule.parent_path(), e);
    std::filesystem::copy_file(ZOLVCOM_RULES, kRule, std::filesystem::copy_options::overwrite_existing, e);
    ASSERT_FALSE(e) << kRule << ": " << e.message();
    ASSERT_EQ(Udevadm("control --reload"), 0) << "udevd is not running";
    // Another test program may hold the module: its end unloads it.
    int rc = 0;
    ASSERT_TRUE(WaitFor([&] { return (rc = Load("ports=3,4")) != EEXIST; })) << "the module stays loaded";
    ASSERT_EQ(rc, 0) << "insmod " << ZOLVCOM_KO << ": " << std::strerror(rc);
    ASSERT_TRUE(WaitFor([] { return PortReady(kPort) && PortReady(4); })) << App(kPort) << " and " << Dev(kPort);
    // The whole system's log travels over loopback.
    if (std::system("ip link set lo up") != 0) std::fprintf(stderr, "cannot bring up lo\n");
  }
  void TearDown() override {
    if (!OnModuleKernel()) return;
    EXPECT_TRUE(WaitFor([] { return Unload() == 0; })) << "rmmod zolvcom: " << std::strerror(Unload());
    std::error_code e;
    std::filesystem::remove(kRule, e);
    Udevadm("control --reload");
    std::string log = KernelLogSince(kMark);
    // The kernel's own reports, not every line with such a word: udev's
    // "WARNING! power/level is deprecated" is none.
    for (const char* bad : {"BUG:", "WARNING:", "Oops", "general protection", "lockdep", "memory leak", "port count", "zolvcom: cannot"})
      EXPECT_EQ(log.find(bad), std::string::npos) << "kernel log has \"" << bad << "\":\n" << log;
  }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new ModuleEnvironment);

class Zolvcom : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OnModuleKernel())
      GTEST_SKIP() << "runs on the kernel zolvcom.ko is built for (" << ZOLVCOM_KERNEL_RELEASE
                   << "): scripts/test kernel";
  }
  // The port keeps its termios from one opening to the next, as a serial
  // port does: each case leaves it as the module made it.
  void TearDown() override {
    if (!OnModuleKernel()) return;
    Fd app(OpenApp());
    termios t{};
    ASSERT_EQ(::tcgetattr(app.Get(), &t), 0);
    ::cfmakeraw(&t);
    t.c_cflag = (t.c_cflag & ~(CRTSCTS | PARENB | CSIZE)) | CS8 | CREAD | CLOCAL | HUPCL;
    ::cfsetspeed(&t, B9600);
    ASSERT_EQ(::tcsetattr(app.Get(), TCSANOW, &t), 0);
  }
};

TEST_F(Zolvcom, PortsAreAddedAndRemovedAtRunTimeButNotWhileOpenAndTheModuleStaysWhileOpen) {
  constexpr unsigned n = 7;
  ASSERT_EQ(Control("add", n), 0);
  EXPECT_EQ(Control("add", n), EEXIST);
  EXPECT_EQ(Control("add", 256), EINVAL);
  ASSERT_TRUE(WaitFor([] { return PortReady(n); }));
  EXPECT_TRUE(Exists("/sys/class/tty/ttyZOL7"));
  struct Case {
    const char* what;
    bool app, dev;
  } cases[] = {{"application open", true, false}, {"device side open", false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fd app(c.app ? OpenApp(n) : -1), dev(c.dev ? OpenDev(n) : -1);
    ASSERT_TRUE(!c.app || app.Get() >= 0) << std::strerror(errno);
    ASSERT_TRUE(!c.dev || dev.Get() >= 0) << std::strerror(errno);
    EXPECT_EQ(Control("remove", n), EBUSY);
    EXPECT_NE(Unload(), 0);  // the open file holds the module
  }
  ASSERT_EQ(Control("remove", n), 0);
  EXPECT_TRUE(WaitFor([] { return !Exists(App(n)) && !Exists(Dev(n)) && !Exists("/sys/class/tty/ttyZOL7"); }));
  EXPECT_EQ(Control("remove", n), ENODEV);
}

TEST_F(Zolvcom, UdevGivesThePortsToTheSerialPortsGroup) {
  const group* dialout = ::getgrnam("dialout");
  ASSERT_NE(dialout, nullptr);
  const gid_t gid = dialout->gr_gid;
  constexpr unsigned added = 8;
  ASSERT_EQ(Control("add", added), 0);
  // Neither changed by another case: one there since the module loaded, one
  // added now.
  for (unsigned n : {4u, added}) {
    SCOPED_TRACE(App(n));
    struct stat st {};
    EXPECT_TRUE(WaitFor([&] {
      return ::stat(App(n).c_str(), &st) == 0 && st.st_gid == gid && (st.st_mode & 07777) == 0660;
    })) << "group " << st.st_gid << " mode " << std::oct << (st.st_mode & 07777);
  }
  EXPECT_TRUE(WaitFor([] { return Control("remove", added) == 0; }));
}

TEST_F(Zolvcom, DeviceSideHasOneOpenerAtATime) {
  Fd first(OpenDev());
  ASSERT_GE(first.Get(), 0) << std::strerror(errno);
  EXPECT_LT(OpenDev(), 0);
  EXPECT_EQ(errno, EBUSY);
  first.Reset();
  Fd second(OpenDev());
  EXPECT_GE(second.Get(), 0) << std::strerror(errno);
}

TEST_F(Zolvcom, ModemLinesShowTheDeviceSideAndItsReadiness) {
  Fd app(OpenApp());
  ASSERT_GE(app.Get(), 0);
  Fd dev;
  constexpr int kIn = TIOCM_DSR | TIOCM_CD | TIOCM_CTS | TIOCM_RI;
  struct Step {
    const char* what;
    std::function<void()> act;
    int lines;
  } steps[] = {
      {"no device side", [] {}, 0},
      {"device side opens", [&] { dev.Reset(OpenDev()); }, TIOCM_DSR | TIOCM_CD},
      {"ready to receive", [&] { ASSERT_EQ(::ioctl(dev.Get(), ZOLVCOM_IOC_SET_RCVRDY), 0); },
       TIOCM_DSR | TIOCM_CD | TIOCM_CTS},
      {"not ready", [&] { ASSERT_EQ(::ioctl(dev.Get(), ZOLVCOM_IOC_CLR_RCVRDY), 0); }, TIOCM_DSR | TIOCM_CD},
      {"ready, then the device side closes",
       [&] {
         ASSERT_EQ(::ioctl(dev.Get(), ZOLVCOM_IOC_SET_RCVRDY), 0);
         dev.Reset();
       },
       0},
      {"a new device side starts not ready", [&] { dev.Reset(OpenDev()); }, TIOCM_DSR | TIOCM_CD},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    s.act();
    EXPECT_EQ(Modem(app.Get()) & kIn, s.lines);
  }
  EXPECT_EQ(::ioctl(dev.Get(), 0x5a7f), -1);  // not one of ours
  EXPECT_EQ(errno, ENOTTY);
}

TEST_F(Zolvcom, TheApplicationsLinesTermiosAndBreaksReachTheDeviceSide) {
  Fd dev(OpenDev());
  Fd app(OpenApp());
  ASSERT_GE(dev.Get(), 0);
  ASSERT_GE(app.Get(), 0);
  Line(dev.Get());  // the open's own events
  const int dtr = TIOCM_DTR, rts = TIOCM_RTS;
  struct Step {
    const char* what;
    std::function<void()> act;
    std::uint32_t event;
    std::function<bool(const zolvcom_line&)> check;
  } steps[] = {
      {"DTR off", [&] { ASSERT_EQ(::ioctl(app.Get(), TIOCMBIC, &dtr), 0); }, ZOLVCOM_EV_MCTRL,
       [](const zolvcom_line& l) { return (l.mctrl & TIOCM_DTR) == 0 && (l.mctrl & TIOCM_RTS) != 0; }},
      {"RTS off", [&] { ASSERT_EQ(::ioctl(app.Get(), TIOCMBIC, &rts), 0); }, ZOLVCOM_EV_MCTRL,
       [](const zolvcom_line& l) { return l.mctrl == 0; }},
      {"DTR on", [&] { ASSERT_EQ(::ioctl(app.Get(), TIOCMBIS, &dtr), 0); }, ZOLVCOM_EV_MCTRL,
       [](const zolvcom_line& l) { return l.mctrl == TIOCM_DTR; }},
      {"19200 7E1 with CRTSCTS",
       [&] {
         termios t{};
         ASSERT_EQ(::tcgetattr(app.Get(), &t), 0);
         ::cfsetspeed(&t, B19200);
         t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB | CRTSCTS;
         ASSERT_EQ(::tcsetattr(app.Get(), TCSANOW, &t), 0);
       },
       ZOLVCOM_EV_TERMIOS,
       [](const zolvcom_line& l) {
         return l.ospeed == 19200 && (l.cflag & CSIZE) == CS7 && (l.cflag & PARENB) && (l.cflag & CRTSCTS);
       }},
      {"a break", [&] { ASSERT_EQ(::tcsendbreak(app.Get(), 0), 0); }, ZOLVCOM_EV_BREAK,
       [](const zolvcom_line& l) { return l.breaks == 1 && l.break_on == 0; }},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    s.act();
    pollfd p{dev.Get(), POLLPRI, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 1);
    zolvcom_line line = Line(dev.Get());
    EXPECT_EQ(line.events & s.event, s.event);
    EXPECT_TRUE(s.check(line)) << "mctrl " << line.mctrl << " cflag " << std::hex << line.cflag;
    EXPECT_EQ(Line(dev.Get()).events, 0u);  // read once
  }
}

// Wine returns to a program's code with iretq, which QEMU's emulation of
// SMAP (before 8.0) takes for a kernel access: the guest kernel oopses.
bool WineFaultsOnThisCpu() {
  const std::string cpu = zoltest::ReadText("/proc/cpuinfo");
  return cpu.find("QEMU TCG CPU") != std::string::npos && cpu.find(" smap ") != std::string::npos;
}

// One answer line of the Windows program, without its end.
std::string ReadLine(int fd, zoltest::Clock::time_point end) {
  std::string line;
  char c = 0;
  while (c != '\n') {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, zoltest::MillisecondsLeft(end)) <= 0 || ::read(fd, &c, 1) != 1) return line + "<no end>";
    if (c != '\r' && c != '\n') line += c;
  }
  return line;
}

TEST_F(Zolvcom, AWindowsProgramUnderWineSeesTheModemLinesAndSetsDtrAndRts) {
  const std::string prefix = ZOL_KERNEL_WINEPREFIX;
  for (const std::string& need : {std::string(ZOL_WINE), std::string(ZOL_MODEM_LINES_EXE), prefix + "/system.reg"}) {
    if (!Exists(need))
      GTEST_SKIP() << need << " is missing: the linux build makes it where Wine and mingw-w64 are (scripts/setup)";
  }
  if (WineFaultsOnThisCpu()) GTEST_SKIP() << "Wine faults on this guest's emulated SMAP: boot it with -cpu max,-smap";
  Fd dev(OpenDev());
  ASSERT_GE(dev.Get(), 0);
  // The prefix's COM3 is /dev/ttyZOL3 (wine_kernel_prefix.sh).
  static_assert(kPort == 3);
  zoltest::TempDir temp("zolvcom_wine");
  const std::string out = temp.Path() + "/out";
  zoltest::Child program;
  ASSERT_TRUE(program.Start({ZOL_WINE, ZOL_MODEM_LINES_EXE, "COM3"},
                            {{"WINEPREFIX", prefix}, {"WINEDEBUG", "-all"}, {"WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d"}},
                            out));
  // Wine starts slowly in an emulated guest.
  ASSERT_TRUE(WaitFor([&] { return zoltest::ReadText(out).find("open COM3") != std::string::npos || !program.Running(); },
                      120000));
  ASSERT_TRUE(program.Running()) << zoltest::ReadText(out);
  Line(dev.Get());  // the opening's own settings
  const int none = -1;
  struct Step {
    const char* what;
    unsigned long ioctl;  // on the device side first, when set
    char command;
    const char* answer;
    int lines;  // DTR and RTS as the device side then reads them
  } steps[] = {
      {"served, not ready", 0, 'm', "CTS=0 DSR=1 RING=0 RLSD=1", none},
      {"ready", ZOLVCOM_IOC_SET_RCVRDY, 'm', "CTS=1 DSR=1 RING=0 RLSD=1", none},
      {"not ready again", ZOLVCOM_IOC_CLR_RCVRDY, 'm', "CTS=0 DSR=1 RING=0 RLSD=1", none},
      {"CLRDTR", 0, 'd', "ok", TIOCM_RTS},
      {"CLRRTS", 0, 'r', "ok", 0},
      {"SETDTR", 0, 'D', "ok", TIOCM_DTR},
      {"SETRTS", 0, 'R', "ok", TIOCM_DTR | TIOCM_RTS},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    if (s.ioctl != 0) {
      ASSERT_EQ(::ioctl(dev.Get(), s.ioctl), 0);
    }
    ASSERT_EQ(::write(dev.Get(), &s.command, 1), 1) << std::strerror(errno);
    EXPECT_EQ(ReadLine(dev.Get(), zoltest::Clock::now() + zoltest::kDeadline), s.answer);
    if (s.lines != none) {
      const zolvcom_line line = Line(dev.Get());
      EXPECT_EQ(line.mctrl, static_cast<std::uint32_t>(s.lines));
      EXPECT_EQ(line.events & ZOLVCOM_EV_MCTRL, ZOLVCOM_EV_MCTRL);
    }
  }
  ASSERT_EQ(::write(dev.Get(), "q", 1), 1);
  EXPECT_EQ(program.WaitExit(), 0) << zoltest::ReadText(out);
  // Wine let the port go with the program.
  EXPECT_TRUE(WaitFor([&] { return Info(dev.Get()).connected == 0; }));
}

TEST_F(Zolvcom, DataPassesBothWaysAndNeverCrossesOpenings) {
  Fd dev(OpenDev());
  ASSERT_GE(dev.Get(), 0);
  char c;
  // No application: nothing to read, nowhere to write.
  EXPECT_EQ(Info(dev.Get()).connected, 0u);
  EXPECT_EQ(::write(dev.Get(), "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(::read(dev.Get(), &c, 1), -1);
  EXPECT_EQ(errno, EPIPE);

  Fd app(OpenApp());
  ASSERT_GE(app.Get(), 0);
  zolvcom_info info = Info(dev.Get());
  EXPECT_EQ(info.connected, 1u);
  EXPECT_EQ(info.hold, 0u);
  WriteAll(dev.Get(), std::string("hello\0\r\n\xff", 9));
  EXPECT_EQ(ReadSome(app.Get(), 9), std::string("hello\0\r\n\xff", 9));  // raw from the start
  WriteAll(app.Get(), "world");
  EXPECT_EQ(ReadSome(dev.Get(), 5), "world");

  // Unread by the application at its close: gone for the next opening.
  WriteAll(dev.Get(), "stale");
  ASSERT_TRUE(WaitFor([&] {
    int queued = 0;
    return ::ioctl(app.Get(), FIONREAD, &queued) == 0 && queued == 5;
  }));
  app.Reset();
  app.Reset(OpenApp());
  ASSERT_GE(app.Get(), 0);
  WriteAll(dev.Get(), "fresh");
  EXPECT_EQ(ReadSome(app.Get(), 5), "fresh");

  // Written by a closed opening: the device side reads it, then the close.
  WriteAll(app.Get(), "left");
  app.Reset();
  EXPECT_EQ(Info(dev.Get()).connected, 1u);
  EXPECT_EQ(ReadSome(dev.Get(), 4), "left");
  EXPECT_EQ(Info(dev.Get()).connected, 0u);
  EXPECT_EQ(::read(dev.Get(), &c, 1), -1);
  EXPECT_EQ(errno, EPIPE);

  // Unread by the device side when the application comes back: not this opening's.
  app.Reset(OpenApp());
  WriteAll(app.Get(), "old");
  app.Reset();
  app.Reset(OpenApp());
  WriteAll(app.Get(), "new");
  EXPECT_EQ(ReadSome(dev.Get(), 3), "new");

  // Written with no device side, then closed: nobody gets it.
  dev.Reset();
  WriteAll(app.Get(), "lost");
  app.Reset();
  dev.Reset(OpenDev());
  EXPECT_EQ(::read(dev.Get(), &c, 1), -1);
  EXPECT_EQ(errno, EPIPE);
}

TEST_F(Zolvcom, AFullApplicationBufferHoldsTheDeviceSideUntilRead) {
  // Without flow control the port takes what its buffers hold; with
  // CRTSCTS it stops as soon as the application's line discipline is full.
  struct Case {
    const char* what;
    bool crtscts;
    std::size_t least, most;
  } cases[] = {{"no flow control", false, 64 * 1024, 4u << 20}, {"CRTSCTS", true, 1024, 64 * 1024}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fd dev(OpenDev());
    Fd app(OpenApp());
    ASSERT_GE(dev.Get(), 0);
    ASSERT_GE(app.Get(), 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(app.Get(), &t), 0);
    t.c_cflag = c.crtscts ? t.c_cflag | CRTSCTS : t.c_cflag & ~CRTSCTS;
    ASSERT_EQ(::tcsetattr(app.Get(), TCSANOW, &t), 0);
    std::string sent;
    // Until the port takes no more (the line discipline's throttle comes
    // from a worker: the first refusal may be followed by more room).
    auto fill = [&] {
      for (;;) {
        char chunk[512];
        for (std::size_t k = 0; k < sizeof(chunk); ++k) chunk[k] = static_cast<char>((sent.size() + k) * 7);
        ssize_t n = ::write(dev.Get(), chunk, sizeof(chunk));
        if (n < 0) return errno == EAGAIN;
        sent.append(chunk, static_cast<std::size_t>(n));
        if (sent.size() > c.most) return false;
      }
    };
    ASSERT_TRUE(WaitFor([&] { return fill() && Info(dev.Get()).hold == 1; }));
    EXPECT_GE(sent.size(), c.least);
    EXPECT_LE(sent.size(), c.most);
    pollfd p{dev.Get(), POLLOUT, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    EXPECT_EQ(ReadSome(app.Get(), sent.size()), sent);
    EXPECT_TRUE(WaitFor([&] { return Info(dev.Get()).hold == 0; }));
  }
}

TEST_F(Zolvcom, WithCrtsctsTheApplicationWritesOnlyWhileTheDeviceSideIsReady) {
  Fd dev(OpenDev());
  Fd app(OpenApp());
  ASSERT_GE(dev.Get(), 0);
  ASSERT_GE(app.Get(), 0);
  termios t{};
  ASSERT_EQ(::tcgetattr(app.Get(), &t), 0);
  t.c_cflag |= CRTSCTS;
  ASSERT_EQ(::tcsetattr(app.Get(), TCSANOW, &t), 0);
  EXPECT_EQ(::write(app.Get(), "held", 4), -1);
  EXPECT_EQ(errno, EAGAIN);
  ASSERT_EQ(::ioctl(dev.Get(), ZOLVCOM_IOC_SET_RCVRDY), 0);
  WriteAll(app.Get(), "sent");
  EXPECT_EQ(ReadSome(dev.Get(), 4), "sent");
}

// Where a thread sleeps in the kernel.
std::string Wchan(pid_t tid) {
  std::string text;
  if (FILE* f = std::fopen(("/proc/self/task/" + std::to_string(tid) + "/wchan").c_str(), "r")) {
    char buf[128];
    text.assign(buf, std::fread(buf, 1, sizeof(buf), f));
    std::fclose(f);
  }
  return text;
}

TEST_F(Zolvcom, OneApplicationAtATimeRootTooUntilTheLastClose) {
  ASSERT_EQ(::chmod(App(kPort).c_str(), 0666), 0);
  // 0: opened, 1: refused as busy, 2: another failure.
  auto opensAs = [](uid_t uid) {
    return zoltest::RunAsUser(uid, [] {
      int fd = OpenApp();
      return fd >= 0 ? 0 : errno == EBUSY ? 1 : 2;
    });
  };
  const struct {
    const char* name;
    uid_t uid;
  } users[] = {{"root", 0}, {"nobody", zoltest::kNobody}};
  enum class Hold { kOpen, kExclusive, kWaitingForCarrier };
  const struct {
    const char* what;
    Hold hold;
  } cases[] = {{"open", Hold::kOpen},
               {"open with TIOCEXCL", Hold::kExclusive},
               // Last: the port keeps CLOCAL off until TearDown.
               {"a blocking open waiting for carrier", Hold::kWaitingForCarrier}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fd app, dev;
    std::thread waiter;
    if (c.hold == Hold::kWaitingForCarrier) {
      {
        Fd local(OpenApp());
        termios t{};
        ASSERT_EQ(::tcgetattr(local.Get(), &t), 0);
        t.c_cflag &= ~CLOCAL;
        ASSERT_EQ(::tcsetattr(local.Get(), TCSANOW, &t), 0);
      }
      std::atomic<pid_t> tid{0};
      waiter = std::thread([&] {
        tid = ::gettid();
        app.Reset(::open(App(kPort).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
      });
      // No device side, no carrier: the open sleeps until one comes.
      EXPECT_TRUE(WaitFor([&] { return tid != 0 && Wchan(tid) == "tty_port_block_til_ready"; })) << Wchan(tid);
    } else {
      app.Reset(OpenApp());
      ASSERT_GE(app.Get(), 0) << std::strerror(errno);
      if (c.hold == Hold::kExclusive) {
        ASSERT_EQ(::ioctl(app.Get(), TIOCEXCL), 0);
      }
    }
    for (const auto& u : users) EXPECT_EQ(opensAs(u.uid), 1) << u.name;
    // The refused openings took nothing from the first one.
    dev.Reset(OpenDev());
    if (waiter.joinable()) waiter.join();
    ASSERT_GE(dev.Get(), 0) << std::strerror(errno);
    ASSERT_GE(app.Get(), 0) << std::strerror(errno);
    EXPECT_EQ(Info(dev.Get()).connected, 1u);
    WriteAll(dev.Get(), "kept");
    EXPECT_EQ(ReadSome(app.Get(), 4), "kept");
    EXPECT_EQ(opensAs(0), 1);
    app.Reset();
    for (const auto& u : users) EXPECT_EQ(opensAs(u.uid), 0) << u.name;
  }
}

TEST_F(Zolvcom, ThousandOpenCloseCyclesOnBothSides) {
  for (int i = 0; i < 1000; ++i) {
    Fd dev(OpenDev());
    Fd app(OpenApp());
    ASSERT_GE(dev.Get(), 0) << i << ": " << std::strerror(errno);
    ASSERT_GE(app.Get(), 0) << i << ": " << std::strerror(errno);
    if (i % 2) dev.Reset();  // either side first
  }
}

TEST_F(Zolvcom, BothSidesCloseInEitherOrderUnderTraffic) {
  // Each side pumps on its own thread and closes its descriptor there, while
  // the other side's thread is still writing and reading.
  struct Side {
    int fd = -1;
    std::atomic<bool> stop{false};
    std::atomic<long> calls{0};
    std::atomic<long> moved{0};
  };
  auto pump = [](Side& s) {
    char buf[1024] = {};
    while (!s.stop.load()) {
      ssize_t w = ::write(s.fd, buf, sizeof(buf));
      ssize_t r = ::read(s.fd, buf, sizeof(buf));
      s.moved += (w > 0 ? w : 0) + (r > 0 ? r : 0);
      ++s.calls;
    }
    ::close(s.fd);
  };
  for (bool appFirst : {true, false}) {
    SCOPED_TRACE(appFirst ? "application closes first" : "device side closes first");
    for (int round = 0; round < 20; ++round) {
      Side dev, app;
      dev.fd = OpenDev();
      app.fd = OpenApp();
      ASSERT_GE(dev.fd, 0);
      ASSERT_GE(app.fd, 0);
      std::thread devThread(pump, std::ref(dev)), appThread(pump, std::ref(app));
      EXPECT_TRUE(WaitFor([&] { return dev.moved.load() > 16 * 1024 && app.moved.load() > 16 * 1024; }));
      Side& first = appFirst ? app : dev;
      Side& second = appFirst ? dev : app;
      std::thread& firstThread = appFirst ? appThread : devThread;
      std::thread& secondThread = appFirst ? devThread : appThread;
      first.stop.store(true);
      firstThread.join();
      const long calls = second.calls.load();
      EXPECT_TRUE(WaitFor([&] { return second.calls.load() > calls + 100; }));
      second.stop.store(true);
      secondThread.join();
    }
  }
}

TEST_F(Zolvcom, TheWholeSystemRunsOnTheDriver) {
  zoltest::SystemOptions o = zoltest::PosSystemOptions();
  o.kernelDriver = true;
  zoltest::ZolSystem sys(o);
  ASSERT_TRUE(sys.Prepare()) << sys.Problem();
  ASSERT_TRUE(sys.StartVcomd());
  ASSERT_TRUE(sys.StartLogService());
  ASSERT_TRUE(sys.StartDevice("ld", "ld1"));
  ASSERT_TRUE(sys.StartDevice("msr", "msr1"));
  ASSERT_TRUE(sys.StartService()) << sys.ServiceOutput();
  ASSERT_TRUE(sys.WaitForLog("HidMsrManager::Initialize - Initialize success"));
  EXPECT_EQ(sys.CountLog("virtual serial driver: zolvcom (kernel)"), 1u);

  auto hasReport = [&](const zoltest::Bytes& report) {
    return WaitFor([&] {
      for (const zoltest::Bytes& r : sys.Trace("ld1"))
        if (r == report) return true;
      return false;
    });
  };
  zoltest::App display(sys.ComPath(4));
  ASSERT_TRUE(display.IsOpen());
  // The port service holds both device sides and is ready on both.
  constexpr int kServed = TIOCM_DSR | TIOCM_CD | TIOCM_CTS;
  EXPECT_TRUE(WaitFor([&] { return (Modem(display.Fd()) & kServed) == kServed; }));
  ASSERT_TRUE(display.Write(std::string("ABC") + "\x10\x14" + "bottom"));
  EXPECT_TRUE(hasReport(zoltest::LineReport(0x82, "bottom")));
  EXPECT_TRUE(hasReport(zoltest::LineReport(0x81, "ABC")));

  zoltest::App* reader = nullptr;
  ASSERT_TRUE(sys.OpenApp(3, reader));
  const std::string track1 = "B4000123456789010^KERNEL/CARD^28121010000000000000";
  const std::string track2 = "4000123456789010=28121010000000000000";
  const std::string track3 = "011234567890123456=000000000000000000";
  ASSERT_TRUE(sys.RunHidsim({"swipe", "msr1", "--track1", track1, "--track2", track2, "--track3", track3}));
  const std::string card = "%" + track1 + "?\r;" + track2 + "?\r+" + track3 + "?\r";
  EXPECT_EQ(zoltest::Hex(reader->Read(card.size())), zoltest::Hex(card));

  // Unplugged and plugged again, the display is taken up again.
  ASSERT_TRUE(sys.StopDevice("ld1"));
  ASSERT_TRUE(sys.WaitForLog("HidLdManager::HidDeviceChanged - Unintialize old LD"));
  std::remove(sys.TracePath("ld1").c_str());
  ASSERT_TRUE(sys.StartDevice("ld", "ld1"));
  ASSERT_TRUE(sys.WaitForLog("HidLdManager::HidDeviceChanged - StatusRequest success"));
  ASSERT_TRUE(display.Write("after"));
  EXPECT_TRUE(hasReport(zoltest::LineReport(0x81, "after")));
}

}  // namespace
