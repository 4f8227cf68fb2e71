// The service host in a real process: console signals, the dispatcher
// without and with a manager, install and remove against a stand-in
// systemctl, and the crash report.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <regex>

#include "common/servicehost/ServiceHost.h"
#include "tests/support/NotifySocket.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using zoltest::Child;
using E = svchost::HostEvent;

struct Event {
  int event;
  unsigned code;
  bool operator==(const Event&) const = default;
};

std::ostream& operator<<(std::ostream& o, const Event& e) { return o << "{" << e.event << "," << std::hex << e.code << "}"; }

Event Ev(E e, unsigned code = 0) { return {static_cast<int>(e), code}; }

std::vector<Event> Events(const std::string& out) {
  std::vector<Event> v;
  std::regex re(R"(event (\d+) ([0-9a-f]+))");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), re); it != std::sregex_iterator(); ++it) {
    v.push_back({std::stoi((*it)[1]), static_cast<unsigned>(std::stoul((*it)[2], nullptr, 16))});
  }
  return v;
}

// A temporary root with the probe, a stand-in systemctl first on PATH that
// records its calls, and an optional notify socket.
struct Host {
  zoltest::TempDir dir;
  fs::path exe;
  fs::path record;
  fs::path unitFile;
  std::vector<std::string> env;

  Host() {
    exe = zoltest::CopyProgram("zol_host_probe", dir.Dir());
    fs::path stub = dir.Dir() / "stub";
    fs::create_directories(stub);
    record = dir.Dir() / "systemctl.calls";
    zoltest::WriteFile(stub / "systemctl",
                       "#!/bin/sh\n"
                       "echo \"$*\" >> \"" + record.string() + "\"\n"
                       "case \"$1\" in\n"
                       "  is-active) echo \"${STUB_STATE:-inactive}\"; [ \"${STUB_STATE:-inactive}\" = active ] && exit 0; exit 3;;\n"
                       "  enable) exit ${STUB_ENABLE_RC:-0};;\n"
                       "esac\n"
                       "exit 0\n");
    fs::permissions(stub / "systemctl", fs::perms::owner_all);
    unitFile = dir.Dir() / "etc/systemd/system/ZOLPROBE.service";
    const char* path = std::getenv("PATH");
    env = {"ZOL_SYSROOT=" + dir.Dir().string(), "PATH=" + stub.string() + ":" + (path ? path : "/usr/bin:/bin")};
  }

  std::unique_ptr<Child> Start(const std::vector<std::string>& args, std::vector<std::string> extraEnv = {}) {
    std::vector<std::string> all = env;
    all.insert(all.end(), extraEnv.begin(), extraEnv.end());
    return std::make_unique<Child>(exe, args, dir.Dir(), all);
  }

  // Runs a command to its end; returns its events.
  std::vector<Event> Run(const std::vector<std::string>& args, std::vector<std::string> extraEnv = {}) {
    auto c = Start(args, extraEnv);
    EXPECT_TRUE(c->Wait());
    EXPECT_TRUE(c->Exited());
    EXPECT_EQ(c->ExitCode(), 0);
    return Events(c->Out());
  }

  std::string Calls() const { return fs::exists(record) ? zoltest::ReadText(record) : ""; }
};

TEST(HostProcess, ConsoleWordInAnyCaseStopsOnCtrlCAndCtrlBreak) {
  for (const char* word : {"console", "Console", "CONSOLE"}) {
    for (int sig : {SIGINT, SIGQUIT}) {
      Host host;
      auto c = host.Start({word, "ignored"});
      ASSERT_TRUE(zoltest::WaitFor([&] { return c->Out().find("process running") != std::string::npos; }));
      c->Signal(sig);
      ASSERT_TRUE(c->Wait()) << word << " " << sig;
      EXPECT_TRUE(c->Exited());
      EXPECT_EQ(c->ExitCode(), 0);
      EXPECT_NE(c->Out().find("process stopped"), std::string::npos);
      EXPECT_EQ(Events(c->Out()), (std::vector<Event>{Ev(E::EndServiceEntered), Ev(E::EndServiceExiting)}))
          << word << " " << sig;
    }
  }
}

TEST(HostProcess, AnyOtherWordFailsToReachTheManagerAndExitsWithZero) {
  const std::vector<std::vector<std::string>> argLists = {{}, {"foo"}, {"consoles"}, {"now", "console"}};
  for (const auto& args : argLists) {
    Host host;
    EXPECT_EQ(host.Run(args), (std::vector<Event>{Ev(E::RunServiceEntered), Ev(E::DispatcherFailed, 1063),
                                                  Ev(E::RunServiceExiting)}))
        << (args.empty() ? "" : args[0]);
  }
}

TEST(HostProcess, InstallWritesANotifyUnitAndEnablesIt) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"install"}, {"INSTALL", "now"}}) {
    Host host;
    EXPECT_EQ(host.Run(args), (std::vector<Event>{Ev(E::InstallEntered), Ev(E::Installed), Ev(E::InstallExiting)}));
    ASSERT_TRUE(fs::exists(host.unitFile));
    std::string unit = zoltest::ReadText(host.unitFile);
    EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nExecStart=\"" + host.exe.string() + "\"\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("Description=Probe Service\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("[Install]\nWantedBy=multi-user.target"), std::string::npos) << unit;
    EXPECT_EQ(host.Calls(), "daemon-reload\nenable ZOLPROBE.service\n");
    // A second install finds the service there.
    EXPECT_EQ(host.Run({"install"}),
              (std::vector<Event>{Ev(E::InstallEntered), Ev(E::InstallCreateFailed, 1073), Ev(E::InstallExiting)}));
    EXPECT_EQ(host.Calls(), "daemon-reload\nenable ZOLPROBE.service\n");
  }
}

TEST(HostProcess, InstallThatCannotEnableLeavesNoUnit) {
  Host host;
  auto events = host.Run({"install"}, {"STUB_ENABLE_RC=1"});
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1].event, static_cast<int>(E::InstallCreateFailed));
  EXPECT_NE(events[1].code, 0u);
  EXPECT_FALSE(fs::exists(host.unitFile));
}

TEST(HostProcess, RemoveOnlyWhenStopped) {
  struct Case {
    const char* state;
    std::vector<Event> events;
    bool unitStays;
    std::string calls;
  };
  const std::vector<Case> cases = {
      {"active", {Ev(E::UninstallEntered), Ev(E::UninstallStillRunning), Ev(E::UninstallExiting)}, true,
       "is-active ZOLPROBE.service\n"},
      {"activating", {Ev(E::UninstallEntered), Ev(E::UninstallStillRunning), Ev(E::UninstallExiting)}, true,
       "is-active ZOLPROBE.service\n"},
      {"inactive", {Ev(E::UninstallEntered), Ev(E::Removed), Ev(E::UninstallExiting)}, false,
       "is-active ZOLPROBE.service\ndisable ZOLPROBE.service\ndaemon-reload\n"},
      {"failed", {Ev(E::UninstallEntered), Ev(E::Removed), Ev(E::UninstallExiting)}, false,
       "is-active ZOLPROBE.service\ndisable ZOLPROBE.service\ndaemon-reload\n"},
  };
  for (const auto& c : cases) {
    Host host;
    host.Run({"install"});
    fs::remove(host.record);
    EXPECT_EQ(host.Run({"Remove"}, {std::string("STUB_STATE=") + c.state}), c.events) << c.state;
    EXPECT_EQ(fs::exists(host.unitFile), c.unitStays) << c.state;
    EXPECT_EQ(host.Calls(), c.calls) << c.state;
  }
  Host notInstalled;
  fs::create_directories(notInstalled.unitFile.parent_path());
  EXPECT_EQ(notInstalled.Run({"remove"}), (std::vector<Event>{Ev(E::UninstallEntered),
                                                              Ev(E::UninstallOpenServiceFailed, 1060),
                                                              Ev(E::UninstallExiting)}));
}

using zoltest::NotifySocket;

TEST(HostProcess, ServiceModeReportsItsStatesAndStopsOnSigterm) {
  Host host;
  NotifySocket notify;
  auto c = host.Start({}, {notify.Env()});
  EXPECT_EQ(notify.Next(), "STATUS=Starting");
  EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=Running");
  ASSERT_TRUE(zoltest::WaitFor([&] { return c->Out().find("process running") != std::string::npos; }));
  c->Signal(SIGTERM);
  ASSERT_TRUE(c->Wait());
  // The handler's last report races the service's stop: it repeats either
  // "stopping" before the stop or "stopped" after it, never a stale state.
  std::vector<std::string> states;
  for (std::string m; !(m = notify.Next(0ms)).empty();) states.push_back(m);
  const std::string stopping = "STOPPING=1\nSTATUS=Stopping";
  const std::string stopped = "STATUS=Stopped";
  EXPECT_TRUE(states == (std::vector<std::string>{stopping, stopping, stopping, stopped}) ||
              states == (std::vector<std::string>{stopping, stopping, stopped, stopped}))
      << ::testing::PrintToString(states);
  EXPECT_EQ(c->ExitCode(), 0);
  // The control handler runs on a thread of its own: once it has signalled the
  // stop, its exit and the service's stop race each other.
  std::vector<Event> events = Events(c->Out());
  auto handlerExit = std::find(events.begin(), events.end(), Ev(E::ControlHandlerExiting));
  ASSERT_NE(handlerExit, events.end());
  const auto exitAt = handlerExit - events.begin();
  events.erase(handlerExit);
  EXPECT_EQ(events, (std::vector<Event>{Ev(E::RunServiceEntered), Ev(E::ServiceMainEntered), Ev(E::ServiceRunning),
                                        Ev(E::ControlHandlerEntered), Ev(E::ControlStopPending),
                                        Ev(E::ServiceStopped), Ev(E::ServiceMainExiting), Ev(E::RunServiceExiting)}));
  EXPECT_GE(exitAt, 5) << "the handler leaves after it reported the stop as pending";
}

TEST(HostProcess, ServiceWhoseWorkFailsStopsAtOnceWithExitCodeZero) {
  Host host;
  NotifySocket notify;
  auto c = host.Start({}, {notify.Env(), "ZOL_HOST_PROBE_FAIL=1"});
  ASSERT_TRUE(c->Wait());
  EXPECT_EQ(c->ExitCode(), 0);
  std::vector<std::string> states;
  for (std::string m; !(m = notify.Next(0ms)).empty();) states.push_back(m);
  EXPECT_EQ(states, (std::vector<std::string>{"STATUS=Starting", "READY=1\nSTATUS=Running",
                                              "STOPPING=1\nSTATUS=Stopping", "STATUS=Stopped"}));
  EXPECT_EQ(Events(c->Out()),
            (std::vector<Event>{Ev(E::RunServiceEntered), Ev(E::ServiceMainEntered), Ev(E::ServiceRunning),
                                Ev(E::ProcessFailed, 0x80004005u), Ev(E::ServiceStopped), Ev(E::ServiceMainExiting),
                                Ev(E::RunServiceExiting)}));
}

// Under the address sanitizer its own fault handler must stand aside.
const std::string kAsanOptions = "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_abort=0";

// Runs the probe in console mode until its fault ends it.
std::unique_ptr<Child> Crash(Host& host, const std::string& how) {
  auto c = host.Start({"console"}, {how, kAsanOptions});
  EXPECT_TRUE(c->Wait());
  EXPECT_TRUE(c->Signalled()) << "the process ends by its fault";
  return c;
}

fs::perms Mode(const fs::path& p) { return fs::symlink_status(p).permissions(); }

TEST(HostProcess, CrashWritesAReportWithoutMemoryContentsOnAnyThread) {
  const struct {
    const char* name;
    std::string how;
    bool worker;  // on a thread other than the main one
  } cases[] = {
      {"null access", "ZOL_HOST_PROBE_CRASH=10", false},
      {"stack overflow, main thread", "ZOL_HOST_PROBE_OVERFLOW=main", false},
      {"stack overflow, worker thread", "ZOL_HOST_PROBE_OVERFLOW=thread", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Host host;  // its folder is missing: the handler makes it
    const fs::path folder = host.dir.Dir() / "var/lib/zol";
    const fs::path report = folder / "8350service.dmp";
    auto probe = Crash(host, c.how);
    EXPECT_NE(probe->Out().find("dumpable=0"), std::string::npos) << "no core dump of a service";
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(report)));
    EXPECT_EQ(Mode(folder), fs::perms::owner_all);
    EXPECT_EQ(Mode(report), fs::perms::owner_read | fs::perms::owner_write);
    std::string text = zoltest::ReadText(report);
    EXPECT_NE(text.find("signal 11 SIGSEGV\n"), std::string::npos) << text;
    if (c.how == "ZOL_HOST_PROBE_CRASH=10") {
    EXPECT_NE(text.find("\naddress 0x10\n"), std::string::npos) << text;
    }
    std::smatch ids;
    ASSERT_TRUE(std::regex_search(text, ids, std::regex(R"(\nprocess (\d+)\nthread (\d+)\n)"))) << text;
    EXPECT_EQ(ids[1] != ids[2], c.worker) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(backtrace:\n(.+\n){2,})"))) << text;
    EXPECT_EQ(text.find("4111111111111111"), std::string::npos);
    EXPECT_LT(text.size(), 64u * 1024);
  }
}

// Whatever was planted at the report's name, and a folder that others may
// write, never lead the report onto another file.
TEST(HostProcess, CrashReportFollowsNoPlantedLinkAndShunsAFolderOthersControl) {
  const struct {
    const char* name;
    fs::perms mode;
    uid_t owner;  // 0: the test's own user
    bool written;
  } cases[] = {
      {"service's folder", fs::perms::owner_all, 0, true},
      {"world-writable folder", fs::perms::all, 0, false},
      {"another user's folder", fs::perms::owner_all | fs::perms::others_all, 4321, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.owner != 0 && ::geteuid() != 0) GTEST_SKIP() << "giving a folder away takes root";
    Host host;
    const fs::path folder = host.dir.Dir() / "var/lib/zol";
    const fs::path report = folder / "8350service.dmp";
    const fs::path victim = host.dir.Dir() / "victim";
    fs::create_directories(folder);
    zoltest::WriteFile(victim, "victim");
    fs::create_symlink(victim, report);
    fs::permissions(folder, c.mode);
    if (c.owner != 0) {
    ASSERT_EQ(::chown(folder.c_str(), c.owner, c.owner), 0);
    }
    Crash(host, "ZOL_HOST_PROBE_CRASH=10");
    EXPECT_EQ(zoltest::ReadText(victim), "victim");
    EXPECT_EQ(fs::is_regular_file(fs::symlink_status(report)), c.written);
    if (c.written) {
    EXPECT_NE(zoltest::ReadText(report).find("signal 11 SIGSEGV\n"), std::string::npos);
    }
  }
}

}  // namespace
