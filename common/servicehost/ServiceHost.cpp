// The service host: command line, console mode, service mode, install and
// remove. Class-wide state as one instance made on first use.
#include "common/servicehost/ServiceHost.h"

#include <cstdlib>
#include <cwctype>
#include <memory>
#include <mutex>

#include "platform/ConsoleControl.h"
#include "platform/CrashHandler.h"
#include "platform/Error.h"
#include "platform/ServiceDispatch.h"
#include "platform/Text.h"
#include "platform/Thread.h"

namespace svchost {

namespace {

// Longer than the slowest stop: the log service drains its clients for up to
// 3 s before the file is closed.
constexpr std::uint32_t kPendingWaitHintMs = 10000;

class CServiceClass {
 public:
  explicit CServiceClass(const ServiceDefinition& definition)
      : m_def(definition), m_ownStopEvent(sys::Event::Reset::Manual) {
    if (!m_ownStopEvent.IsValid()) std::abort();  // nothing can run without it
    m_stopEvent = &m_ownStopEvent;
  }

  void Say(HostEvent event, DWORD code = 0) const {
    if (m_def.report) m_def.report(event, code);
  }

  void SignalStop() {
    std::lock_guard<std::mutex> lock(m_slotLock);
    if (m_stopEvent) m_stopEvent->Set();
  }

  // resetStop: console mode starts from an unsignalled event; the service's
  // fresh event is not reset, so a stop that came already is not lost.
  std::int32_t Process(bool resetStop, const std::function<void()>& ready = [] {}) {
    sys::Event* stop;
    {
      std::lock_guard<std::mutex> lock(m_slotLock);
      stop = m_stopEvent;
    }
    if (resetStop) stop->Reset();
    if (m_def.processWhenReady) return m_def.processWhenReady(*stop, ready);
    return m_def.process ? m_def.process(*stop) : 0;
  }

  bool EndService(std::uint32_t ctrlType) {
    if (ctrlType != sys::kCtrlCEvent && ctrlType != sys::kCtrlBreakEvent) return false;
    Say(HostEvent::EndServiceEntered);
    SignalStop();
    Say(HostEvent::EndServiceExiting);
    return true;
  }

  void RunService() {
    Say(HostEvent::RunServiceEntered);
    if (!sys::RunServiceDispatcher(m_def.serviceName, [this] { ServiceMain(); })) {
      Say(HostEvent::DispatcherFailed, sys::LastError());
    }
    Say(HostEvent::RunServiceExiting);
  }

  void ServiceMain() {
    sys::CrashStack crashStack;  // the dispatcher's thread is not one the system started
    Say(HostEvent::ServiceMainEntered);
    m_status = sys::ServiceStatusRecord{};
    // A fresh auto-reset stop event for the time the service runs, in place
    // before any control can arrive.
    auto serviceStop = std::make_unique<sys::Event>(sys::Event::Reset::Auto);
    {
      std::lock_guard<std::mutex> lock(m_slotLock);
      m_stopEvent = serviceStop.get();
    }
    sys::ServiceStatusHandle handle;
    if (!handle.Register(m_def.serviceName, [this, &handle](std::uint32_t c) { ControlHandler(handle, c); })) {
      Say(HostEvent::RegisterHandlerFailed, sys::LastError());
      std::lock_guard<std::mutex> lock(m_slotLock);
      m_stopEvent = &m_ownStopEvent;
      Say(HostEvent::ServiceMainExiting);
      return;
    }
    SetState(handle, sys::kServiceStartPending);
    {
      std::lock_guard<std::mutex> lock(m_statusLock);
      m_status.controlsAccepted |= sys::kServiceAcceptStop | sys::kServiceAcceptShutdown;
    }
    auto running = [this, &handle] {
      SetState(handle, sys::kServiceRunning);
      Say(HostEvent::ServiceRunning);
    };
    std::int32_t rc;
    if (m_def.processWhenReady) {
      rc = Process(false, running);
    } else {
      running();
      rc = Process(false);
    }
    if (rc != 0) Say(HostEvent::ProcessFailed, static_cast<DWORD>(rc));
    SetState(handle, sys::kServiceStopPending);
    {
      std::lock_guard<std::mutex> lock(m_slotLock);
      m_stopEvent = &m_ownStopEvent;
    }
    serviceStop.reset();
    Say(HostEvent::ServiceStopped);
    {
      std::lock_guard<std::mutex> lock(m_statusLock);
      m_status.controlsAccepted &= ~(sys::kServiceAcceptStop | sys::kServiceAcceptShutdown);
    }
    SetState(handle, sys::kServiceStopped);
    Say(HostEvent::ServiceMainExiting);
  }

  void ControlHandler(sys::ServiceStatusHandle& handle, std::uint32_t control) {
    Say(HostEvent::ControlHandlerEntered);
    if (control == sys::kServiceControlStop || control == sys::kServiceControlShutdown) {
      Say(HostEvent::ControlStopPending);
      SetState(handle, sys::kServiceStopPending);
      SignalStop();
    }
    ReportStatus(handle);
    Say(HostEvent::ControlHandlerExiting);
  }

  void InstallService() {
    Say(HostEvent::InstallEntered);
    std::uint32_t error = 0;
    switch (sys::InstallThisProgramAsService(m_def.serviceName, m_def.displayName, m_def.description, error)) {
      case sys::InstallStep::OpenManager: Say(HostEvent::InstallOpenManagerFailed, error); break;
      case sys::InstallStep::ExecutablePath: break;
      case sys::InstallStep::Create: Say(HostEvent::InstallCreateFailed, error); break;
      case sys::InstallStep::Description:
        Say(HostEvent::InstallDescriptionFailed, error);
        Say(HostEvent::Installed);
        break;
      case sys::InstallStep::Done: Say(HostEvent::Installed); break;
    }
    Say(HostEvent::InstallExiting);
  }

  void UninstallService() {
    Say(HostEvent::UninstallEntered);
    std::uint32_t error = 0;
    switch (sys::RemoveService(m_def.serviceName, error)) {
      case sys::RemoveStep::OpenManager: Say(HostEvent::UninstallOpenManagerFailed, error); break;
      case sys::RemoveStep::OpenService: Say(HostEvent::UninstallOpenServiceFailed, error); break;
      case sys::RemoveStep::Query: Say(HostEvent::UninstallQueryFailed, error); break;
      case sys::RemoveStep::StillRunning: Say(HostEvent::UninstallStillRunning); break;
      case sys::RemoveStep::Delete: Say(HostEvent::UninstallDeleteFailed, error); break;
      case sys::RemoveStep::Removed: Say(HostEvent::Removed); break;
    }
    Say(HostEvent::UninstallExiting);
  }

 private:
  // A status is reported under the lock that guards it, so the handler's
  // report cannot overtake a newer one (a stale "stopping" after "stopped").
  // A pending state carries a wait hint and a checkpoint that moves with each
  // report, so a manager waiting on it (net start / net stop) neither gives
  // up early nor waits forever; a settled state carries neither.
  void SetState(sys::ServiceStatusHandle& handle, std::uint32_t state) {
    std::lock_guard<std::mutex> lock(m_statusLock);
    m_status.currentState = state;
    const bool pending = state == sys::kServiceStartPending || state == sys::kServiceStopPending;
    m_status.checkPoint = pending ? m_status.checkPoint + 1 : 0;
    m_status.waitHint = pending ? kPendingWaitHintMs : 0;
    handle.Report(m_status);
  }

  void ReportStatus(sys::ServiceStatusHandle& handle) {
    std::lock_guard<std::mutex> lock(m_statusLock);
    handle.Report(m_status);
  }

  const ServiceDefinition& m_def;
  sys::Event m_ownStopEvent;
  std::mutex m_slotLock;
  sys::Event* m_stopEvent = nullptr;
  std::mutex m_statusLock;
  sys::ServiceStatusRecord m_status;
};

std::wstring Lower(std::wstring s) {
  for (auto& c : s) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return s;
}

}  // namespace

Command ParseCommand(const std::vector<std::wstring>& args) {
  if (args.empty()) return Command::Service;
  const std::wstring word = Lower(args.front());
  if (word == L"install") return Command::Install;
  if (word == L"remove") return Command::Remove;
  if (word == L"console") return Command::Console;
  return Command::Service;
}

int RunHost(const ServiceDefinition& definition, const std::vector<std::wstring>& args) {
  sys::DisableCoreDumps();
  if (definition.crashHandler) sys::InstallCrashHandler();
  CServiceClass host(definition);
  sys::ConsoleControlHandler console;
  console.Register([&host](std::uint32_t ctrlType) { return host.EndService(ctrlType); });
  switch (ParseCommand(args)) {
    case Command::Install: host.InstallService(); break;
    case Command::Remove: host.UninstallService(); break;
    case Command::Console: host.Process(true); break;
    case Command::Service: host.RunService(); break;
  }
  return 0;
}

int RunHost(const ServiceDefinition& definition, int argc, char** argv) {
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.push_back(sys::FromUtf8(argv[i]));
  return RunHost(definition, args);
}

}  // namespace svchost
