#pragma once
// The service side of the service control manager: running as a service,
// the control handler, status reports, installing and removing a service.
// Linux: systemd. A unit "<name>.service" (Type=notify) in the unit folder,
// systemctl for daemon-reload / enable / is-active / disable, status reports
// with sd_notify over NOTIFY_SOCKET, SIGTERM as the stop control.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace sys {

inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kServiceAcceptStop = 1;
inline constexpr std::uint32_t kServiceAcceptShutdown = 4;
inline constexpr std::uint32_t kServiceControlStop = 1;
inline constexpr std::uint32_t kServiceControlShutdown = 5;

struct ServiceStatusRecord {
  std::uint32_t serviceType = 0x30;  // SERVICE_WIN32
  std::uint32_t currentState = kServiceStopped;
  std::uint32_t controlsAccepted = 0;
  std::uint32_t win32ExitCode = 0;
  std::uint32_t serviceSpecificExitCode = 0;
  std::uint32_t checkPoint = 0;
  std::uint32_t waitHint = 0;
};

// Connects to the manager and runs serviceMain on the service's thread;
// returns when the service has stopped. False when the program was not
// started by the manager (Linux: no NOTIFY_SOCKET), with
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT in LastError().
bool RunServiceDispatcher(const std::wstring& serviceName, const std::function<void()>& serviceMain);

// The registration of a control handler; reports the status. Handler calls
// come on a thread of their own (Linux: SIGTERM gives kServiceControlStop).
class ServiceStatusHandle {
 public:
  ServiceStatusHandle();
  ~ServiceStatusHandle();  // ends the control thread
  ServiceStatusHandle(const ServiceStatusHandle&) = delete;
  ServiceStatusHandle& operator=(const ServiceStatusHandle&) = delete;

  // False with the error in LastError().
  bool Register(const std::wstring& serviceName, std::function<void(std::uint32_t control)> handler);
  bool Report(const ServiceStatusRecord& status);

  struct Impl;

 private:
  std::unique_ptr<Impl> m_impl;
};

enum class InstallStep { Done, OpenManager, ExecutablePath, Create, Description };

// Installs the service (auto start, own process, local system; its command
// line is the running program's full path in double quotes). Returns the step
// that failed (Done: installed), with its error in error. A failed
// Description still leaves the service installed.
InstallStep InstallThisProgramAsService(const std::wstring& serviceName, const std::wstring& displayName,
                                        const std::wstring& description, std::uint32_t& error);

enum class RemoveStep { Removed, OpenManager, OpenService, Query, StillRunning, Delete };

// Removes the service only when it is stopped.
RemoveStep RemoveService(const std::wstring& serviceName, std::uint32_t& error);

}  // namespace sys
