#pragma once
// Test helpers for the Win32 test programs run under Wine: deadline waits,
// child processes, temporary folders, free TCP ports and the service control
// manager's view of a service.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace wintest {

// Wine is slow on a loaded machine: every wait gets a generous deadline.
inline constexpr int kDeadlineMs = 60000;

// The build's bin folder (ZOL_BIN_DIR, as a Windows path).
std::filesystem::path BinDir();

// The services' names under the service control manager.
inline constexpr const wchar_t* kLogService = L"ZOLLOGSVC";
inline constexpr const wchar_t* kPortService = L"ZOLSVC";
// A path in double quotes, one argument of a command line.
inline std::wstring Quoted(const std::filesystem::path& p) { return L"\"" + p.wstring() + L"\""; }

// Polls cond every 20 ms until it holds or the deadline passes.
bool WaitFor(const std::function<bool()>& cond, int timeoutMs = kDeadlineMs);

// A fresh folder under the temporary folder, removed with its contents.
struct TempFolder {
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::filesystem::path path;
};

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& text);

// Runs a command line to its end; returns its exit code, or -1 when it could
// not start or did not end within the deadline (it is then terminated).
int RunProgram(const std::wstring& commandLine, int timeoutMs = kDeadlineMs);

// A port on 127.0.0.1 that nothing listens on at the moment.
unsigned short FreePort();
// True when a connection to 127.0.0.1:port is accepted.
bool Accepts(unsigned short port);

// A connected client socket to 127.0.0.1:port (INVALID_SOCKET on failure).
class Client {
 public:
  explicit Client(unsigned short port);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  bool Connected() const { return m_socket != INVALID_SOCKET; }
  bool Send(const std::string& data);
  // Closes with a reset instead of the orderly close.
  void Reset();

 private:
  SOCKET m_socket = INVALID_SOCKET;
};

// The host's process (its /proc folder, through drive Z:) whose command line
// contains marker; empty when there is none.
std::filesystem::path HostProcess(const std::string& marker);
// The CPU time (user and system, in ms) that host process has used, -1 when
// it has ended. Wine reports no times for another process: the host does.
long long HostCpuMs(const std::filesystem::path& process);
// Its number of threads, -1 when it has ended.
int HostThreads(const std::filesystem::path& process);

// What the manager says of a service; exists is false for one not installed.
struct ServiceView {
  bool exists = false;
  DWORD openError = 0;
  SERVICE_STATUS_PROCESS status{};
};
ServiceView QueryService(const std::wstring& name);
// How a service is registered; exists is false for one not installed.
struct ServiceConfig {
  bool exists = false;
  std::wstring binaryPath;
  std::wstring displayName;
  std::wstring description;
  DWORD type = 0;
  DWORD startType = 0;
};
ServiceConfig QueryServiceConfig(const std::wstring& name);
// Stops and deletes a service an earlier, failed run may have left installed.
void ForceRemoveService(const std::wstring& name);

// A visible dialog (class #32770) of process pid whose descendants include
// a window whose text contains `text` (empty: any); nullptr when none.
HWND FindDialog(DWORD pid, const std::wstring& text = L"");
// The descendant of root with this control id, nullptr when none.
HWND FindControl(HWND root, int id);
std::wstring WindowText(HWND window);

}  // namespace wintest
