// ZolConfig.exe driven from outside, as a user would: its controls found by
// resource id, values changed on each page, Apply, then closed with a change
// and the restart question answered; the services' restart order is read
// from the processes the service control manager ran. Runs on an X server.
#include <gtest/gtest.h>

#include "configtool/win32/resource.h"
#include "tests/support/WinTestSupport.h"

namespace {

using wintest::FindControl;
using wintest::FindDialog;
using wintest::QueryService;
using wintest::kLogService;
using wintest::kPortService;
using wintest::Quoted;
using wintest::WaitFor;

// Presses a button without waiting: the press may open a modal box.
void Press(HWND button) { PostMessageW(button, BM_CLICK, 0, 0); }

void SetEdit(HWND edit, const std::wstring& text) {
  SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  SendMessageW(GetParent(edit), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(edit), EN_CHANGE), reinterpret_cast<LPARAM>(edit));
}

void Select(HWND combo, int index) {
  SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  SendMessageW(GetParent(combo), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(combo));
}

bool Checked(HWND box) { return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED; }

BOOL CALLBACK AddText(HWND child, LPARAM param) {
  std::wstring text = wintest::WindowText(child);
  if (!text.empty()) *reinterpret_cast<std::wstring*>(param) += L" [" + text + L"]";
  return TRUE;
}

// What the visible dialogs of pid show, for a failure's message.
std::string Shown(DWORD pid) {
  std::wstring all;
  if (HWND d = FindDialog(pid)) EnumChildWindows(d, AddText, reinterpret_cast<LPARAM>(&all));
  std::string narrow;
  for (wchar_t c : all) narrow += c < 128 ? static_cast<char>(c) : '?';
  return narrow;
}

// Waits for the box of process pid that shows `text`, presses its button.
::testing::AssertionResult Answer(DWORD pid, const std::wstring& text, int button) {
  HWND box = nullptr;
  if (!WaitFor([&] { return (box = FindDialog(pid, text)) != nullptr; }, 120000)) {
    return ::testing::AssertionFailure() << "no such box; shown:" << Shown(pid);
  }
  HWND b = GetDlgItem(box, button);
  if (!b) return ::testing::AssertionFailure() << "the box has no button " << button;
  Press(b);
  if (!WaitFor([&] { return !IsWindow(box) || !IsWindowVisible(box); })) {
    return ::testing::AssertionFailure() << "the box stays";
  }
  return ::testing::AssertionSuccess();
}

struct ServiceProcess {
  DWORD pid = 0;
  HANDLE handle = nullptr;
  ~ServiceProcess() {
    if (handle) CloseHandle(handle);
  }
  bool Open(const std::wstring& name) {
    pid = QueryService(name).status.dwProcessId;
    handle = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    return handle != nullptr;
  }
  // 100 ns units.
  ULONGLONG Created() const { return Time(0); }
  ULONGLONG Exited() const { return Time(1); }

 private:
  ULONGLONG Time(int which) const {
    FILETIME times[4] = {};
    if (!GetProcessTimes(handle, &times[0], &times[1], &times[2], &times[3])) return 0;
    return (static_cast<ULONGLONG>(times[which].dwHighDateTime) << 32) | times[which].dwLowDateTime;
  }
};

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wintest::ForceRemoveService(kPortService);
    wintest::ForceRemoveService(kLogService);
    // No virtual ports asked for: the port service runs without any.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\HALVERN\\Quillmere", 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD zero = 0;
    RegSetValueExW(key, L"NUMBER_OF_REQ_COM_PORTS", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero), sizeof zero);
    RegCloseKey(key);
    for (const wchar_t* name :
         {L"ZolConfig.exe", L"ZolLogSvc.exe", L"PortBridgeServer.exe", L"MsrHidBridge.dll", L"LdHidBridge.dll"}) {
      std::filesystem::copy_file(wintest::BinDir() / name, folder.path / name);
    }
    port = wintest::FreePort();
    log = folder.path / "zol.log";
    wintest::WriteFile(doc(),
                       "<ZOL><Ports_Configuration><MSR_USB Serial_Number=\"\">COM3</MSR_USB>"
                       "<LD_USB Serial_Number=\"\">COM4</LD_USB></Ports_Configuration><Logging_Configuration>"
                       "<File_Name>" + log.string() + "</File_Name><File_Size>10240</File_Size>"
                       "<Log_Level>5</Log_Level><TCP_Port>" + std::to_string(port) + "</TCP_Port>"
                       "<Module_Service>true</Module_Service><Module_MSR>true</Module_MSR>"
                       "<Module_LD>true</Module_LD></Logging_Configuration><MSR_Configuration>"
                       "<CR_Enabled></CR_Enabled><Track1_Enabled>true</Track1_Enabled>"
                       "<Track2_Enabled>true</Track2_Enabled><Track3_Enabled>true</Track3_Enabled>"
                       "</MSR_Configuration></ZOL>");
    ASSERT_EQ(wintest::RunProgram(Quoted(folder.path / "ZolLogSvc.exe") + L" install"), 0);
    ASSERT_EQ(wintest::RunProgram(Quoted(folder.path / "PortBridgeServer.exe") + L" install"), 0);
    ASSERT_EQ(wintest::RunProgram(L"sc start ZOLLOGSVC"), 0);
    ASSERT_TRUE(WaitFor([&] { return wintest::Accepts(port); }));
    ASSERT_EQ(wintest::RunProgram(L"sc start ZOLSVC"), 0);
    ASSERT_TRUE(WaitFor([&] { return wintest::ReadFile(log).find("CServiceClass::Process running") != std::string::npos; }));
  }
  void TearDown() override {
    if (tool.hProcess) {
      TerminateProcess(tool.hProcess, 1);
      CloseHandle(tool.hProcess);
      CloseHandle(tool.hThread);
    }
    wintest::ForceRemoveService(kPortService);
    wintest::ForceRemoveService(kLogService);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\HALVERN\\Quillmere", KEY_WOW64_64KEY, 0);
  }

  std::filesystem::path doc() const { return folder.path / "ZolConfig.xml"; }
  bool DocHas(const std::string& text) const { return wintest::ReadFile(doc()).find(text) != std::string::npos; }

  HWND StartTool() {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    std::wstring line = Quoted(folder.path / "ZolConfig.exe");
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &tool)) return nullptr;
    HWND main = nullptr;
    WaitFor([&] {
      main = FindDialog(tool.dwProcessId, L"Apply All");
      return main != nullptr && FindControl(main, IDC_TAB) != nullptr;
    }, 120000);
    return main;
  }

  wintest::TempFolder folder;
  std::filesystem::path log;
  unsigned short port = 0;
  PROCESS_INFORMATION tool{};
};

TEST_F(DialogTest, EachPageAppliesItsChangesAndClosingRestartsTheServicesInOrder) {
  HWND main = StartTool();
  ASSERT_NE(main, nullptr);
  const DWORD pid = tool.dwProcessId;

  // COM Ports: Wine has no virtual ports to offer, so Default and Apply
  // empty both settings.
  HWND msrPort = FindControl(main, IDC_MSR_PORT);
  ASSERT_NE(msrPort, nullptr);
  EXPECT_EQ(SendMessageW(msrPort, CB_GETCOUNT, 0, 0), 0);
  Press(FindControl(main, IDC_PORTS_DEFAULT));
  Press(FindControl(main, IDC_PORTS_APPLY));
  ASSERT_TRUE(Answer(pid, L"Ports settings saved.", IDOK));
  EXPECT_FALSE(DocHas("COM3"));
  EXPECT_FALSE(DocHas("COM4"));

  // Logging: a new TCP port, file size and level, one module off.
  const unsigned short newPort = wintest::FreePort();
  ASSERT_NE(newPort, port);
  SetEdit(FindControl(main, IDC_TCP_PORT), std::to_wstring(newPort));
  SetEdit(FindControl(main, IDC_FILE_SIZE), L"2048");
  Select(FindControl(main, IDC_LOG_LEVEL), 4);
  HWND moduleMsr = FindControl(main, IDC_MODULE_MSR);
  ASSERT_TRUE(Checked(moduleMsr));
  SendMessageW(moduleMsr, BM_CLICK, 0, 0);
  EXPECT_FALSE(Checked(moduleMsr));
  Press(FindControl(main, IDC_LOG_APPLY));
  ASSERT_TRUE(Answer(pid, L"Log settings saved.", IDOK));
  EXPECT_TRUE(DocHas("<TCP_Port>" + std::to_string(newPort) + "</TCP_Port>"));
  EXPECT_TRUE(DocHas("<File_Size>2048</File_Size>"));
  EXPECT_TRUE(DocHas("<Log_Level>4</Log_Level>"));
  EXPECT_FALSE(DocHas("<Module_MSR>true</Module_MSR>"));
  EXPECT_TRUE(DocHas("<Module_LD>true</Module_LD>"));

  // MSR: track 3 off, carriage returns on, a head wrapper.
  HWND track3 = FindControl(main, IDC_TRACK3);
  ASSERT_TRUE(Checked(track3));
  SendMessageW(track3, BM_CLICK, 0, 0);
  SendMessageW(FindControl(main, IDC_CR_ENABLED), BM_CLICK, 0, 0);
  HWND headOn = FindControl(main, IDC_HEAD_WRAPPER_ON);
  HWND head = FindControl(main, IDC_HEAD_WRAPPER);
  EXPECT_FALSE(IsWindowEnabled(head));
  SendMessageW(headOn, BM_CLICK, 0, 0);
  EXPECT_TRUE(IsWindowEnabled(head));
  SetEdit(head, L"[");
  Press(FindControl(main, IDC_MSR_APPLY));
  ASSERT_TRUE(Answer(pid, L"MSR settings saved.", IDOK));
  EXPECT_FALSE(DocHas("<Track3_Enabled>true</Track3_Enabled>"));
  EXPECT_TRUE(DocHas("<Track1_Enabled>true</Track1_Enabled>"));
  EXPECT_TRUE(DocHas("<CR_Enabled>true</CR_Enabled>"));
  EXPECT_TRUE(DocHas("<Head_Wrapper>[</Head_Wrapper>"));

  // Closing after a change: the restart question, answered Yes.
  ServiceProcess oldPort, oldLog;
  ASSERT_TRUE(oldPort.Open(kPortService));
  ASSERT_TRUE(oldLog.Open(kLogService));
  PostMessageW(main, WM_CLOSE, 0, 0);
  ASSERT_TRUE(Answer(pid, L"Do you want to restart the services now?", IDYES));
  ASSERT_TRUE(Answer(pid, L"Quillmere services restarted.", IDOK));
  ASSERT_EQ(WaitForSingleObject(tool.hProcess, 60000), WAIT_OBJECT_0);

  // Both back, as new processes, and the logging service on its new port.
  ASSERT_TRUE(WaitFor([] {
    return QueryService(kPortService).status.dwCurrentState == SERVICE_RUNNING &&
           QueryService(kLogService).status.dwCurrentState == SERVICE_RUNNING;
  }, 120000));
  ServiceProcess newPortSvc, newLog;
  ASSERT_TRUE(newPortSvc.Open(kPortService));
  ASSERT_TRUE(newLog.Open(kLogService));
  EXPECT_NE(newPortSvc.pid, oldPort.pid);
  EXPECT_NE(newLog.pid, oldLog.pid);
  EXPECT_TRUE(WaitFor([&] { return wintest::Accepts(newPort); }));
  EXPECT_FALSE(wintest::Accepts(port));

  // The order: stop ZOLSVC, stop ZOLLOGSVC, start ZOLLOGSVC, start ZOLSVC.
  ASSERT_EQ(WaitForSingleObject(oldPort.handle, 0), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(oldLog.handle, 0), WAIT_OBJECT_0);
  EXPECT_LT(oldPort.Exited(), oldLog.Exited());
  EXPECT_LT(oldLog.Exited(), newLog.Created());
  EXPECT_LT(newLog.Created(), newPortSvc.Created());
  // The port service's stop still reached the old logging service, and its
  // new start the new one.
  std::size_t entered = 0;
  WaitFor([&] {
    const std::string text = wintest::ReadFile(log);
    entered = 0;
    for (std::size_t at = text.find("ZOLSVC - Entered"); at != std::string::npos; at = text.find("ZOLSVC - Entered", at + 1)) ++entered;
    return entered >= 2;
  });
  EXPECT_EQ(entered, 2u);
  EXPECT_NE(wintest::ReadFile(log).find("CServiceClass::ServiceMain - Service is Stopped"), std::string::npos);
}

}  // namespace
