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

const wchar_t* const kStopPort = L"Stop ZOL Service GetLastError = ";
const wchar_t* const kStopLog = L"Stop Log Service GetLastError = ";
const wchar_t* const kPortNotStopped = L"Quillmere Framework Service failed to stop.\nRestart Quillmere services manually.";
const wchar_t* const kLogNotStopped = L"Quillmere Logging Service failed to stop.\nRestart Quillmere services manually.";

// A failed step: the system's text with the last error's number, then the
// cause in words.
RestartReport Failed(const std::wstring& first, const std::wstring& warning, const std::wstring& service) {
  const DWORD error = sys::LastError();
  // A stop that outlasts its bound is ours to explain; anything else, the
  // service manager's.
  const std::wstring cause = error == ERROR_TIMEOUT ? L"The service " + service + L" did not stop in time."
                                                    : sys::ServiceFailureCause();
  RestartReport report;
  report.firstBox = first + std::to_wstring(error) + (cause.empty() ? L"" : L"\n" + cause);
  report.warning = warning;
  return report;
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

std::wstring StepText(RestartStep step) {
  switch (step) {
    case RestartStep::StoppingPortService: return L"Stopping ZOL Service...";
    case RestartStep::StoppingLogService: return L"Stopping Log Service...";
    case RestartStep::StartingLogService: return L"Starting Log Service...";
    case RestartStep::StartingPortService: return L"Starting ZOL Service...";
  }
  return L"";
}

bool AskToRestart() {
  return sys::ShowMessageBox(
             {L"Configuration file changed. You must restart the services for the configuration to take effect.\n\n"
              L"Do you want to restart the services now?",
              kToolCaption, sys::MessageIcon::Question, sys::MessageButtons::YesNo}) == sys::MessageAnswer::Yes;
}

RestartReport RunRestart(const RestartLimits& limits, const std::function<void(RestartStep)>& progress) {
  auto say = [&](RestartStep step) {
    if (progress) progress(step);
  };
  sys::ServiceManager manager;
  sys::Service logService;
  sys::Service portService;
  say(RestartStep::StoppingPortService);
  if (!manager.Open()) return Failed(kStopPort, kPortNotStopped, kPortServiceName);
  // A service that cannot be opened (not installed) ends in its stop report
  // before anything is stopped.
  if (!logService.Open(manager, kLogServiceName)) return Failed(kStopLog, kLogNotStopped, kLogServiceName);
  if (!portService.Open(manager, kPortServiceName)) return Failed(kStopPort, kPortNotStopped, kPortServiceName);
  if (!StopAndWait(portService, limits)) return Failed(kStopPort, kPortNotStopped, kPortServiceName);
  say(RestartStep::StoppingLogService);
  if (!StopAndWait(logService, limits)) return Failed(kStopLog, kLogNotStopped, kLogServiceName);
  say(RestartStep::StartingLogService);
  if (!logService.Start()) {
    return Failed(L"Start Log Service GetLastError = ",
                  L"Quillmere Logging Service failed to start.\nRestart Quillmere services manually.", kLogServiceName);
  }
  say(RestartStep::StartingPortService);
  if (!portService.Start()) {
    return Failed(L"Start ZOL Service GetLastError = ",
                  L"Quillmere Framework Service failed to start.\nRestart Quillmere services manually.", kPortServiceName);
  }
  RestartReport report;
  report.restarted = true;
  report.firstBox = L"Quillmere services restarted.\n";
  return report;
}

void ShowRestartReport(const RestartReport& report) {
  if (report.restarted) {
    InformationBox(report.firstBox);
    return;
  }
  sys::ShowMessageBox({report.firstBox, kToolCaption, sys::MessageIcon::None, sys::MessageButtons::Ok});
  WarningBox(report.warning);
}

void RestartServices(const RestartLimits& limits) {
  if (!AskToRestart()) return;
  ShowRestartReport(RunRestart(limits));
}

}  // namespace zolcfg
