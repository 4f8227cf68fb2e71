// The port service as a process between vcomd and the test plug-in, with the
// test as the application on the COM ports.
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>

#include "tests/service/PortSystem.h"
#include "tests/support/Hex.h"

using namespace porttest;

namespace {

constexpr const char* kMsr = "MsrHidBridge.so";
constexpr const char* kLd = "LdHidBridge.so";

bool HasLine(const std::vector<std::string>& lines, const std::string& text) {
  for (const auto& l : lines)
    if (l == text) return true;
  return false;
}

// Index of the first line equal to text at or after from, or npos.
std::size_t FindFrom(const std::vector<std::string>& lines, const std::string& text, std::size_t from) {
  for (std::size_t i = from; i < lines.size(); ++i)
    if (lines[i] == text) return i;
  return std::string::npos;
}

bool WaitPluginLine(PortSystem& sys, const std::string& lib, const std::string& text, int timeoutMs = 5000) {
  return WaitFor([&] { return HasLine(sys.PluginLines(lib), text); }, timeoutMs);
}

// Waits for a new Write record after `before` records and returns it.
std::string NextWrite(PortSystem& sys, const std::string& lib, std::size_t before, int timeoutMs = 5000) {
  std::string found;
  WaitFor(
      [&] {
        std::size_t seen = 0;
        for (const auto& l : sys.PluginLines(lib)) {
          if (l.rfind("Write rc=", 0) == 0 && ++seen > before) {
            found = l;
            return true;
          }
        }
        return false;
      },
      timeoutMs);
  return found;
}

std::size_t WriteCount(PortSystem& sys, const std::string& lib) {
  std::size_t n = 0;
  for (const auto& l : sys.PluginLines(lib)) n += l.rfind("Write rc=", 0) == 0;
  return n;
}

std::string Received(PortSystem& sys, const std::string& lib) {
  std::string hex;
  for (const auto& l : sys.PluginLines(lib)) {
    if (l.rfind("DataReceived ", 0) != 0) continue;
    std::size_t sp = l.find(' ', 13);
    if (sp != std::string::npos) hex += l.substr(sp + 1);
  }
  return hex;
}

std::size_t CountEntries(const std::string& dir) {
  std::size_t n = 0;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}

// The system with both test devices running and the registry asking for its ports.
class PortServiceTest : public ::testing::Test {
 protected:
  void StartSystem(PortSystemOptions options = {}) {
    sys = std::make_unique<PortSystem>(std::move(options));
    ASSERT_TRUE(sys->Start()) << "cannot start the system";
  }
  void WaitReady(const std::string& lib) {
    ASSERT_TRUE(WaitPluginLine(*sys, lib, "SetReadyToReceive(TRUE)=1", 15000)) << sys->ServiceOutput();
  }
  std::unique_ptr<PortSystem> sys;
};

TEST_F(PortServiceTest, PortReadyFollowsTheApplicationOpeningAndClosingTheCom) {
  StartSystem();
  WaitReady(kMsr);
  // Nothing is ready while no application has the port open.
  EXPECT_EQ(CountContaining(sys->PluginLines(kMsr), "PortReady"), 0u);
  EXPECT_NE(sys->Control("status").find("COM3 connected=0 hold=0 rcvrdy=1"), std::string::npos);

  App app(sys->ComPath(3));
  ASSERT_TRUE(app.IsOpen());
  ASSERT_TRUE(WaitPluginLine(*sys, kMsr, "PortReady 1"));
  app.Close();
  ASSERT_TRUE(WaitPluginLine(*sys, kMsr, "PortReady 0"));
  std::size_t firstFalse = FindFrom(sys->PluginLines(kMsr), "PortReady 0", 0);

  App again(sys->ComPath(3));
  ASSERT_TRUE(WaitFor([&] { return FindFrom(sys->PluginLines(kMsr), "PortReady 1", firstFalse) != std::string::npos; },
                      5000));
  // The other port never saw an application.
  EXPECT_EQ(CountContaining(sys->PluginLines(kLd), "PortReady"), 0u);
}

TEST_F(PortServiceTest, BytesFromTheApplicationReachDataReceivedUnchanged) {
  StartSystem();
  WaitReady(kLd);
  App app(sys->ComPath(5));
  ASSERT_TRUE(WaitPluginLine(*sys, kLd, "PortReady 1"));
  std::string all;
  const std::vector<std::string> chunks = {
      "hello", std::string("\x00\x01\x02\xff\r\n", 6), std::string(1, '\x1b') + "@", std::string(3000, 'z'),
      std::string("\x11\x13", 2),  // flow-control characters pass unchanged in raw mode
  };
  for (const auto& chunk : chunks) {
    ASSERT_TRUE(app.Write(chunk));
    all += chunk;
    ASSERT_TRUE(WaitFor([&] { return Received(*sys, kLd).size() >= zoltest::Hex(all).size(); }, 5000))
        << "after chunk of " << chunk.size() << " bytes";
  }
  EXPECT_EQ(Received(*sys, kLd), zoltest::Hex(all));
}

// The port's receive thread runs the plug-in's code: a stack overflow there
// still writes the crash report, into a folder made for it.
TEST_F(PortServiceTest, StackOverflowInDataReceivedWritesTheCrashReport) {
  PortSystemOptions o;
  o.serviceEnv = {{"ZOL_TESTPLUGIN_OVERFLOW", "1"},
                  {"ASAN_OPTIONS", "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_abort=0"}};
  StartSystem(o);
  WaitReady(kLd);
  const std::string report = sys->Root() + "/var/lib/zol/8350service.dmp";
  ASSERT_FALSE(fs::exists(sys->Root() + "/var/lib/zol"));
  App app(sys->ComPath(5));
  ASSERT_TRUE(WaitPluginLine(*sys, kLd, "PortReady 1"));
  ASSERT_TRUE(app.Write("x"));
  EXPECT_EQ(sys->Service().WaitExit(), 128 + SIGSEGV);
  ASSERT_TRUE(fs::exists(report));
  const std::string text = ReadText(report);
  EXPECT_NE(text.find("signal 11 SIGSEGV\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nbacktrace:\n"), std::string::npos) << text;
}

struct WriteCase {
  const char* name;
  std::string command;
  std::string expected;  // the Write record
  std::size_t appBytes;  // bytes the application then reads
};

TEST_F(PortServiceTest, WriteResultsAndTheZeroedBuffer) {
  StartSystem();
  WaitReady(kMsr);
  // Not ready: 11 at once, buffer untouched.
  std::size_t before = WriteCount(*sys, kMsr);
  ASSERT_TRUE(sys->Command(kMsr, "write 1000 414243"));
  EXPECT_EQ(NextWrite(*sys, kMsr, before), "Write rc=11 written=-1 zeroed=0");

  App app(sys->ComPath(3));
  ASSERT_TRUE(WaitPluginLine(*sys, kMsr, "PortReady 1"));
  const WriteCase cases[] = {
      {"three bytes", "write 1000 414243", "Write rc=0 written=3 zeroed=1", 3},
      {"timeout -1 is short but fine without hold", "write -1 5a", "Write rc=0 written=1 zeroed=1", 1},
      {"null data", "write-null", "Write rc=8 written=-1 zeroed=0", 0},
      {"length 0", "write-len0", "Write rc=8 written=-1 zeroed=0", 0},
      {"no written pointer", "write-nowritten", "Write rc=8 written=-1 zeroed=0", 0},
      {"one byte too long", "write-len 32769 1000", "Write rc=9 written=-1 zeroed=0", 0},
      {"largest", "write-len 32768 1000", "Write rc=0 written=32768 zeroed=1", 32768},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    before = WriteCount(*sys, kMsr);
    ASSERT_TRUE(sys->Command(kMsr, c.command));
    std::string got;
    if (c.appBytes) got = app.Read(c.appBytes, 5000);
    EXPECT_EQ(NextWrite(*sys, kMsr, before), c.expected);
    EXPECT_EQ(got.size(), c.appBytes);
  }
}

// A write pending because the application does not read ends with 12 when
// its port goes: the application closes it, or the service stops.
TEST_F(PortServiceTest, PendingWriteEndsWith12WhenItsPortGoes) {
  enum class Ending { ApplicationCloses, ServiceStops };
  for (Ending ending : {Ending::ApplicationCloses, Ending::ServiceStops}) {
    SCOPED_TRACE(ending == Ending::ApplicationCloses ? "the application closes" : "the service stops");
    StartSystem();
    WaitReady(kMsr);
    App app(sys->ComPath(3));
    ASSERT_TRUE(WaitPluginLine(*sys, kMsr, "PortReady 1"));
    // The application does not read: 32768 bytes do not fit, the write pends.
    std::size_t before = WriteCount(*sys, kMsr);
    ASSERT_TRUE(sys->Command(kMsr, "write-len 32768 1000"));
    // The write stays pending while nobody reads.
    EXPECT_EQ(NextWrite(*sys, kMsr, before, 300), "");
    if (ending == Ending::ServiceStops) {
      EXPECT_EQ(sys->StopService(), 0) << sys->ServiceOutput();
      EXPECT_EQ(NextWrite(*sys, kMsr, before, 1000), "Write rc=12 written=0 zeroed=1");
      EXPECT_EQ(sys->PluginLines(kMsr).back(), "Release");
      continue;
    }
    app.Close();
    EXPECT_EQ(NextWrite(*sys, kMsr, before), "Write rc=12 written=0 zeroed=1");
    EXPECT_TRUE(WaitPluginLine(*sys, kMsr, "PortReady 0"));

    // What was left unread is gone: the next opener starts empty.
    App next(sys->ComPath(3));
    ASSERT_TRUE(WaitFor([&] { return CountContaining(sys->PluginLines(kMsr), "PortReady 1") >= 2; }, 5000))
        << sys->ServiceOutput() << sys->Control("status");
    EXPECT_EQ(next.Read(1, 300), "");
    before = WriteCount(*sys, kMsr);
    ASSERT_TRUE(sys->Command(kMsr, "write 1000 6f6b"));
    EXPECT_EQ(next.Read(2, 5000), "ok");
    EXPECT_EQ(NextWrite(*sys, kMsr, before), "Write rc=0 written=2 zeroed=1");
  }
}

TEST_F(PortServiceTest, HoldMakesWriteGiveUpWith11AfterItsQueries) {
  StartSystem();
  WaitReady(kMsr);
  App app(sys->ComPath(3));
  ASSERT_TRUE(WaitPluginLine(*sys, kMsr, "PortReady 1"));
  ASSERT_EQ(sys->Control("hold 3 1"), "OK\n");
  // Each query while the hold lasts is followed by a 500 ms pause.
  const struct {
    int timeout;
    std::size_t queries;
    long minMs, maxMs;
  } cases[] = {
      {1000, 3, 1400, 2600},
      {500, 2, 900, 2000},
      {-1, 1, 400, 1400},  // taken as 8 ms
      {0, 1, 400, 1400},
  };
  std::size_t queriesBefore = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.timeout);
    std::size_t before = WriteCount(*sys, kMsr);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(sys->Command(kMsr, "write " + std::to_string(c.timeout) + " 41"));
    std::string record = NextWrite(*sys, kMsr, before, 5000);
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(record, "Write rc=11 written=-1 zeroed=0");
    EXPECT_GE(elapsed.count(), c.minMs);
    EXPECT_LE(elapsed.count(), c.maxMs);
    if (sys->HasLogService()) {
      const std::string query = "ZolPort::WaitComReadyToReceive - COM3 GetZOLInfo Success";
      ASSERT_TRUE(WaitFor([&] { return CountContaining(sys->LogLines(), query) >= queriesBefore + c.queries; }, 3000));
      std::size_t now = CountContaining(sys->LogLines(), query);
      EXPECT_EQ(now - queriesBefore, c.queries);
      queriesBefore = now;
    }
  }
  if (sys->HasLogService()) {
    EXPECT_TRUE(sys->WaitLog("ZolPort::Write - COM3 Timed out or error waiting for COM DTR or RTS"));
  }
  ASSERT_EQ(sys->Control("hold 3 0"), "OK\n");
  std::size_t before = WriteCount(*sys, kMsr);
  ASSERT_TRUE(sys->Command(kMsr, "write 1000 42"));
  EXPECT_EQ(app.Read(1, 5000), "B");
  EXPECT_EQ(NextWrite(*sys, kMsr, before), "Write rc=0 written=1 zeroed=1");
}

TEST_F(PortServiceTest, CtrlCWithApplicationsConnectedTerminatesAndReleasesEveryDevice) {
  StartSystem();
  WaitReady(kMsr);
  WaitReady(kLd);
  App msr(sys->ComPath(3)), ld(sys->ComPath(5));
  ASSERT_TRUE(WaitPluginLine(*sys, kMsr, "PortReady 1"));
  ASSERT_TRUE(WaitPluginLine(*sys, kLd, "PortReady 1"));
  EXPECT_EQ(sys->StopService(), 0) << sys->ServiceOutput();
  for (const char* lib : {kMsr, kLd}) {
    SCOPED_TRACE(lib);
    auto lines = sys->PluginLines(lib);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.back(), "Release");
    EXPECT_EQ(lines[lines.size() - 2].rfind("Terminate", 0), 0u);
    // The receive thread ended while ready: PortReady FALSE then Terminate first.
    std::size_t lastFalse = FindFrom(lines, "PortReady 0", 0);
    ASSERT_NE(lastFalse, std::string::npos);
    EXPECT_EQ(lines[lastFalse + 1].rfind("Terminate", 0), 0u);
  }
  // vcomd saw both interfaces closed: the ports are free again.
  EXPECT_NE(sys->Control("status").find("COM3 connected=1 hold=0 rcvrdy=0"), std::string::npos);
}

TEST(PortServiceStop, CtrlBreakStopsAsCtrlCDoes) {
  for (int sig : {SIGINT, SIGQUIT}) {
    SCOPED_TRACE(sig);
    PortSystemOptions o;
    o.installLd = false;
    o.ldPort = "";
    PortSystem sys(o);
    ASSERT_TRUE(sys.Start());
    ASSERT_TRUE(WaitPluginLine(sys, kMsr, "SetReadyToReceive(TRUE)=1", 15000));
    sys.Service().Signal(sig);
    EXPECT_EQ(sys.Service().WaitExit(15000), 0);
    auto lines = sys.PluginLines(kMsr);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Release");
  }
}

struct RegistrationCase {
  const char* name;
  PortSystemOptions options;
  std::vector<std::string> msrLines;  // the MSR library's whole record (before any app)
  const char* logLine;                // a line of the service log (checked with ZolLogSvc)
};

TEST(PortServiceRegistration, RefusedDevicesAreSkippedAndTheOtherOneWorks) {
  auto opts = [](auto change) {
    PortSystemOptions o;
    change(o);
    return o;
  };
  const std::vector<RegistrationCase> cases = {
      {"unknown COM number", opts([](auto& o) { o.msrPort = "COM9"; }), {},
       "CZolManager::RegisterZol - Cannot find ZOL with COM9"},
      {"COM0 parses but has no port", opts([](auto& o) { o.msrPort = "COM0"; }), {},
       "CZolManager::RegisterZol - Cannot find ZOL with COM0"},
      {"not a COM name", opts([](auto& o) { o.msrPort = "COM 3"; }), {},
       "CZolManager::RegisterConfiguredClients - Invallid MSR COM Port Number"},
      {"empty", opts([](auto& o) { o.msrPort = ""; }), {},
       "CZolManager::RegisterConfiguredClients - MSR COM Port Number not initialized"},
      {"missing library", opts([](auto& o) { o.installMsr = false; }), {},
       "CZolManager::CreateDevice - Failed to load \"MsrHidBridge.so\""},
      {"library without CreateDevice", opts([](auto& o) { o.msrLibrary = "zol_test_noexport.so"; }), {},
       "CZolManager::CreateDevice - Failed to get \"CreateDevice\" address"},
      {"lower-case element ignored",
       opts([](auto& o) {
         o.installMsr = false;
         o.msrPort = "";
         o.extraPorts = "<msr_usb>COM3</msr_usb>";
       }),
       {}, nullptr},
      {"same COM for both: the second is refused", opts([](auto& o) { o.ldPort = "COM3"; }),
       {"CreateDevice", "Initialize id=72R5508-201410031215360333000029 values=5,1,1,0,0", "SetReadyToReceive(TRUE)=1"},
       "CZolManager::RegisterZol - COM3 already has a device"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PortSystem sys(c.options);
    ASSERT_TRUE(sys.Start());
    // The line display on COM5 works whatever happened to the stripe reader
    // (unless it was the refused one).
    bool ldOnFive = c.options.ldPort == "COM5";
    if (ldOnFive) {
      ASSERT_TRUE(WaitPluginLine(sys, kLd, "SetReadyToReceive(TRUE)=1", 15000)) << sys.ServiceOutput();
      App ld(sys.ComPath(5));
      ASSERT_TRUE(WaitPluginLine(sys, kLd, "PortReady 1"));
    } else {
      ASSERT_TRUE(WaitPluginLine(sys, kMsr, "SetReadyToReceive(TRUE)=1", 15000)) << sys.ServiceOutput();
    }
    if (c.logLine && sys.HasLogService()) {
      EXPECT_TRUE(sys.WaitLog(c.logLine)) << c.logLine;
    }
    EXPECT_EQ(sys.StopService(), 0);
    auto msr = sys.PluginLines(kMsr);
    if (c.msrLines.empty()) {
      EXPECT_TRUE(msr.empty()) << msr.front();
    } else {
      // The first device kept its port and ended cleanly.
      ASSERT_GE(msr.size(), c.msrLines.size());
      for (std::size_t i = 0; i < c.msrLines.size(); ++i) EXPECT_EQ(msr[i], c.msrLines[i]);
      EXPECT_EQ(msr.back(), "Release");
    }
  }
}

TEST(PortServiceRegistration, InitializeReturning4GetsNoFurtherCalls) {
  PortSystemOptions o;
  o.installLd = false;
  o.ldPort = "";
  o.serviceEnv["ZOL_TESTPLUGIN_INIT_RESULT"] = "4";
  PortSystem sys(o);
  ASSERT_TRUE(sys.Start());
  ASSERT_TRUE(WaitFor([&] { return CountContaining(sys.PluginLines(kMsr), "Initialize") == 1; }, 15000));
  App app(sys.ComPath(3));
  if (sys.HasLogService()) {
    EXPECT_TRUE(sys.WaitLog("CZolManager::RegisterZol - InitializeDevice failed"));
  }
  // The port never runs: the application's opening is not reported to anyone.
  EXPECT_FALSE(WaitPluginLine(sys, kMsr, "PortReady 1", 300));
  EXPECT_EQ(sys.StopService(), 0);
  auto lines = sys.PluginLines(kMsr);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "CreateDevice");
  EXPECT_EQ(lines[1].rfind("Initialize", 0), 0u);
}

TEST(PortServiceRegistration, TwoDevicesOfOneLibraryKeepTheFirst) {
  PortSystemOptions o;
  o.installLd = false;
  o.ldPort = "";
  o.extraPorts = "<MSR_USB>COM5</MSR_USB>";
  PortSystem sys(o);
  ASSERT_TRUE(sys.Start());
  ASSERT_TRUE(WaitPluginLine(sys, kMsr, "SetReadyToReceive(TRUE)=1", 15000));
  App first(sys.ComPath(3)), second(sys.ComPath(5));
  ASSERT_TRUE(WaitPluginLine(sys, kMsr, "PortReady 1"));
  if (sys.HasLogService()) {
    EXPECT_TRUE(sys.WaitLog("CZolManager::RegisterZol - MsrHidBridge.so already serves a device"));
  }
  EXPECT_EQ(sys.StopService(), 0);
  auto lines = sys.PluginLines(kMsr);
  EXPECT_EQ(CountContaining(lines, "CreateDevice"), 1u);
  EXPECT_EQ(lines.back(), "Release");
}

TEST(PortServiceRegistration, LibraryPlantedOutsideTheProgramFolderIsNotLoaded) {
  PortSystemOptions o;
  o.installMsr = false;
  PortSystem withPath(o);
  ASSERT_TRUE(withPath.Prepare());
  // Planted in the service's current folder, which is also on its library path.
  std::string planted = withPath.Root() + "/..";
  fs::copy_file(BinDir() + "/zol_test_device.so", planted + "/MsrHidBridge.so");
  withPath.SetServiceEnv("LD_LIBRARY_PATH", planted);
  ASSERT_TRUE(withPath.Start());
  ASSERT_TRUE(WaitPluginLine(withPath, kLd, "SetReadyToReceive(TRUE)=1", 15000));
  EXPECT_EQ(withPath.StopService(), 0);
  EXPECT_TRUE(withPath.PluginLines(kMsr).empty());
}

TEST(PortServiceStartup, PortsShownLateAreCountedOnTheThirdTry) {
  PortSystemOptions o;
  o.startVcomd = false;
  PortSystem sys(o);
  ASSERT_TRUE(sys.Prepare());
  if (!sys.StartLogService()) GTEST_SKIP() << "ZolLogSvc is not built: the tries cannot be observed";
  sys.WriteRegistry(2);
  ASSERT_TRUE(sys.StartService());
  ASSERT_TRUE(sys.WaitLog("CZolManager::Initialize - CountZols tries: 2", 5000));
  ASSERT_TRUE(sys.StartVcomd({3, 5}));
  ASSERT_TRUE(WaitPluginLine(sys, kMsr, "SetReadyToReceive(TRUE)=1", 15000));
  auto lines = sys.LogLines();
  EXPECT_EQ(CountContaining(lines, "CZolManager::Initialize - CountZols tries: "), 3u);
  EXPECT_EQ(CountContaining(lines, "CZolManager::Initialize - CountZols tries: 3"), 1u);
  EXPECT_EQ(CountContaining(lines, "CZOLManager::CountZols - 2 ZOL(s) found"), 1u);
  EXPECT_EQ(sys.StopService(), 0);
}

TEST(PortServiceStartup, CountThatNeverTalliesEndsTheServiceWithExitCode0) {
  PortSystemOptions o;
  o.ports = {3};
  PortSystem sys(o);
  ASSERT_TRUE(sys.Prepare());
  bool logs = sys.StartLogService();
  ASSERT_TRUE(sys.StartVcomd({3}));
  sys.WriteRegistry(2);  // after vcomd wrote its own count of 1
  ASSERT_TRUE(sys.StartService());
  EXPECT_EQ(sys.Service().WaitExit(20000), 0);
  EXPECT_TRUE(sys.PluginLines(kMsr).empty());
  if (logs) {
    ASSERT_TRUE(sys.WaitLog("does not tally"));
    auto lines = sys.LogLines();
    EXPECT_EQ(CountContaining(lines, "CZolManager::Initialize - CountZols tries: "), 10u);
    EXPECT_EQ(CountContaining(lines,
                              "CZolManager::Initialize - Number of ZOLs found (1) does not tally with value in the registry (2)"),
              1u);
  }
}

TEST(PortServiceStartup, MissingOrWrongRegistryValueEndsTheServiceAtOnce) {
  const struct {
    const char* name;
    std::string registry;  // empty: no registry file
    const char* line;
  } cases[] = {
      {"no registry file", "", "CZolManager::Initialize - Open CRegKey failed"},
      {"value missing",
       "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\HALVERN\\Quillmere]\r\n",
       "CZolManager::Initialize - QueryDWORDValue failed"},
      {"not a dword",
       "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\HALVERN\\Quillmere]\r\n"
       "\"NUMBER_OF_REQ_COM_PORTS\"=\"2\"\r\n",
       "CZolManager::Initialize - QueryDWORDValue failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PortSystemOptions o;
    o.startVcomd = false;
    PortSystem sys(o);
    ASSERT_TRUE(sys.Prepare());
    bool logs = sys.StartLogService();
    if (!c.registry.empty()) {
      fs::create_directories(sys.Root() + "/etc/halvern");
      std::ofstream(sys.Root() + "/etc/halvern/registry.reg") << c.registry;
    }
    ASSERT_TRUE(sys.StartService());
    EXPECT_EQ(sys.Service().WaitExit(5000), 0);
    EXPECT_TRUE(sys.PluginLines(kMsr).empty());
    if (logs) {
      EXPECT_TRUE(sys.WaitLog(c.line));
      EXPECT_TRUE(sys.WaitLog("CServiceClass::Process - CZolManager Initialize failed"));
      EXPECT_EQ(CountContaining(sys.LogLines(), "CountZols tries"), 0u);
    }
  }
}

// Under the service manager a failing Process is logged with its value and
// the system's text for it, so the line is not dropped for want of a text.
TEST(PortServiceStartup, ServiceWhoseManagerFailsLogsProcessFailedWithItsText) {
  PortSystemOptions o;
  o.startVcomd = false;  // no registry file: Initialize fails with E_FAIL
  PortSystem sys(o);
  ASSERT_TRUE(sys.Prepare());
  if (!sys.StartLogService()) GTEST_SKIP() << "ZolLogSvc is not built";
  auto env = sys.Env();
  env["NOTIFY_SOCKET"] = sys.Temp() + "/no-manager";  // reports go nowhere; the service runs all the same
  ASSERT_TRUE(sys.Service().Start({sys.Bin() + "/PortBridgeServer"}, env, sys.Temp() + "/service.out", sys.Temp()));
  EXPECT_EQ(sys.Service().WaitExit(), 0);
  EXPECT_TRUE(sys.WaitLog("CServiceClass::ServiceMain - Process failed - (0x80004005)Unspecified error"));
  EXPECT_TRUE(sys.WaitLog("CServiceClass::ServiceMain - Service is Stopped"));
}

TEST(PortServiceStartup, OpenCloseCyclesLeaveFilesAndThreadsWhereTheyStarted) {
  PortSystem sys({});
  ASSERT_TRUE(sys.Start());
  ASSERT_TRUE(WaitPluginLine(sys, kMsr, "SetReadyToReceive(TRUE)=1", 15000));
  const std::string proc = "/proc/" + std::to_string(sys.Service().Pid());
  // Settle: one full open/close so every lazily made resource exists.
  {
    App app(sys.ComPath(3));
    ASSERT_TRUE(WaitPluginLine(sys, kMsr, "PortReady 1"));
  }
  ASSERT_TRUE(WaitPluginLine(sys, kMsr, "PortReady 0"));
  std::size_t fds = CountEntries(proc + "/fd");
  std::size_t threads = CountEntries(proc + "/task");
  ASSERT_GT(fds, 0u);
  for (int i = 0; i < 1000; ++i) {
    App app(sys.ComPath(3));
    ASSERT_TRUE(app.IsOpen()) << "cycle " << i;
    if (i % 100 == 0) {
      ASSERT_TRUE(app.Write("x"));
    }
  }
  EXPECT_TRUE(WaitFor([&] { return CountEntries(proc + "/fd") == fds && CountEntries(proc + "/task") == threads; },
                      5000))
      << "fds " << CountEntries(proc + "/fd") << " vs " << fds << ", threads " << CountEntries(proc + "/task")
      << " vs " << threads;
  // Still serving after the cycles.
  App last(sys.ComPath(3));
  ASSERT_TRUE(last.Write("end"));
  EXPECT_TRUE(WaitFor([&] { return Received(sys, kMsr).find(zoltest::Hex("end")) != std::string::npos; }, 5000));
  EXPECT_EQ(sys.StopService(), 0);
}

}  // namespace

namespace {

// What the service says over a start, one application session and a Ctrl+C,
// read from the log file of a real ZolLogSvc.
TEST(PortServiceLog, StartSessionAndStopLines) {
  PortSystemOptions o;
  o.installLd = false;
  o.ldPort = "";
  PortSystem sys(o);
  ASSERT_TRUE(sys.Prepare());
  if (!sys.StartLogService()) GTEST_SKIP() << "ZolLogSvc is not built";
  ASSERT_TRUE(sys.StartVcomd({3, 5}));
  ASSERT_TRUE(sys.StartService());
  ASSERT_TRUE(WaitPluginLine(sys, kMsr, "SetReadyToReceive(TRUE)=1", 15000));
  {
    App app(sys.ComPath(3));
    ASSERT_TRUE(app.Write("hi"));
    ASSERT_TRUE(WaitFor([&] { return Received(sys, kMsr) == zoltest::Hex("hi"); }, 5000));
  }
  ASSERT_TRUE(WaitPluginLine(sys, kMsr, "PortReady 0"));
  // The plug-in hears of the close from the read side; the port's own line
  // comes from its connection check a moment later.
  ASSERT_TRUE(sys.WaitLog("ZolPort::IsZolConnectedToCom - ZOL COM3 Not Connected"));
  ASSERT_EQ(sys.StopService(), 0);
  ASSERT_TRUE(sys.WaitLog("ZOLSVC - Exiting"));
  const auto lines = sys.LogLines();
  // In this order, each once.
  const std::vector<std::string> expected = {
      "ZOLSVC - Entered",
      "ZOLSVC - Build Version: 1.1.0.6; Build Time: ",
      "CServiceClass::Process - Entered",
      "CZolManager::Initialize - numberOfReqComPorts=2",
      "CZolManager::Initialize - CountZols tries: 1",
      "CZOLManager::CountZols - 2 ZOL(s) found",
      "CZOLManager::EnumerateZols - Entered",
      "ZolPort::Initialize - ZOL COM3 Initialized",
      "ZolPort::Initialize - ZOL COM5 Initialized",
      "CZOLManager::EnumerateZols - return 0",
      "CZolManager::CreateDevice - Loading MsrHidBridge.so",
      "CServiceClass::Process running",
      "ZolPort::IsZolConnectedToCom - ZOL COM3 Connected!",
      "ZolPort::IsZolConnectedToCom - ZOL COM3 Not Connected",
      "CServiceClass::EndService - Entered",
      "CServiceClass::Process - Exiting",
      "ZolPort::Terminate - COM3 m_hReadThread terminated",
      "ZolPort::~ZolPort - COM3 destroyed",
      "ZolPort::~ZolPort - COM5 destroyed",
      "ZOLSVC - Exiting",
  };
  std::size_t at = 0;
  for (const auto& text : expected) {
    std::size_t found = std::string::npos;
    for (std::size_t i = at; i < lines.size() && found == std::string::npos; ++i)
      if (lines[i].find(text) != std::string::npos) found = i;
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << text;
    at = found + 1;
  }
  // The port without a device ends both threads without any device call.
  EXPECT_EQ(CountContaining(lines, "ZolPort::Terminate - COM5 m_hReadThread terminated"), 1u);
  EXPECT_EQ(CountContaining(lines, "ZolPort::PortReadyInternal - COM5"), 0u);
  EXPECT_EQ(CountContaining(lines, "WriteInternalThread - Thread terminating"), 1u);  // only the run port got alive
  EXPECT_EQ(CountContaining(lines, "ConnectReceiveThread - ReadFile broken pipe (Not an error)") +
                CountContaining(lines, "ConnectReceiveThread - ReadFile GetOverlappedResult - broken pipe (Not an error)"),
            1u);
}

}  // namespace
