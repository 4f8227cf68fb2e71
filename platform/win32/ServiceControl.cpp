#include "platform/win32/WinHeaders.h"

#include "platform/ServiceControl.h"

#include "platform/Error.h"
#include "platform/Text.h"

namespace sys {

struct ServiceManager::Impl {
  win32::UniqueServiceHandle scm;
};

struct Service::Impl {
  win32::UniqueServiceHandle service;
};

ServiceManager::ServiceManager() = default;
ServiceManager::~ServiceManager() = default;

bool ServiceManager::Open() {
  SC_HANDLE h = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!h) return false;  // last error set by the call
  m_impl = std::make_unique<Impl>();
  m_impl->scm.Reset(h);
  return true;
}

bool ServiceManager::IsOpen() const { return m_impl != nullptr; }

Service::Service() = default;
Service::~Service() = default;

bool Service::Open(ServiceManager& manager, const std::wstring& name) {
  if (!manager.IsOpen()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  SC_HANDLE h = OpenServiceW(manager.impl()->scm.Get(), name.c_str(), 0xF003F);
  if (!h) return false;
  m_impl = std::make_unique<Impl>();
  m_impl->service.Reset(h);
  return true;
}

bool Service::IsOpen() const { return m_impl != nullptr; }

bool Service::QueryState(ServiceState& state) {
  if (!m_impl) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(m_impl->service.Get(), &status)) return false;
  switch (status.dwCurrentState) {
    case SERVICE_STOPPED: state = ServiceState::Stopped; break;
    case SERVICE_START_PENDING: state = ServiceState::StartPending; break;
    case SERVICE_STOP_PENDING: state = ServiceState::StopPending; break;
    case SERVICE_RUNNING: state = ServiceState::Running; break;
    default: state = ServiceState::Other; break;
  }
  return true;
}

bool Service::SendStop() {
  if (!m_impl) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  SERVICE_STATUS status{};
  return ControlService(m_impl->service.Get(), SERVICE_CONTROL_STOP, &status) != FALSE;
}

bool Service::Start() {
  if (!m_impl) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return StartServiceW(m_impl->service.Get(), 0, nullptr) != FALSE;
}

std::wstring ServiceFailureCause() {
  std::string text = ErrorText(LastError());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return FromUtf8(text);
}

}  // namespace sys
