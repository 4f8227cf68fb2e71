#pragma once
// Restarting the two services so that they read the saved document: stop the
// port service and wait until it has stopped, the same for the logging
// service, then start the logging service and the port service.
#include <cstdint>
#include <functional>
#include <string>

namespace zolcfg {

inline constexpr const wchar_t* kPortServiceName = L"ZOLSVC";
inline constexpr const wchar_t* kLogServiceName = L"ZOLLOGSVC";

// The wait for a service to stop is bounded, with a pause between queries.
struct RestartLimits {
  std::uint32_t stopWaitMs = 30000;
  std::uint32_t pollPauseMs = 250;
};

enum class RestartStep { StoppingPortService, StoppingLogService, StartingLogService, StartingPortService };

// What the window shows while a step runs: "Stopping ZOL Service...", ...
std::wstring StepText(RestartStep step);

// How a restart ended: the boxes to show. A failure has the plain box (the
// system's text, the error's number and, on its own line, the cause) and the
// warning; a success only the information text.
struct RestartReport {
  bool restarted = false;
  std::wstring firstBox;
  std::wstring warning;
};

// The question; true when the user answered Yes.
bool AskToRestart();
// The restart itself, without a box, so it may run on a worker thread;
// progress (optional) is called on that thread before each step. Nothing after
// a failed step is done.
RestartReport RunRestart(const RestartLimits& limits, const std::function<void(RestartStep)>& progress = {});
// The report's boxes, on the thread that shows boxes.
void ShowRestartReport(const RestartReport& report);

// All three in a row (the Win32 dialog): asks first; anything but Yes leaves
// the services alone.
void RestartServices(const RestartLimits& limits = {});

}  // namespace zolcfg
