// The service side of the service control manager.
#include "platform/win32/WinHeaders.h"

#include <mutex>
#include <string>

#include "platform/Error.h"
#include "platform/ServiceDispatch.h"

namespace sys {

namespace {

// The dispatcher calls ServiceMain without a context: one service per process.
std::function<void()> g_serviceMain;

void WINAPI ServiceMainThunk(DWORD, LPWSTR*) {
  if (g_serviceMain) g_serviceMain();
}

using ScHandle = win32::UniqueServiceHandle;

}  // namespace

bool RunServiceDispatcher(const std::wstring& serviceName, const std::function<void()>& serviceMain) {
  g_serviceMain = serviceMain;
  std::wstring name = serviceName;
  SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMainThunk}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherW(table)) {
    SetLastError(::GetLastError());
    return false;
  }
  return true;
}

struct ServiceStatusHandle::Impl {
  SERVICE_STATUS_HANDLE handle = nullptr;
  std::function<void(std::uint32_t)> handler;
};

namespace {

DWORD WINAPI ControlThunk(DWORD control, DWORD, LPVOID, LPVOID context) {
  auto* impl = static_cast<ServiceStatusHandle::Impl*>(context);
  if (impl->handler) impl->handler(control);
  return NO_ERROR;
}

}  // namespace

ServiceStatusHandle::ServiceStatusHandle() = default;
ServiceStatusHandle::~ServiceStatusHandle() = default;

bool ServiceStatusHandle::Register(const std::wstring& serviceName, std::function<void(std::uint32_t)> handler) {
  if (m_impl) return false;
  m_impl = std::make_unique<Impl>();
  m_impl->handler = std::move(handler);
  m_impl->handle = ::RegisterServiceCtrlHandlerExW(serviceName.c_str(), ControlThunk, m_impl.get());
  if (m_impl->handle == nullptr) {
    SetLastError(::GetLastError());
    m_impl.reset();
    return false;
  }
  return true;
}

bool ServiceStatusHandle::Report(const ServiceStatusRecord& s) {
  if (!m_impl) return false;
  SERVICE_STATUS status{};
  status.dwServiceType = s.serviceType;
  status.dwCurrentState = s.currentState;
  status.dwControlsAccepted = s.controlsAccepted;
  status.dwWin32ExitCode = s.win32ExitCode;
  status.dwServiceSpecificExitCode = s.serviceSpecificExitCode;
  status.dwCheckPoint = s.checkPoint;
  status.dwWaitHint = s.waitHint;
  if (!::SetServiceStatus(m_impl->handle, &status)) {
    SetLastError(::GetLastError());
    return false;
  }
  return true;
}

InstallStep InstallThisProgramAsService(const std::wstring& serviceName, const std::wstring& displayName,
                                        const std::wstring& description, std::uint32_t& error) {
  ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager.Get()) {
    error = ::GetLastError();
    SetLastError(error);
    return InstallStep::OpenManager;
  }
  wchar_t path[MAX_PATH + 1];
  DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
  if (n == 0 || n >= MAX_PATH + 1) {
    error = ::GetLastError();
    SetLastError(error);
    return InstallStep::ExecutablePath;
  }
  // Quoted: with blanks in an unquoted path another program could run in
  // the service's place with its rights.
  std::wstring commandLine = L"\"" + std::wstring(path, n) + L"\"";
  ScHandle service(::CreateServiceW(manager.Get(), serviceName.c_str(), displayName.c_str(), SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_IGNORE,
                                    commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service.Get()) {
    error = ::GetLastError();
    SetLastError(error);
    return InstallStep::Create;
  }
  std::wstring text = description;
  SERVICE_DESCRIPTIONW desc{text.data()};
  if (!::ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, &desc)) {
    error = ::GetLastError();
    SetLastError(error);
    return InstallStep::Description;
  }
  return InstallStep::Done;
}

RemoveStep RemoveService(const std::wstring& serviceName, std::uint32_t& error) {
  ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager.Get()) {
    error = ::GetLastError();
    SetLastError(error);
    return RemoveStep::OpenManager;
  }
  ScHandle service(::OpenServiceW(manager.Get(), serviceName.c_str(), DELETE | SERVICE_QUERY_STATUS));
  if (!service.Get()) {
    error = ::GetLastError();
    SetLastError(error);
    return RemoveStep::OpenService;
  }
  SERVICE_STATUS status{};
  if (!::QueryServiceStatus(service.Get(), &status)) {
    error = ::GetLastError();
    SetLastError(error);
    return RemoveStep::Query;
  }
  if (status.dwCurrentState != SERVICE_STOPPED) return RemoveStep::StillRunning;
  if (!::DeleteService(service.Get())) {
    error = ::GetLastError();
    SetLastError(error);
    return RemoveStep::Delete;
  }
  return RemoveStep::Removed;
}

}  // namespace sys
