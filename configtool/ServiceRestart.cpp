#include "configtool/ServiceRestart.h"

#include <string>

#include "configtool/Page.h"
#include "platform/Error.h"
#include "platform/MessageBox.h"
#include "platform/ServiceControl.h"
#include "platform/Thread.h"
#include "platform/WinTypes.h"

namespace zolcfg {
namespace {

// A failure: a plain box with the last error's number, then a warning.
void Report(const std::wstring& first, const std::wstring& warning) {
  const DWORD error = sys::LastError();
  sys::ShowMessageBox({first + std::to_wstring(error), kToolCaption, sys::MessageIcon::None, sys::MessageButtons::Ok});
  WarningBox(warning);
}

// Stops a running service and waits until it reports stopped.
bool StopAndWait(sys::Service& service, const RestartLimits& limits) {
  sys::ServiceState state{};
  if (!service.QueryState(state)) return false;
  if (state == sys::ServiceState::Running && !service.SendStop()) return false;
  const std::uint64_t deadline = sys::TickCountMs() + limits.stopWaitMs;
  for (;;) {
    if (!service.QueryState(state)) return false;
    if (state == sys::ServiceState::Stopped) return true;
    if (sys::TickCountMs() >= deadline) {
      sys::SetLastError(ERROR_TIMEOUT);
      return false;
    }
    sys::SleepMs(limits.pollPauseMs);
  }
}

}  // namespace

void RestartServices(const RestartLimits& limits) {
  const auto answer = sys::ShowMessageBox(
      {L"Configuration file changed. You must restart the services for the configuration to take effect.\n\n"
       L"Do you want to restart the services now?",
       kToolCaption, sys::MessageIcon::Question, sys::MessageButtons::YesNo});
  if (answer != sys::MessageAnswer::Yes) return;

  const std::wstring stopPort = L"Stop ZOL Service GetLastError = ";
  const std::wstring stopLog = L"Stop Log Service GetLastError = ";
  const std::wstring portNotStopped =
      L"Quillmere Framework Service failed to stop.\nRestart Quillmere services manually.";
  const std::wstring logNotStopped = L"Quillmere Logging Service failed to stop.\nRestart Quillmere services manually.";

  sys::ServiceManager manager;
  sys::Service logService;
  sys::Service portService;
  if (!manager.Open()) {
    Report(stopPort, portNotStopped);
    return;
  }
  // A service that cannot be opened (not installed) ends in its stop report
  // before anything is stopped.
  if (!logService.Open(manager, kLogServiceName)) {
    Report(stopLog, logNotStopped);
    return;
  }
  if (!portService.Open(manager, kPortServiceName)) {
    Report(stopPort, portNotStopped);
    return;
  }
  if (!StopAndWait(portService, limits)) {
    Report(stopPort, portNotStopped);
    return;
  }
  if (!StopAndWait(logService, limits)) {
    Report(stopLog, logNotStopped);
    return;
  }
  if (!logService.Start()) {
    Report(L"Start Log Service GetLastError = ",
           L"Quillmere Logging Service failed to start.\nRestart Quillmere services manually.");
    return;
  }
  if (!portService.Start()) {
    Report(L"Start ZOL Service GetLastError = ",
           L"Quillmere Framework Service failed to start.\nRestart Quillmere services manually.");
    return;
  }
  InformationBox(L"Quillmere services restarted.\n");
}

}  // namespace zolcfg
