// vcomd through the driver interface of the platform layer, with the test as
// the application on /dev/ttyZOL<n>.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "drivers/vcom/VcomArgs.h"
#include "vcom/Handover.h"
#include "vcom/Protocol.h"
#include "platform/Error.h"
#include "platform/Text.h"
#include "platform/VirtualSerial.h"
#include "platform/WinTypes.h"
#include "tests/service/PortSystem.h"
#include "tests/support/Hex.h"
#include "tests/support/OtherUser.h"

using namespace porttest;

namespace {

TEST(VcomdArgs, PortListsAreCheckedAtStart) {
  const struct {
    std::vector<std::string> args;
    bool ok;
    std::vector<unsigned> ports;
  } cases[] = {
      {{"--ports", "3,5"}, true, {3, 5}},
      {{"--ports=7"}, true, {7}},
      {{"--ports", "255"}, true, {255}},
      {{"--ports", "0"}, false, {}},
      {{"--ports", "3,3"}, false, {}},
      {{"--ports", "x"}, false, {}},
      {{"--ports", "3,"}, false, {}},
      {{"--ports", ",3"}, false, {}},
      {{"--ports", "-1"}, false, {}},
      {{"--ports", "256"}, false, {}},
      {{"--ports", "3 5"}, false, {}},
      {{"--ports"}, false, {}},
      {{}, false, {}},
      {{"--bogus"}, false, {}},
  };
  for (const auto& c : cases) {
    std::vector<unsigned> ports;
    std::string error;
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args.back());
    EXPECT_EQ(vcom::ParseArgs(c.args, ports, error), c.ok);
    if (c.ok) EXPECT_EQ(ports, c.ports);
    else EXPECT_FALSE(error.empty());
  }
}

TEST(VcomdArgs, BadPortListsAreRefusedByTheProgram) {
  TempDir tmp;
  for (const char* list : {"0", "3,3", "x"}) {
    SCOPED_TRACE(list);
    Child child;
    std::string out = tmp.Path() + "/out";
    ASSERT_TRUE(child.Start({BinDir() + "/vcomd", "--ports", list}, {{"ZOL_SYSROOT", tmp.Path()}}, out));
    EXPECT_EQ(child.WaitExit(5000), 2);
    EXPECT_NE(ReadText(out).find("vcomd: port"), std::string::npos);
  }
  // Nothing was created.
  EXPECT_FALSE(fs::exists(tmp.Path() + "/run/zol/vcomd.ctl"));
}

// A running vcomd in a private root; ZOL_SYSROOT points this process there too.
class Vcomd : public ::testing::Test {
 protected:
  void SetUp() override {
    root = tmp.Path();
    ::setenv("ZOL_SYSROOT", root.c_str(), 1);
    ASSERT_TRUE(daemon.Start({BinDir() + "/vcomd", "--ports", "3,5"}, {{"ZOL_SYSROOT", root}}, root + "/vcomd.out"));
    ASSERT_TRUE(WaitFor([&] { return fs::exists(root + "/run/zol/vcomd.ctl") && fs::exists(Com(5)); }, 5000));
  }
  void TearDown() override { ::unsetenv("ZOL_SYSROOT"); }

  std::string Com(unsigned n) const { return root + "/dev/ttyZOL" + std::to_string(n); }
  std::wstring Interface(unsigned n) const {
    return sys::FromUtf8(root + "/run/zol/devices/{5B1E7C3A-9D42-4F86-A1C0-3E7D92B41F08}/ZOL_COM" + std::to_string(n));
  }
  sys::ZOL_INFO Info(sys::VirtualSerialPort& port) {
    sys::ZOL_INFO info{99, 99, 99};
    std::uint32_t got = 0;
    EXPECT_TRUE(port.IoControl(sys::IOCTL_VIRTUAL_SERIAL_GET_ZOL_INFO, &info, sizeof(info), &got));
    EXPECT_EQ(got, 12u);
    return info;
  }
  std::string Control(const std::string& line) { return VcomdControl(root, line); }

  // Reads as the port service does: once the COM side shows connected, until
  // the opening ends (broken pipe) or, with want > 0, want bytes came.
  std::string ReadOpening(sys::VirtualSerialPort& port, sys::VirtualSerialIo& reader, std::size_t want) {
    std::string got;
    if (!WaitFor([&] { return Info(port).connected != 0; }, 2000)) return "(never connected)";
    sys::Event never;
    char buf[256];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline && (want == 0 || got.size() < want)) {
      std::uint32_t n = 0;
      bool ok = reader.Start(buf, sizeof(buf), &n);
      if (!ok && sys::LastError() == ERROR_IO_PENDING) {
        if (sys::WaitAny({never, reader.Completion()}, 200) != 1u) {
          reader.Cancel();
          continue;
        }
        ok = reader.Result(&n);
      }
      if (!ok) {
        if (sys::LastError() == ERROR_BROKEN_PIPE && want == 0) return got;
        return got + "(error " + std::to_string(sys::LastError()) + ")";
      }
      got.append(buf, n);
    }
    return want == 0 ? got + "(no broken pipe)" : got;
  }
  static int Unread(int fd) {
    int count = -1;
    return ::ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
  }

  TempDir tmp;
  std::string root;
  Child daemon;
};

TEST_F(Vcomd, ListsItsInterfacesAndWritesTheRegistryValue) {
  auto list = sys::ListVirtualSerialInterfaces();
  EXPECT_EQ(list.status, sys::VirtualSerialInterfaceList::Status::Ok);
  ASSERT_EQ(list.paths.size(), 2u);
  EXPECT_EQ(list.paths[0], Interface(3));
  EXPECT_EQ(list.paths[1], Interface(5));
  EXPECT_NE(ReadText(root + "/etc/halvern/registry.reg").find("\"NUMBER_OF_REQ_COM_PORTS\"=dword:00000002"),
            std::string::npos);
}

TEST_F(Vcomd, OneOpenerAtATime) {
  sys::VirtualSerialPort first, second;
  ASSERT_TRUE(first.Open(Interface(3)));
  EXPECT_FALSE(second.Open(Interface(3)));
  EXPECT_EQ(sys::LastError(), ERROR_SHARING_VIOLATION);
  sys::VirtualSerialPort other;
  EXPECT_TRUE(other.Open(Interface(5)));  // another port is independent
  // The next opener is served as soon as the previous one has closed.
  first.Close();
  int refused = 0;
  for (int round = 0; round < 200; ++round) {
    if (!second.Open(Interface(3))) ++refused;
    second.Close();
  }
  EXPECT_EQ(refused, 0);
  sys::VirtualSerialPort missing;
  EXPECT_FALSE(missing.Open(Interface(4)));
  EXPECT_EQ(sys::LastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Vcomd, ZolInfoFollowsTheApplicationAndTheHold) {
  sys::VirtualSerialPort port;
  ASSERT_TRUE(port.Open(Interface(3)));
  EXPECT_EQ(Info(port).connected, 0u);
  {
    App app(Com(3));
    ASSERT_TRUE(app.IsOpen());
    sys::ZOL_INFO info = Info(port);
    EXPECT_EQ(info.connected, 1u);
    EXPECT_EQ(info.hold, 0u);
    EXPECT_EQ(info.reserved, 0u);
    EXPECT_EQ(Control("hold 3 1"), "OK\n");
    EXPECT_EQ(Info(port).hold, 1u);
    EXPECT_EQ(Control("hold 3 0"), "OK\n");
    EXPECT_EQ(Info(port).hold, 0u);
  }
  EXPECT_EQ(Info(port).connected, 0u);

  // Repeats included: a readiness the driver already has may be skipped, a
  // change never.
  const struct {
    std::uint32_t code;
    const char* status;
  } steps[] = {
      {sys::IOCTL_VIRTUAL_SERIAL_SET_RCVRDY, "COM3 connected=0 hold=0 rcvrdy=1"},
      {sys::IOCTL_VIRTUAL_SERIAL_SET_RCVRDY, "COM3 connected=0 hold=0 rcvrdy=1"},
      {sys::IOCTL_VIRTUAL_SERIAL_CLR_RVCRDY, "COM3 connected=0 hold=0 rcvrdy=0"},
      {sys::IOCTL_VIRTUAL_SERIAL_CLR_RVCRDY, "COM3 connected=0 hold=0 rcvrdy=0"},
      {sys::IOCTL_VIRTUAL_SERIAL_SET_RCVRDY, "COM3 connected=0 hold=0 rcvrdy=1"},
  };
  for (const auto& s : steps) {
    std::uint32_t got = 7;
    EXPECT_TRUE(port.IoControl(s.code, nullptr, 0, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_NE(Control("status").find(s.status), std::string::npos) << Control("status");
  }
  std::uint32_t small = 0, got = 0;
  EXPECT_FALSE(port.IoControl(sys::IOCTL_VIRTUAL_SERIAL_GET_ZOL_INFO, &small, sizeof(small), &got));
  EXPECT_EQ(sys::LastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_FALSE(port.IoControl(0x7001C00Cu, nullptr, 0, &got));
  // Closing the interface clears the device side's readiness.
  ASSERT_TRUE(port.IoControl(sys::IOCTL_VIRTUAL_SERIAL_SET_RCVRDY, nullptr, 0, &got));
  port.Close();
  EXPECT_TRUE(WaitFor([&] { return Control("status").find("COM3 connected=0 hold=0 rcvrdy=0") != std::string::npos; },
                      2000));
  // The next opening starts from the driver's state, not from the last one's.
  ASSERT_TRUE(WaitFor([&] { return port.Open(Interface(3)); }, 2000));
  ASSERT_TRUE(port.IoControl(sys::IOCTL_VIRTUAL_SERIAL_SET_RCVRDY, nullptr, 0, &got));
  EXPECT_NE(Control("status").find("COM3 connected=0 hold=0 rcvrdy=1"), std::string::npos) << Control("status");
}

// The hold and the application's openings reach an opener at once, whichever
// way it learns them; a driver that is gone answers nothing.
TEST_F(Vcomd, ZolInfoIsNeverStale) {
  sys::VirtualSerialPort port;
  ASSERT_TRUE(port.Open(Interface(5)));
  for (int round = 0; round < 20; ++round) {
    App app(Com(5));
    ASSERT_TRUE(app.IsOpen());
    EXPECT_EQ(Info(port).connected, 1u) << round;
    ASSERT_EQ(Control("hold 5 1"), "OK\n");
    EXPECT_EQ(Info(port).hold, 1u) << round;
    ASSERT_EQ(Control("hold 5 0"), "OK\n");
    EXPECT_EQ(Info(port).hold, 0u) << round;
    app.Close();
    EXPECT_EQ(Info(port).connected, 0u) << round;
  }
  App app(Com(5));
  ASSERT_EQ(Info(port).connected, 1u);
  daemon.Kill();
  sys::ZOL_INFO info{};
  std::uint32_t got = 0;
  EXPECT_FALSE(port.IoControl(sys::IOCTL_VIRTUAL_SERIAL_GET_ZOL_INFO, &info, sizeof(info), &got));
  EXPECT_EQ(got, 0u);
}

TEST_F(Vcomd, ReadsAndWritesBreakWhileTheApplicationIsClosed) {
  sys::VirtualSerialPort port;
  ASSERT_TRUE(port.Open(Interface(3)));
  sys::VirtualSerialIo reader(port, sys::VirtualSerialIo::Kind::Read);
  sys::VirtualSerialIo writer(port, sys::VirtualSerialIo::Kind::Write);
  char buf[64];
  std::uint32_t n = 0;
  EXPECT_FALSE(reader.Start(buf, sizeof(buf), &n));
  EXPECT_EQ(sys::LastError(), ERROR_BROKEN_PIPE);
  EXPECT_FALSE(writer.Start(const_cast<char*>("lost"), 4, &n));
  EXPECT_EQ(sys::LastError(), ERROR_BROKEN_PIPE);

  App app(Com(3));
  ASSERT_TRUE(reader.Start(buf, sizeof(buf), &n) == false);
  ASSERT_EQ(sys::LastError(), ERROR_IO_PENDING);
  sys::Event never;
  ASSERT_TRUE(app.Write("abc"));
  EXPECT_EQ(sys::WaitAny({never, reader.Completion()}, 5000), 1u);
  ASSERT_TRUE(reader.Result(&n));
  EXPECT_EQ(std::string(buf, n), "abc");
  ASSERT_TRUE(writer.Start(const_cast<char*>("xyz"), 3, &n));
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(app.Read(3, 2000), "xyz");

  // A pending read ends with a broken pipe when the application closes.
  ASSERT_FALSE(reader.Start(buf, sizeof(buf), &n));
  ASSERT_EQ(sys::LastError(), ERROR_IO_PENDING);
  app.Close();
  EXPECT_EQ(sys::WaitAny({never, reader.Completion()}, 5000), 1u);
  EXPECT_FALSE(reader.Result(&n));
  EXPECT_EQ(sys::LastError(), ERROR_BROKEN_PIPE);
}

TEST_F(Vcomd, ABufferThatStaysFullHoldsTheDeviceSide) {
  sys::VirtualSerialPort port;
  ASSERT_TRUE(port.Open(Interface(3)));
  sys::VirtualSerialIo writer(port, sys::VirtualSerialIo::Kind::Write);
  App app(Com(3));
  // The application does not read: the write fills its buffer and pends.
  std::vector<char> big(65536, 'f');
  std::uint32_t n = 0;
  ASSERT_FALSE(writer.Start(big.data(), static_cast<std::uint32_t>(big.size()), &n));
  ASSERT_EQ(sys::LastError(), ERROR_IO_PENDING);
  // Keep the pending write going, as the port's write thread does.
  EXPECT_TRUE(WaitFor(
      [&] {
        std::uint32_t done = 0;
        if (writer.IsPending() && sys::WaitAny({writer.Completion()}, 0) == 0) writer.Result(&done);
        return Info(port).hold == 1;
      },
      2000));
  // Reading drains it: the hold clears and the pending write completes.
  std::string got;
  EXPECT_TRUE(WaitFor(
      [&] {
        got += app.Read(big.size() - got.size(), 20);
        std::uint32_t done = 0;
        if (writer.IsPending() && sys::WaitAny({writer.Completion()}, 0) == 0) writer.Result(&done);
        return got.size() == big.size() && !writer.IsPending();
      },
      5000));
  EXPECT_EQ(got, std::string(big.begin(), big.end()));
  EXPECT_EQ(Info(port).hold, 0u);
}

TEST_F(Vcomd, DataNeverCrossesFromOneOpeningToTheNext) {
  sys::VirtualSerialPort port;
  ASSERT_TRUE(port.Open(Interface(3)));
  sys::VirtualSerialIo writer(port, sys::VirtualSerialIo::Kind::Write);
  std::uint32_t n = 0;
  {
    App app(Com(3));
    ASSERT_TRUE(writer.Start(const_cast<char*>("for the first"), 13, &n));
  }  // closed unread
  // Once the driver has seen the close (its answers come after its own events),
  // the next opening starts empty.
  ASSERT_TRUE(WaitFor([&] { return Control("status").find("COM3 connected=0") != std::string::npos; }, 2000));
  App next(Com(3));
  EXPECT_EQ(next.Read(1, 300), "");
  ASSERT_TRUE(writer.Start(const_cast<char*>("second"), 6, &n));
  EXPECT_EQ(next.Read(6, 2000), "second");
}

// What the application wrote while it had COM<n> open belongs to that opening:
// offered to the device side before the close shows, or dropped with it when
// no device side was there, never read as part of the next opening.
TEST_F(Vcomd, ApplicationDataStaysWithItsOpening) {
  const struct {
    const char* name;
    bool deviceSideDuring;  // the interface is open while the first opening writes
    bool leavesUnread;      // ... and is closed before it reads
  } cases[] = {
      {"device side there: offered before the close shows", true, false},
      {"device side leaves without reading: dropped", true, true},
      {"no device side: dropped with the opening", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sys::VirtualSerialPort port;
    if (c.deviceSideDuring) {
      ASSERT_TRUE(WaitFor([&] { return port.Open(Interface(3)); }, 2000));
    }
    {
      App app(Com(3));
      ASSERT_TRUE(app.IsOpen());
      ASSERT_TRUE(app.Write("first"));
    }  // closed at once, before anyone polled
    // Answers come after the driver's own events: it has seen the close.
    Control("status");
    if (c.deviceSideDuring && !c.leavesUnread) {
      sys::VirtualSerialIo reader(port, sys::VirtualSerialIo::Kind::Read);
      EXPECT_EQ(ReadOpening(port, reader, 0), "first");
    } else {
      port.Close();
      ASSERT_TRUE(WaitFor([&] { return port.Open(Interface(3)); }, 2000));
      EXPECT_EQ(Info(port).connected, 0u);  // nothing left to offer
    }
    App next(Com(3));
    ASSERT_TRUE(next.IsOpen());
    ASSERT_TRUE(next.Write("second"));
    sys::VirtualSerialIo reader(port, sys::VirtualSerialIo::Kind::Read);
    EXPECT_EQ(ReadOpening(port, reader, 6), "second");
  }
}

// What the device side wrote and the application left unread is gone for the
// next opener, also when it opens right after the close.
TEST_F(Vcomd, UnreadDataNeverReachesTheNextOpener) {
  const struct {
    const char* name;
    bool waitForClose;  // the next opener comes after the driver saw the close
  } cases[] = {
      {"reopened at once", false},
      {"reopened after the close was seen", true},
  };
  // One device side throughout, as the port service has; the quick reopen
  // races the driver's events, so it is repeated to meet the race.
  sys::VirtualSerialPort port;
  ASSERT_TRUE(port.Open(Interface(3)));
  sys::VirtualSerialIo writer(port, sys::VirtualSerialIo::Kind::Write);
  for (int round = 0; round < 10; ++round) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", round " + std::to_string(round));
      std::uint32_t n = 0;
      auto first = std::make_unique<App>(Com(3));
      ASSERT_TRUE(first->IsOpen());
      // As the port service does: it writes once it has heard of the opening.
      ASSERT_EQ(Info(port).connected, 1u);
      ASSERT_TRUE(writer.Start(const_cast<char*>("old"), 3, &n));
      // The bytes wait in the application's input, unread.
      ASSERT_TRUE(WaitFor([&] { return Unread(first->Fd()) == 3; }, 2000));
      first.reset();
      if (c.waitForClose) {
        ASSERT_TRUE(WaitFor([&] { return Control("status").find("COM3 connected=0") != std::string::npos; }, 2000));
      }
      App next(Com(3));
      ASSERT_TRUE(next.IsOpen());
      // The driver answers after its own events: it has seen the close and the
      // opening when this comes back.
      EXPECT_EQ(Info(port).connected, 1u);
      ASSERT_TRUE(writer.Start(const_cast<char*>("new"), 3, &n));
      EXPECT_EQ(next.Read(3, 2000), "new");
    }
  }
}

// The device side drops what a closed opening left unread itself, before its
// first write into the next one: also while vcomd is too slow to (stopped).
TEST_F(Vcomd, TheDeviceSideDropsAClosedOpeningsInputBeforeItWritesAgain) {
  sys::VirtualSerialPort port;
  ASSERT_TRUE(port.Open(Interface(3)));
  sys::VirtualSerialIo writer(port, sys::VirtualSerialIo::Kind::Write);
  std::uint32_t n = 0;
  auto first = std::make_unique<App>(Com(3));
  ASSERT_EQ(Info(port).connected, 1u);
  ASSERT_TRUE(writer.Start(const_cast<char*>("old"), 3, &n));
  ASSERT_TRUE(WaitFor([&] { return Unread(first->Fd()) == 3; }, 2000));
  daemon.Signal(SIGSTOP);
  first.reset();
  App next(Com(3));
  ASSERT_TRUE(next.IsOpen());
  EXPECT_TRUE(writer.Start(const_cast<char*>("new"), 3, &n));
  EXPECT_EQ(next.Read(3, 2000), "new");
  daemon.Signal(SIGCONT);
}

TEST_F(Vcomd, MalformedInputGetsAnErrorOrAClosedConnection) {
  // Interface socket: a request of the wrong size closes that connection only.
  {
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof(a.sun_path), "%s", sys::ToUtf8(Interface(5)).c_str());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    char reply[64];
    ASSERT_GT(::recv(fd, reply, sizeof(reply), 0), 0);
    const std::string garbage[] = {"x", std::string(200, '\xff'), std::string(sizeof(vcom::IoRequest), '\0')};
    ::send(fd, garbage[0].data(), garbage[0].size(), MSG_NOSIGNAL);
    EXPECT_TRUE(WaitFor([&] { return ::recv(fd, reply, sizeof(reply), MSG_DONTWAIT) == 0; }, 2000));
    ::close(fd);
  }
  const struct {
    std::string line;
    std::string answer;
  } lines[] = {
      {"bogus", "ERR unknown command\n"},     {"hold", "ERR usage: hold <n> <0|1>\n"},
      {"hold 3 2", "ERR usage: hold <n> <0|1>\n"}, {"hold x 1", "ERR usage: hold <n> <0|1>\n"},
      {"hold 9 1", "ERR no COM9\n"},          {"hold 3 1 extra", "ERR usage: hold <n> <0|1>\n"},
      {"", "ERR unknown command\n"},
  };
  for (const auto& l : lines) EXPECT_EQ(Control(l.line), l.answer) << l.line;
  // An endless line is cut off; the daemon serves on.
  EXPECT_EQ(Control(std::string(5000, 'a')), "");
  EXPECT_NE(Control("status").find("COM5 connected=0"), std::string::npos);
  sys::VirtualSerialPort port;
  EXPECT_TRUE(port.Open(Interface(5)));
}

std::size_t CountLines(const std::vector<std::string>& lines, const std::string& text) {
  std::size_t n = 0;
  for (const auto& l : lines) n += l == text;
  return n;
}

// An application that opens, writes and closes at once, well within the port
// service's polling period: its bytes reach the device between the PortReady
// TRUE and FALSE of that opening, and never in the next one's.
TEST(VcomdWithThePortService, EachQuickOpeningIsDeliveredWithinItsOwnReadiness) {
  const char* lib = "LdHidBridge.so";
  PortSystem sys(PortSystemOptions{});
  ASSERT_TRUE(sys.Start()) << sys.ServiceOutput();
  ASSERT_TRUE(WaitFor([&] { return CountLines(sys.PluginLines(lib), "SetReadyToReceive(TRUE)=1") > 0; }, 15000))
      << sys.ServiceOutput();
  const std::string openings[] = {"first", "second\r\n", std::string("\x1b@\x00third", 8)};
  std::size_t closed = 0;
  for (const auto& text : openings) {
    SCOPED_TRACE(zoltest::Hex(text));
    {
      App app(sys.ComPath(5));
      ASSERT_TRUE(app.IsOpen());
      ASSERT_TRUE(app.Write(text));
    }
    ++closed;
    ASSERT_TRUE(WaitFor([&] { return CountLines(sys.PluginLines(lib), "PortReady 0") >= closed; }, 5000))
        << "the opening never showed to the device";
  }
  // The device's view, one entry per readiness: the bytes it received.
  std::vector<std::string> seen;
  bool ready = false;
  for (const auto& l : sys.PluginLines(lib)) {
    if (l == "PortReady 1") {
      ready = true;
      seen.emplace_back();
    } else if (l == "PortReady 0") {
      ready = false;
    } else if (l.rfind("DataReceived ", 0) == 0) {
      ASSERT_TRUE(ready) << "bytes outside an opening: " << l;
      std::size_t sp = l.find(' ', 13);
      seen.back() += sp == std::string::npos ? "" : l.substr(sp + 1);
    }
  }
  std::vector<std::string> expected;
  for (const auto& text : openings) expected.push_back(zoltest::Hex(text));
  EXPECT_EQ(seen, expected);
}

// An interface whose peer never accepts, never answers, or answers late: each
// call comes back with a timeout instead of waiting for ever, and a late
// answer is never taken for the answer to a later question.
TEST(VirtualSerialPeer, AStuckDriverCostsABoundedWait) {
  TempDir tmp;
  const std::string path = tmp.Path() + "/ZOL_COM7";
  auto listening = [&](int backlog) {
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof(a.sun_path), "%s", path.c_str());
    ::unlink(path.c_str());
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    EXPECT_EQ(::listen(fd, backlog), 0);
    return fd;
  };
  auto bounded = [](const std::function<bool()>& call) {
    auto t0 = std::chrono::steady_clock::now();
    bool ok = call();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(8));
    return ok;
  };
  for (int backlog : {8, 0}) {
    SCOPED_TRACE(backlog == 8 ? "never accepts" : "backlog full");
    int listener = listening(backlog);
    int queued = -1;
    if (backlog == 0) {
      queued = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
      sockaddr_un a{};
      a.sun_family = AF_UNIX;
      std::snprintf(a.sun_path, sizeof(a.sun_path), "%s", path.c_str());
      ASSERT_EQ(::connect(queued, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    }
    sys::VirtualSerialPort port;
    EXPECT_FALSE(bounded([&] { return port.Open(sys::FromUtf8(path)); }));
    EXPECT_EQ(sys::LastError(), ERROR_TIMEOUT);
    if (queued >= 0) ::close(queued);
    ::close(listener);
  }

  // Opens, then answers no question until the third, and then all three.
  int listener = listening(8);
  std::thread peer([&] {
    int conn = ::accept(listener, nullptr, nullptr);
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ::grantpt(master);
    ::unlockpt(master);
    vcom::SendOpening(conn, master, -1);  // an older vcomd: no state page
    vcom::IoRequest req{};
    for (std::uint32_t n = 1; ::recv(conn, &req, sizeof(req), 0) == static_cast<ssize_t>(sizeof(req)); ++n) {
      if (n < 3) continue;
      for (std::uint32_t connected : {7u, 8u, 1u}) {
        struct {
          vcom::IoReply reply;
          std::uint32_t info[3];
        } answer{{vcom::kMagic, 0, 12}, {connected, 0, 0}};
        ::send(conn, &answer, sizeof(answer), MSG_NOSIGNAL);
      }
    }
    ::close(master);
    ::close(conn);
  });
  {
    sys::VirtualSerialPort port;
    ASSERT_TRUE(bounded([&] { return port.Open(sys::FromUtf8(path)); }));
    sys::ZOL_INFO info{};
    std::uint32_t got = 0;
    for (std::uint32_t code : {sys::IOCTL_VIRTUAL_SERIAL_GET_ZOL_INFO, sys::IOCTL_VIRTUAL_SERIAL_SET_RCVRDY}) {
      EXPECT_FALSE(bounded([&] { return port.IoControl(code, &info, sizeof(info), &got); }));
      EXPECT_EQ(sys::LastError(), ERROR_TIMEOUT);
    }
    ASSERT_TRUE(port.IoControl(sys::IOCTL_VIRTUAL_SERIAL_GET_ZOL_INFO, &info, sizeof(info), &got));
    EXPECT_EQ(info.connected, 1u);
  }
  peer.join();
  ::close(listener);
}

// The test plug-in's lines for bytes (hex) it received from the application.
std::size_t DataLines(PortSystem& sys, const char* lib, const std::string& hex) {
  return CountLines(sys.PluginLines(lib), "DataReceived " + std::to_string(hex.size() / 2) + " " + hex);
}

// vcomd killed and started again: the port finds it, says so in a bounded
// number of lines, and the application's bytes flow both ways again.
TEST(VcomdWithThePortService, APortFindsVcomdAgainAfterKill9) {
  const char* lib = "LdHidBridge.so";
  PortSystem sys(PortSystemOptions{});
  ASSERT_TRUE(sys.Start()) << sys.ServiceOutput();
  const std::string failed = "ZolPort::GetZolInfo - COM5 IOCTL_VIRTUAL_SERIAL_GET_ZOL_INFO failed";
  auto dataLines = [&](const std::string& hex) { return DataLines(sys, lib, hex); };
  {
    App app(sys.ComPath(5));
    ASSERT_TRUE(app.Write("one"));
    ASSERT_TRUE(WaitFor([&] { return dataLines(zoltest::Hex("one")) == 1; }, 10000)) << sys.ServiceOutput();
    std::string oldSlave = fs::read_symlink(sys.ComPath(5));
    sys.Vcomd().Kill();
    // Every write of the device asks the driver, which is gone.
    for (std::size_t n = 1; n <= 5; ++n) {
      ASSERT_TRUE(sys.Command(lib, "write 100 41"));
      ASSERT_TRUE(WaitFor([&] { return CountContaining(sys.PluginLines(lib), "Write rc=11 ") >= n; },
                          10000));
    }
    app.Close();
    ASSERT_TRUE(sys.StartVcomd());
    ASSERT_TRUE(WaitFor([&] { return fs::read_symlink(sys.ComPath(5)) != oldSlave; }, 5000));
  }
  ASSERT_TRUE(sys.WaitLog("ZolPort::GetZolInfo - COM5 answered again after", 10000)) << sys.ServiceOutput();
  App app(sys.ComPath(5));
  ASSERT_TRUE(app.IsOpen());
  ASSERT_TRUE(WaitFor(
      [&] {
        app.Write("two");
        return dataLines(zoltest::Hex("two")) > 0;
      },
      10000));
  ASSERT_TRUE(sys.Command(lib, "write 1000 6261636b"));
  EXPECT_EQ(app.Read(4, 5000), "back");
  EXPECT_EQ(CountContaining(sys.LogLines(), failed), 1u);
}

// An application that sets the exclusive flag before vcomd's own opening of
// the port comes (vcomd, run as its unit runs it, may not pass the flag)
// leaves it on at its close: vcomd gives the port a new pty, other users open
// it again, and the port service follows without a failed query.
TEST(VcomdWithThePortService, AnExclusiveFlagLeftByTheApplicationLocksNobodyOut) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run vcomd and the application as other users";
  const group* dialout = ::getgrnam("dialout");
  if (!dialout) GTEST_SKIP() << "no dialout";
  const gid_t dialoutGid = dialout->gr_gid;
  const char* lib = "LdHidBridge.so";
  PortSystemOptions options;
  options.vcomdAsItsUnit = true;
  PortSystem sys(options);
  ASSERT_TRUE(sys.Start()) << sys.ServiceOutput();
  const auto openAsUser = [&] { return OpenPortAsNobody(fs::read_symlink(sys.ComPath(5)), {dialoutGid}); };
  const auto stopped = [&] {
    std::string stat = ReadText("/proc/" + std::to_string(sys.Vcomd().Pid()) + "/stat");
    std::size_t end = stat.rfind(')');
    return end != std::string::npos && stat.compare(end + 1, 3, " T ") == 0;
  };
  {
    sys.Vcomd().Signal(SIGSTOP);
    ASSERT_TRUE(WaitFor(stopped));
    App app(sys.ComPath(5));
    const int flagged = app.IsOpen() ? ::ioctl(app.Fd(), TIOCEXCL) : -1;
    sys.Vcomd().Signal(SIGCONT);
    ASSERT_EQ(flagged, 0);
    EXPECT_EQ(openAsUser(), EBUSY);
    ASSERT_TRUE(app.Write("one"));
    ASSERT_TRUE(WaitFor([&] { return DataLines(sys, lib, zoltest::Hex("one")) == 1; }, 10000)) << sys.ServiceOutput();
  }
  EXPECT_TRUE(WaitFor([&] { return openAsUser() == 0; })) << openAsUser();
  EXPECT_NE(ReadText(sys.Temp() + "/vcomd.out").find("vcomd: COM5 was left exclusive by its last application: "),
            std::string::npos)
      << ReadText(sys.Temp() + "/vcomd.out");
  App app(sys.ComPath(5));
  ASSERT_TRUE(app.IsOpen());
  ASSERT_TRUE(WaitFor(
      [&] {
        app.Write("two");
        return DataLines(sys, lib, zoltest::Hex("two")) > 0;
      },
      10000));
  ASSERT_TRUE(sys.Command(lib, "write 1000 6261636b"));
  EXPECT_EQ(app.Read(4, 5000), "back");
  EXPECT_EQ(CountContaining(sys.LogLines(), "IOCTL_VIRTUAL_SERIAL_GET_ZOL_INFO failed"), 0u);
}

TEST_F(Vcomd, SigtermRemovesItsFiles) {
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitExit(5000), 0);
  EXPECT_FALSE(fs::exists(root + "/run/zol/vcomd.ctl"));
  EXPECT_FALSE(fs::is_symlink(Com(3)));
  EXPECT_FALSE(fs::is_symlink(Com(5)));
  EXPECT_TRUE(sys::ListVirtualSerialInterfaces().paths.empty());
}

}  // namespace
