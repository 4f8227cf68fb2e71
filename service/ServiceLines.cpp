#include "service/ServiceLines.h"

#include "common/log/ZolLog.h"

namespace {

struct Line {
  svchost::HostEvent event;
  DWORD level;
  bool withError;   // LogError with the event's code
  bool withName;    // the service name follows the text, then afterName
  const char* text;
  const char* afterName = "";
};

using E = svchost::HostEvent;
constexpr Line kLines[] = {
    {E::RunServiceEntered, LEVEL_VERBOSE, false, false, "CServiceClass::RunService - Entered"},
    {E::DispatcherFailed, LEVEL_ERROR, true, false, "CServiceClass::RunService - StartServiceCtrlDispatcher"},
    {E::RunServiceExiting, LEVEL_VERBOSE, false, false, "CServiceClass::RunService - Exiting"},
    {E::ServiceMainEntered, LEVEL_VERBOSE, false, false, "CServiceClass::ServiceMain - Entered"},
    {E::RegisterHandlerFailed, LEVEL_ERROR, true, false, "CServiceClass::ServiceMain - RegisterServiceCtrlHandler failed"},
    {E::ServiceRunning, LEVEL_INFO, false, false, "CServiceClass::ServiceMain - Service is Running"},
    {E::ProcessFailed, LEVEL_ERROR, true, false, "CServiceClass::ServiceMain - Process failed"},
    {E::ServiceStopped, LEVEL_INFO, false, false, "CServiceClass::ServiceMain - Service is Stopped"},
    {E::ServiceMainExiting, LEVEL_VERBOSE, false, false, "CServiceClass::ServiceMain - Exiting"},
    {E::ControlHandlerEntered, LEVEL_VERBOSE, false, false, "CServiceClass::ServiceControlHandler - Entered"},
    {E::ControlStopPending, LEVEL_INFO, false, false, "CServiceClass::ServiceControlHandler - SERVICE_STOP_PENDING"},
    {E::ControlHandlerExiting, LEVEL_VERBOSE, false, false, "CServiceClass::ServiceControlHandler - Exiting"},
    {E::EndServiceEntered, LEVEL_VERBOSE, false, false, "CServiceClass::EndService - Entered"},
    {E::EndServiceExiting, LEVEL_VERBOSE, false, false, "CServiceClass::EndService - Exiting"},
    {E::InstallEntered, LEVEL_VERBOSE, false, false, "CServiceClass::InstallService - Entered"},
    {E::InstallOpenManagerFailed, LEVEL_ERROR, true, false, "CServiceClass::InstallService - OpenSCManager failed"},
    {E::InstallCreateFailed, LEVEL_ERROR, true, false, "CServiceClass::InstallService - CreateService failed"},
    {E::InstallDescriptionFailed, LEVEL_ERROR, true, false, "CServiceClass::InstallService - ChangeServiceConfig2 failed"},
    {E::Installed, LEVEL_INFO, false, true, "CServiceClass::InstallService - ", " Installed Successfully"},
    {E::InstallExiting, LEVEL_VERBOSE, false, false, "CServiceClass::InstallService - Exiting"},
    {E::UninstallEntered, LEVEL_VERBOSE, false, false, "CServiceClass::UninstallService - Entered"},
    {E::UninstallOpenManagerFailed, LEVEL_ERROR, true, false, "CServiceClass::UninstallService - OpenSCManager failed"},
    {E::UninstallOpenServiceFailed, LEVEL_ERROR, true, false, "CServiceClass::UninstallService - OpenService failed"},
    {E::UninstallQueryFailed, LEVEL_ERROR, true, false, "CServiceClass::UninstallService - QueryServiceStatus failed"},
    {E::UninstallStillRunning, LEVEL_INFO, false, true, "CServiceClass::UninstallService - ", " is still running"},
    {E::Removed, LEVEL_INFO, false, true, "CServiceClass::UninstallService - ", " removed successfully"},
    {E::UninstallDeleteFailed, LEVEL_ERROR, true, false, "CServiceClass::UninstallService - DeleteService failed"},
    {E::UninstallExiting, LEVEL_VERBOSE, false, false, "CServiceClass::UninstallService - Exiting"},
};

}  // namespace

void ReportServiceLine(const std::wstring& serviceName, svchost::HostEvent event, DWORD code) {
  for (const Line& line : kLines) {
    if (line.event != event) continue;
    if (line.withError)
      LogError(ZOL_SERVICE, line.level, code, "%s", line.text);
    else if (line.withName)
      LogMessage(ZOL_SERVICE, line.level, "%s%ls%s", line.text, serviceName.c_str(), line.afterName);
    else
      LogMessage(ZOL_SERVICE, line.level, "%s", line.text);
    return;
  }
}
