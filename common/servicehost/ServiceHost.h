#pragma once
// The reusable service host shared by the port service and the logging
// service: the command-line words, console mode, service mode, install and
// remove, and the crash handler. What the host says is left to the program:
// every point where a line may be written is reported through
// ServiceDefinition::report, which may be empty (the host then says nothing).
#include <functional>
#include <string>
#include <vector>

#include "platform/Event.h"
#include "platform/WinTypes.h"

namespace svchost {

// The points at which the host may write a line. `code` carries the system
// error (or the work's failure value) where one belongs to the event, else 0.
enum class HostEvent {
  RunServiceEntered,
  DispatcherFailed,           // code: the system error
  RunServiceExiting,
  ServiceMainEntered,
  RegisterHandlerFailed,      // code: the system error
  ServiceRunning,
  ProcessFailed,              // code: the value the work returned
  ServiceStopped,
  ServiceMainExiting,
  ControlHandlerEntered,
  ControlStopPending,
  ControlHandlerExiting,
  EndServiceEntered,
  EndServiceExiting,
  InstallEntered,
  InstallOpenManagerFailed,   // code: the system error
  InstallCreateFailed,        // code: the system error
  InstallDescriptionFailed,   // code: the system error
  Installed,
  InstallExiting,
  UninstallEntered,
  UninstallOpenManagerFailed, // code: the system error
  UninstallOpenServiceFailed, // code: the system error
  UninstallQueryFailed,       // code: the system error
  UninstallStillRunning,
  Removed,
  UninstallDeleteFailed,      // code: the system error
  UninstallExiting,
};

struct ServiceDefinition {
  std::wstring serviceName;
  std::wstring displayName;
  std::wstring description;
  // The service's work: runs until stopEvent is signalled and returns 0, or
  // returns a failure value at once. Used in console and service mode.
  std::function<std::int32_t(sys::Event& stopEvent)> process;
  // In place of process: a work that tells when it is ready. Service mode
  // then reports running only when the work calls ready (never, if it fails
  // first); console mode ignores the call.
  std::function<std::int32_t(sys::Event& stopEvent, const std::function<void()>& ready)> processWhenReady;
  // Optional: called at each HostEvent (the service name is in the
  // definition, for the lines that carry it).
  std::function<void(HostEvent event, DWORD code)> report;
  // Install the fatal-error handler that writes the crash report / minidump.
  bool crashHandler = true;
};

enum class Command { Install, Remove, Console, Service };

// The first argument (after the program name) compared without regard to
// case with "install", "remove" and "console", in this order; anything else,
// or none, is Service. Only the first word counts.
Command ParseCommand(const std::vector<std::wstring>& args);

// The whole entry point: installs the crash handler and the console stop
// handler, then runs the command of the first argument. args excludes the
// program name. Returns the process exit code, which is always 0.
int RunHost(const ServiceDefinition& definition, const std::vector<std::wstring>& args);
// Same with main()'s arguments.
int RunHost(const ServiceDefinition& definition, int argc, char** argv);

}  // namespace svchost
