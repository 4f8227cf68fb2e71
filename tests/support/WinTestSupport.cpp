#include "tests/support/WinTestSupport.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "tests/support/Wait.h"

namespace wintest {

namespace {

struct WinsockUser {
  WinsockUser() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
};

void UseWinsock() { static WinsockUser user; }

sockaddr_in Loopback(unsigned short port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

}  // namespace

std::filesystem::path BinDir() {
  wchar_t buffer[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"ZOL_BIN_DIR", buffer, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::filesystem::path(std::wstring(buffer, n)) : std::filesystem::path();
}

bool WaitFor(const std::function<bool()>& cond, int timeoutMs) {
  return zoltest::WaitFor(cond, std::chrono::milliseconds(timeoutMs), std::chrono::milliseconds(20));
}

TempFolder::TempFolder() {
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  static int serial = 0;
  path = std::filesystem::path(base) /
         (L"zolwine-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial));
  std::filesystem::create_directories(path);
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

int RunProgram(const std::wstring& commandLine, int timeoutMs) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::wstring line = commandLine;
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
  CloseHandle(pi.hThread);
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(pi.hProcess, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0) {
    GetExitCodeProcess(pi.hProcess, &code);
  } else {
    TerminateProcess(pi.hProcess, 1);
    WaitForSingleObject(pi.hProcess, INFINITE);
  }
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

unsigned short FreePort() {
  UseWinsock();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = Loopback(0);
  unsigned short port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    int len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  closesocket(s);
  return port;
}

bool Accepts(unsigned short port) { return Client(port).Connected(); }

Client::Client(unsigned short port) {
  UseWinsock();
  m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = Loopback(port);
  if (m_socket != INVALID_SOCKET && connect(m_socket, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    closesocket(m_socket);
    m_socket = INVALID_SOCKET;
  }
}

Client::~Client() {
  if (m_socket != INVALID_SOCKET) closesocket(m_socket);
}

bool Client::Send(const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    int n = send(m_socket, data.data() + done, static_cast<int>(data.size() - done), 0);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::filesystem::path HostProcess(const std::string& marker) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(L"Z:\\proc", ec)) {
    const std::wstring name = entry.path().filename().wstring();
    if (name.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
    if (ReadFile(entry.path() / L"cmdline").find(marker) != std::string::npos) return entry.path();
  }
  return {};
}

long long HostCpuMs(const std::filesystem::path& process) {
  // The fields after the command's name in parentheses: the state, ..., then
  // utime and stime (the 12th and 13th), in 1/100 s.
  const std::string stat = ReadFile(process / L"stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 1));
  std::string state;
  fields >> state;
  if (state == "Z") return -1;
  std::string skip;
  for (int i = 0; i < 10; ++i) fields >> skip;
  long long utime = 0, stime = 0;
  if (!(fields >> utime >> stime)) return -1;
  return (utime + stime) * 10;
}

int HostThreads(const std::filesystem::path& process) {
  std::istringstream status(ReadFile(process / L"status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  }
  return -1;
}

void Client::Reset() {
  if (m_socket == INVALID_SOCKET) return;
  const linger abortive{1, 0};
  setsockopt(m_socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof abortive);
  closesocket(m_socket);
  m_socket = INVALID_SOCKET;
}

ServiceView QueryService(const std::wstring& name) {
  ServiceView view;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) {
    view.openError = GetLastError();
    return view;
  }
  SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS);
  if (!service) {
    view.openError = GetLastError();
  } else {
    DWORD needed = 0;
    view.exists = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&view.status),
                                       sizeof view.status, &needed) != FALSE;
    if (!view.exists) view.openError = GetLastError();
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return view;
}

ServiceConfig QueryServiceConfig(const std::wstring& name) {
  ServiceConfig c;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, name.c_str(), SERVICE_QUERY_CONFIG) : nullptr;
  if (service) {
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* q = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (QueryServiceConfigW(service, q, static_cast<DWORD>(buffer.size()), &needed)) {
      c.exists = true;
      c.binaryPath = q->lpBinaryPathName ? q->lpBinaryPathName : L"";
      c.displayName = q->lpDisplayName ? q->lpDisplayName : L"";
      c.type = q->dwServiceType;
      c.startType = q->dwStartType;
    }
    if (QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, buffer.data(), static_cast<DWORD>(buffer.size()),
                             &needed)) {
      auto* d = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data());
      c.description = d->lpDescription ? d->lpDescription : L"";
    }
    CloseServiceHandle(service);
  }
  if (manager) CloseServiceHandle(manager);
  return c;
}

void ForceRemoveService(const std::wstring& name) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) return;
  if (SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS)) {
    SERVICE_STATUS status{};
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    WaitFor([&] { return QueryService(name).status.dwCurrentState == SERVICE_STOPPED; });
    DeleteService(service);
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
}

std::wstring WindowText(HWND window) {
  wchar_t text[1024] = {};
  SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, nullptr);
  return text;
}

namespace {

struct DialogSearch {
  DWORD pid;
  const std::wstring* text;
  HWND found = nullptr;
};

BOOL CALLBACK HasText(HWND child, LPARAM param) {
  auto* s = reinterpret_cast<DialogSearch*>(param);
  if (WindowText(child).find(*s->text) == std::wstring::npos) return TRUE;
  s->found = child;
  return FALSE;
}

BOOL CALLBACK VisitTop(HWND window, LPARAM param) {
  auto* s = reinterpret_cast<DialogSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t cls[64] = {};
  GetClassNameW(window, cls, 64);
  if (pid != s->pid || !IsWindowVisible(window) || std::wstring(cls) != L"#32770") return TRUE;
  if (!s->text->empty()) {
    DialogSearch inner{s->pid, s->text};
    EnumChildWindows(window, HasText, reinterpret_cast<LPARAM>(&inner));
    if (!inner.found) return TRUE;
  }
  s->found = window;
  return FALSE;
}

struct ControlSearch {
  int id;
  HWND found = nullptr;
};

BOOL CALLBACK HasId(HWND child, LPARAM param) {
  auto* s = reinterpret_cast<ControlSearch*>(param);
  if (GetDlgCtrlID(child) != s->id) return TRUE;
  s->found = child;
  return FALSE;
}

}  // namespace

HWND FindDialog(DWORD pid, const std::wstring& text) {
  DialogSearch s{pid, &text};
  EnumWindows(VisitTop, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

HWND FindControl(HWND root, int id) {
  ControlSearch s{id};
  EnumChildWindows(root, HasId, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

}  // namespace wintest
