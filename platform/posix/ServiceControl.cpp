// Services are systemd units "<NAME>.service", driven through systemctl.
// Every failure keeps systemctl's own words for its cause.
#include "platform/ServiceControl.h"

#include "platform/Error.h"
#include "platform/ErrorNumbers.h"
#include "platform/Text.h"
#include "platform/posix/ChildProcess.h"

namespace sys {
namespace {

using namespace errnum;
// One systemctl call never takes longer than this.
constexpr std::uint32_t kCallLimitMs = 30000;

thread_local std::string t_cause;

std::string Trimmed(const std::string& s) {
  size_t end = s.find_last_not_of(" \t\r\n");
  return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

bool Has(const std::string& text, const char* words) { return text.find(words) != std::string::npos; }

bool Fail(std::uint32_t code, std::string cause) {
  t_cause = std::move(cause);
  SetLastError(code);
  return false;
}

posix::ChildResult Systemctl(std::vector<std::string> args) {
  args.insert(args.begin(), "systemctl");
  t_cause.clear();
  return posix::RunChild(args, kCallLimitMs, true);
}

// What went wrong in a systemctl call, whatever was asked: it could not run,
// ran out of time, found no systemd, was refused, or found no such unit.
// False when the cause is none of these.
bool CommonFailure(const posix::ChildResult& r, const std::string& unit) {
  const std::string said = Trimmed(r.output);
  if (!r.started) {
    Fail(r.error ? r.error : kErrorFileNotFound,
         "systemctl was not found: this machine has no systemd, which runs the services.");
    return true;
  }
  if (r.timedOut) {
    Fail(kErrorServiceRequestTimeout, "systemctl did not answer within 30 seconds.");
    return true;
  }
  if (r.exitCode == 0) return false;
  if (Has(said, "not been booted with systemd") || Has(said, "Failed to connect to bus") || said == "offline") {
    Fail(kErrorRpcServerUnavailable,
         "systemd is not running on this machine (it is not the init system), so no service can be stopped or "
         "started.");
    return true;
  }
  if (r.exitCode == 4 || Has(said, "Access denied") || Has(said, "authentication required")) {
    Fail(kErrorAccessDenied, "Access was refused: only root may stop and start services (systemctl: " + said + ").");
    return true;
  }
  if (!unit.empty() && (Has(said, "not found") || Has(said, "not loaded"))) {
    Fail(kErrorServiceDoesNotExist, "The service " + unit + " is not installed.");
    return true;
  }
  return false;
}

}  // namespace

std::wstring ServiceFailureCause() { return FromUtf8(t_cause); }

struct ServiceManager::Impl {};

struct Service::Impl {
  std::string unit;
};

ServiceManager::ServiceManager() = default;
ServiceManager::~ServiceManager() = default;

bool ServiceManager::Open() {
  // systemctl must run, and systemd must be there to answer it.
  auto r = Systemctl({"is-system-running"});
  if (CommonFailure(r, "")) return false;
  m_impl = std::make_unique<Impl>();
  return true;
}

bool ServiceManager::IsOpen() const { return m_impl != nullptr; }

Service::Service() = default;
Service::~Service() = default;

bool Service::Open(ServiceManager& manager, const std::wstring& name) {
  if (!manager.IsOpen()) return Fail(kErrorInvalidHandle, "The service manager is not open.");
  std::string unit = ToUtf8(name) + ".service";
  auto r = Systemctl({"show", "-p", "LoadState", "--value", unit});
  if (CommonFailure(r, unit)) return false;
  std::string state = Trimmed(r.output);
  if (r.exitCode != 0 || state.empty() || state == "not-found") {
    return Fail(kErrorServiceDoesNotExist, "The service " + unit + " is not installed.");
  }
  m_impl = std::make_unique<Impl>();
  m_impl->unit = unit;
  return true;
}

bool Service::IsOpen() const { return m_impl != nullptr; }

bool Service::QueryState(ServiceState& state) {
  if (!m_impl) return Fail(kErrorInvalidHandle, "The service is not open.");
  // is-active answers with a non-zero exit code for every state but active;
  // its word is what counts.
  auto r = Systemctl({"is-active", m_impl->unit});
  if (!r.started || r.timedOut) {
    CommonFailure(r, m_impl->unit);
    return false;
  }
  std::string word = Trimmed(r.output);
  if (word == "active" || word == "reloading") {
    state = ServiceState::Running;
  } else if (word == "inactive" || word == "failed") {
    state = ServiceState::Stopped;
  } else if (word == "activating") {
    state = ServiceState::StartPending;
  } else if (word == "deactivating") {
    state = ServiceState::StopPending;
  } else if (CommonFailure(r, m_impl->unit)) {
    return false;
  } else if (word.empty() || word == "unknown") {
    return Fail(kErrorServiceDoesNotExist, "The service " + m_impl->unit + " is not installed.");
  } else {
    state = ServiceState::Other;
  }
  return true;
}

bool Service::SendStop() {
  if (!m_impl) return Fail(kErrorInvalidHandle, "The service is not open.");
  ServiceState state{};
  if (!QueryState(state)) return false;
  if (state == ServiceState::Stopped) return Fail(kErrorServiceNotActive, "The service " + m_impl->unit + " is not running.");
  auto r = Systemctl({"stop", "--no-block", m_impl->unit});
  if (CommonFailure(r, m_impl->unit)) return false;
  if (r.exitCode != 0) {
    return Fail(kErrorServiceCannotAcceptCtrl, "systemd did not stop " + m_impl->unit + ": " + Trimmed(r.output));
  }
  return true;
}

bool Service::Start() {
  if (!m_impl) return Fail(kErrorInvalidHandle, "The service is not open.");
  ServiceState state{};
  if (QueryState(state) && state == ServiceState::Running) {
    return Fail(kErrorServiceAlreadyRunning, "The service " + m_impl->unit + " is already running.");
  }
  auto r = Systemctl({"start", m_impl->unit});
  if (CommonFailure(r, m_impl->unit)) return false;
  if (r.exitCode != 0) {
    // The unit's own result says how it ended; its messages are in the journal.
    std::string said = Trimmed(r.output);
    auto result = Systemctl({"show", "-p", "Result", "--value", m_impl->unit});
    std::string how = result.started && !result.timedOut ? Trimmed(result.output) : std::string();
    return Fail(kErrorServiceSpecificError, m_impl->unit + " failed to start" + (how.empty() ? "" : " (" + how + ")") +
                                                ". Its messages: journalctl -u " + m_impl->unit +
                                                (said.empty() ? "" : "\nsystemctl: " + said));
  }
  return true;
}

}  // namespace sys
