// Both services under Wine's service control manager: install and its
// refusal, start, the reported states, serving, stop, remove.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "tests/support/WinTestSupport.h"

namespace {

using wintest::Accepts;
using wintest::QueryService;
using wintest::RunProgram;
using wintest::kLogService;
using wintest::kPortService;
using wintest::Quoted;
using wintest::WaitFor;

std::size_t CountLines(const std::string& text, const std::string& needle = "\n") {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

// A log line as the clients send it.
std::string Line(int i) {
  char text[160];
  std::snprintf(text, sizeof text,
                "05/12/2026 14:03:07.042\tP[0a3c]\tT[1f04]\tZOL_SERVICE    \tLEVEL_INFO    \tline %06d\r\n", i);
  return text;
}

// The states the service passes through until `last`, as often as they can
// be seen; every pending state seen must carry a wait hint.
struct Observed {
  std::vector<DWORD> states;
  bool pendingWithoutHint = false;
  SERVICE_STATUS_PROCESS final{};
};

Observed ObserveUntil(const std::wstring& name, DWORD last) {
  Observed o;
  WaitFor([&] {
    wintest::ServiceView v = QueryService(name);
    if (!v.exists) return false;
    const DWORD s = v.status.dwCurrentState;
    if (o.states.empty() || o.states.back() != s) o.states.push_back(s);
    if ((s == SERVICE_START_PENDING || s == SERVICE_STOP_PENDING) && v.status.dwWaitHint == 0) {
      o.pendingWithoutHint = true;
    }
    o.final = v.status;
    return s == last;
  }, 120000);
  return o;
}

// True when `seen` keeps the order of `expected` and ends with its last state.
bool InOrder(const std::vector<DWORD>& seen, const std::vector<DWORD>& expected) {
  std::size_t at = 0;
  for (DWORD s : seen) {
    while (at < expected.size() && expected[at] != s) ++at;
    if (at == expected.size()) return false;
  }
  return !seen.empty() && seen.back() == expected.back();
}

bool ProcessEnds(DWORD pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!process) return true;
  const bool ended = WaitForSingleObject(process, 60000) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

void StopService(const wchar_t* name) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = OpenServiceW(manager, name, SERVICE_STOP);
  SERVICE_STATUS status{};
  EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

class ServiceLifeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wintest::ForceRemoveService(kPortService);
    wintest::ForceRemoveService(kLogService);
    port = wintest::FreePort();
    ASSERT_NE(port, 0);
    for (const wchar_t* name : {L"ZolLogSvc.exe", L"PortBridgeServer.exe", L"MsrHidBridge.dll", L"LdHidBridge.dll"}) {
      std::filesystem::copy_file(wintest::BinDir() / name, folder.path / name);
    }
    log = folder.path / "zol.log";
    wintest::WriteFile(folder.path / "ZolConfig.xml",
                       "<ZOL><Ports_Configuration><MSR_USB Serial_Number=\"\">COM3</MSR_USB>"
                       "<LD_USB Serial_Number=\"\">COM4</LD_USB></Ports_Configuration><Logging_Configuration>"
                       "<File_Name>" + log.string() + "</File_Name><File_Size>10240</File_Size>"
                       "<Log_Level>5</Log_Level><TCP_Port>" + std::to_string(port) + "</TCP_Port>"
                       "<Module_Service>true</Module_Service><Module_MSR>true</Module_MSR>"
                       "<Module_LD>true</Module_LD></Logging_Configuration></ZOL>");
  }
  void TearDown() override {
    wintest::ForceRemoveService(kPortService);
    wintest::ForceRemoveService(kLogService);
  }

  std::filesystem::path Exe(const wchar_t* name) const { return folder.path / name; }

  wintest::TempFolder folder;
  std::filesystem::path log;
  unsigned short port = 0;
};

TEST_F(ServiceLifeTest, LoggingServiceLivesUnderTheManagerAndLosesNothingAtStop) {
  const auto exe = Exe(L"ZolLogSvc.exe");
  ASSERT_EQ(RunProgram(Quoted(exe) + L" install"), 0);
  wintest::ServiceConfig c = wintest::QueryServiceConfig(kLogService);
  EXPECT_EQ(c.binaryPath, Quoted(exe));
  EXPECT_EQ(c.displayName, L"Quillmere Logging Service");
  EXPECT_EQ(c.description, L"Records data from the Quillmere to a log file");
  EXPECT_EQ(c.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(c.startType, static_cast<DWORD>(SERVICE_AUTO_START));

  // A second install, from another copy, is refused: the first one stays.
  std::filesystem::create_directory(folder.path / "other");
  std::filesystem::copy_file(exe, folder.path / "other" / "ZolLogSvc.exe");
  ASSERT_EQ(RunProgram(Quoted(folder.path / "other" / "ZolLogSvc.exe") + L" install"), 0);
  EXPECT_EQ(wintest::QueryServiceConfig(kLogService).binaryPath, Quoted(exe));

  ASSERT_EQ(RunProgram(L"net start ZOLLOGSVC"), 0);
  Observed start = ObserveUntil(kLogService, SERVICE_RUNNING);
  EXPECT_TRUE(InOrder(start.states, {SERVICE_START_PENDING, SERVICE_RUNNING}));
  EXPECT_FALSE(start.pendingWithoutHint);
  const DWORD pid = start.final.dwProcessId;
  ASSERT_NE(pid, 0u);
  ASSERT_TRUE(WaitFor([&] { return Accepts(port); }));

  std::string sent;
  {
    wintest::Client client(port);
    ASSERT_TRUE(client.Connected());
    for (int i = 0; i < 1000; ++i) sent += Line(i);
    ASSERT_TRUE(client.Send(sent));
  }
  ASSERT_TRUE(WaitFor([&] { return CountLines(wintest::ReadFile(log)) == 1000; }));

  // One process, listening, for ten seconds on end.
  const ULONGLONG steadyUntil = GetTickCount64() + 10000;
  while (GetTickCount64() < steadyUntil) {
    wintest::ServiceView v = QueryService(kLogService);
    ASSERT_EQ(v.status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    ASSERT_EQ(v.status.dwProcessId, pid);
    ASSERT_TRUE(Accepts(port));
    Sleep(500);
  }

  // "remove" while it runs leaves it installed and running.
  ASSERT_EQ(RunProgram(Quoted(exe) + L" remove"), 0);
  EXPECT_EQ(QueryService(kLogService).status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  // The stop comes while a client that just sent a burst is still connected.
  wintest::Client client(port);
  ASSERT_TRUE(client.Connected());
  std::string burst;
  for (int i = 1000; i < 2000; ++i) burst += Line(i);
  ASSERT_TRUE(client.Send(burst));
  sent += burst;
  StopService(kLogService);
  Observed stop = ObserveUntil(kLogService, SERVICE_STOPPED);
  EXPECT_TRUE(InOrder(stop.states, {SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  EXPECT_EQ(stop.states.front(), static_cast<DWORD>(SERVICE_STOP_PENDING));  // the drain takes a while
  EXPECT_FALSE(stop.pendingWithoutHint);
  EXPECT_EQ(stop.final.dwWin32ExitCode, 0u);
  EXPECT_TRUE(ProcessEnds(pid));
  EXPECT_EQ(wintest::ReadFile(log), sent);

  ASSERT_EQ(RunProgram(Quoted(exe) + L" remove"), 0);
  wintest::ServiceView gone = QueryService(kLogService);
  EXPECT_FALSE(gone.exists);
  EXPECT_EQ(gone.openError, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_NE(RunProgram(L"sc query ZOLLOGSVC"), 0);
}

// Clients that send a line and close leave nothing behind: each one's reader
// ends, so while nobody sends the service uses next to no CPU (a reader left
// looping on a closed connection takes what it can of a core), and nothing
// holds its stop up to the drain limit (3 s; 0.05 to 0.7 s without one on a
// loaded machine). The figures are printed.
TEST_F(ServiceLifeTest, LoggingServiceIdlesAndStopsPromptlyAfterItsClientsLeave) {
  constexpr ULONGLONG kIdleWindowMs = 2000;
  constexpr long long kIdleCpuMs = kIdleWindowMs / 10;
  constexpr ULONGLONG kStopMs = 2000;
  ASSERT_EQ(RunProgram(Quoted(Exe(L"ZolLogSvc.exe")) + L" install"), 0);
  ASSERT_EQ(RunProgram(L"sc start ZOLLOGSVC"), 0);
  ASSERT_EQ(ObserveUntil(kLogService, SERVICE_RUNNING).final.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  // The service's process on the host: its command line holds its path here.
  const std::string marker = folder.path.filename().string();
  const std::filesystem::path host = wintest::HostProcess(marker);
  ASSERT_FALSE(host.empty()) << "no process with " << marker << " in its command line";
  const auto cpuMs = [&] { return wintest::HostCpuMs(host); };
  ASSERT_GE(cpuMs(), 0);
  ASSERT_TRUE(WaitFor([&] { return Accepts(port); }));

  std::vector<std::string> sent;
  const struct {
    int clients;
    bool reset;  // a reset may take the line with it: only the reader's end counts
  } rounds[] = {{1, false}, {100, false}, {10, true}};
  for (const auto& round : rounds) {
    const int threadsBefore = wintest::HostThreads(host);
    for (int i = 0; i < round.clients; ++i) {
      wintest::Client client(port);
      ASSERT_TRUE(client.Connected());
      if (round.reset) {
        client.Reset();
        continue;
      }
      sent.push_back(Line(static_cast<int>(sent.size())));
      ASSERT_TRUE(client.Send(sent.back()));
    }
    ASSERT_TRUE(WaitFor([&] { return CountLines(wintest::ReadFile(log)) == sent.size(); }))
        << CountLines(wintest::ReadFile(log)) << " of " << sent.size() << " lines";
    const char* how = round.reset ? " reset" : " closed";
    EXPECT_TRUE(WaitFor([&] { return wintest::HostThreads(host) <= threadsBefore; }))
        << wintest::HostThreads(host) << " threads, " << threadsBefore << " before " << round.clients << how;
    // The window over which the CPU time is read; a spinning reader ends it early.
    const long long cpuBefore = cpuMs();
    const ULONGLONG windowStart = GetTickCount64();
    long long used = 0;
    WaitFor([&] {
      used = cpuMs() - cpuBefore;
      return used >= kIdleCpuMs || GetTickCount64() - windowStart >= kIdleWindowMs;
    });
    const ULONGLONG window = GetTickCount64() - windowStart;
    std::printf("after %d client(s)%s: %lld ms CPU in %llu ms\n", round.clients, how, used, window);
    EXPECT_LT(used, kIdleCpuMs) << "in " << window << " ms after " << round.clients << how;
  }

  const ULONGLONG stopStart = GetTickCount64();
  StopService(kLogService);
  ObserveUntil(kLogService, SERVICE_STOPPED);
  const ULONGLONG stopped = GetTickCount64() - stopStart;
  std::printf("stop: %llu ms\n", stopped);
  EXPECT_LT(stopped, kStopMs);

  // Each client's line, whole; the clients' order among themselves is not kept.
  std::vector<std::string> written;
  const std::string text = wintest::ReadFile(log);
  for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    written.push_back(text.substr(at, end + 1 - at));
  }
  std::sort(written.begin(), written.end());
  EXPECT_EQ(written, sent);  // Line() numbers them in sorting order
}

// Without the virtual serial driver the port service counts the ports it was
// told to expect, gives up and reports stopped; its lines reach the logging
// service running beside it.
TEST_F(ServiceLifeTest, PortServiceFindsNoPortsAndEndsStopped) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\HALVERN\\Quillmere", 0, nullptr, 0,
                            KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const DWORD two = 2;
  ASSERT_EQ(RegSetValueExW(key, L"NUMBER_OF_REQ_COM_PORTS", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&two),
                           sizeof two),
            ERROR_SUCCESS);
  RegCloseKey(key);

  ASSERT_EQ(RunProgram(Quoted(Exe(L"ZolLogSvc.exe")) + L" install"), 0);
  ASSERT_EQ(RunProgram(Quoted(Exe(L"PortBridgeServer.exe")) + L" install"), 0);
  wintest::ServiceConfig c = wintest::QueryServiceConfig(kPortService);
  EXPECT_EQ(c.binaryPath, Quoted(Exe(L"PortBridgeServer.exe")));
  EXPECT_EQ(c.displayName, L"Quillmere Framework Service");
  EXPECT_EQ(c.description, L"Manages communication between serial applications and POS devices");
  ASSERT_EQ(RunProgram(L"sc start ZOLLOGSVC"), 0);
  ASSERT_TRUE(WaitFor([&] { return Accepts(port); }));

  ASSERT_EQ(RunProgram(L"sc start ZOLSVC"), 0);
  Observed life = ObserveUntil(kPortService, SERVICE_STOPPED);
  EXPECT_TRUE(InOrder(life.states, {SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  EXPECT_FALSE(life.pendingWithoutHint);
  EXPECT_EQ(life.final.dwWin32ExitCode, 0u);
  EXPECT_EQ(life.final.dwServiceSpecificExitCode, 0u);

  const auto lines = [&] { return wintest::ReadFile(log); };
  ASSERT_TRUE(WaitFor([&] { return lines().find("CServiceClass::ServiceMain - Exiting") != std::string::npos; }));
  const std::string text = lines();
  for (const char* expected :
       {"ZOLSVC - Entered", "ZOLSVC - Build Version: 1.1.0.6; Build Time: ",
        "CServiceClass::ServiceMain - Service is Running", "CZolManager::Initialize - numberOfReqComPorts=2",
        "CZolManager::Initialize - CountZols tries: 10",
        "CZolManager::Initialize - Number of ZOLs found (0) does not tally with value in the registry (2)",
        "CServiceClass::ServiceMain - Process failed", "CServiceClass::ServiceMain - Service is Stopped"}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected;
  }
  EXPECT_EQ(CountLines(text, "CZolManager::Initialize - CountZols tries: "), 10u);

  // Stopped on its own, so remove takes it; the logging service is still
  // running, so remove leaves it.
  ASSERT_EQ(RunProgram(Quoted(Exe(L"PortBridgeServer.exe")) + L" remove"), 0);
  EXPECT_TRUE(WaitFor([] { return !QueryService(kPortService).exists; }));
  ASSERT_EQ(RunProgram(Quoted(Exe(L"PortBridgeServer.exe")) + L" remove"), 0);  // nothing to remove: only logged
  ASSERT_EQ(RunProgram(Quoted(Exe(L"ZolLogSvc.exe")) + L" remove"), 0);
  EXPECT_TRUE(QueryService(kLogService).exists);
  // Wine's net stop may return while the service still drains.
  ASSERT_EQ(RunProgram(L"net stop ZOLLOGSVC"), 0);
  ASSERT_TRUE(WaitFor([] { return QueryService(kLogService).status.dwCurrentState == SERVICE_STOPPED; }));
  ASSERT_EQ(RunProgram(Quoted(Exe(L"ZolLogSvc.exe")) + L" remove"), 0);
  // The manager deletes the entry once the stopped process has let go of it.
  EXPECT_TRUE(WaitFor([] { return !QueryService(kLogService).exists; }));
  const std::string after = lines();
  EXPECT_NE(after.find("CServiceClass::UninstallService - ZOLSVC removed successfully"), std::string::npos);
  EXPECT_NE(after.find("CServiceClass::UninstallService - OpenService failed"), std::string::npos);

  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\HALVERN\\Quillmere", KEY_WOW64_64KEY, 0);
}

}  // namespace
