// Services are systemd units "<NAME>.service", driven through systemctl.
#include "platform/ServiceControl.h"

#include "platform/Error.h"
#include "platform/Text.h"
#include "platform/posix/ChildProcess.h"

namespace sys {
namespace {

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorServiceRequestTimeout = 1053;
constexpr std::uint32_t kErrorServiceDoesNotExist = 1060;
constexpr std::uint32_t kErrorServiceCannotAcceptCtrl = 1061;
constexpr std::uint32_t kErrorServiceNotActive = 1062;
constexpr std::uint32_t kErrorServiceAlreadyRunning = 1056;
constexpr std::uint32_t kErrorServiceLogonFailed = 1069;
// One systemctl call never takes longer than this.
constexpr std::uint32_t kCallLimitMs = 30000;

std::string Trimmed(const std::string& s) {
  size_t end = s.find_last_not_of(" \t\r\n");
  return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

bool Fail(std::uint32_t code) {
  SetLastError(code);
  return false;
}

posix::ChildResult Systemctl(std::vector<std::string> args) {
  args.insert(args.begin(), "systemctl");
  return posix::RunChild(args, kCallLimitMs);
}

// A call that could not run, or ran out of time, as a system error.
bool FailedCall(const posix::ChildResult& r) {
  if (!r.started) return Fail(r.error ? r.error : kErrorFileNotFound);
  if (r.timedOut) return Fail(kErrorServiceRequestTimeout);
  return false;
}

}  // namespace

struct ServiceManager::Impl {};

struct Service::Impl {
  std::string unit;
};

ServiceManager::ServiceManager() = default;
ServiceManager::~ServiceManager() = default;

bool ServiceManager::Open() {
  // systemctl must at least run.
  auto r = Systemctl({"--version"});
  if (!r.started || r.timedOut || r.exitCode != 0) {
    if (!FailedCall(r)) SetLastError(kErrorFileNotFound);
    return false;
  }
  m_impl = std::make_unique<Impl>();
  return true;
}

bool ServiceManager::IsOpen() const { return m_impl != nullptr; }

Service::Service() = default;
Service::~Service() = default;

bool Service::Open(ServiceManager& manager, const std::wstring& name) {
  if (!manager.IsOpen()) return Fail(kErrorInvalidHandle);
  std::string unit = ToUtf8(name) + ".service";
  auto r = Systemctl({"show", "-p", "LoadState", "--value", unit});
  if (FailedCall(r)) return false;
  std::string state = Trimmed(r.output);
  if (r.exitCode != 0 || state.empty() || state == "not-found") return Fail(kErrorServiceDoesNotExist);
  m_impl = std::make_unique<Impl>();
  m_impl->unit = unit;
  return true;
}

bool Service::IsOpen() const { return m_impl != nullptr; }

bool Service::QueryState(ServiceState& state) {
  if (!m_impl) return Fail(kErrorInvalidHandle);
  // is-active answers with a non-zero exit code for every state but active;
  // its word is what counts.
  auto r = Systemctl({"is-active", m_impl->unit});
  if (FailedCall(r)) return false;
  std::string word = Trimmed(r.output);
  if (word == "active" || word == "reloading") {
    state = ServiceState::Running;
  } else if (word == "inactive" || word == "failed") {
    state = ServiceState::Stopped;
  } else if (word == "activating") {
    state = ServiceState::StartPending;
  } else if (word == "deactivating") {
    state = ServiceState::StopPending;
  } else if (word.empty() || word == "unknown") {
    return Fail(kErrorServiceDoesNotExist);
  } else {
    state = ServiceState::Other;
  }
  return true;
}

bool Service::SendStop() {
  if (!m_impl) return Fail(kErrorInvalidHandle);
  ServiceState state{};
  if (!QueryState(state)) return false;
  if (state == ServiceState::Stopped) return Fail(kErrorServiceNotActive);
  auto r = Systemctl({"stop", "--no-block", m_impl->unit});
  if (FailedCall(r)) return false;
  if (r.exitCode != 0) return Fail(kErrorServiceCannotAcceptCtrl);
  return true;
}

bool Service::Start() {
  if (!m_impl) return Fail(kErrorInvalidHandle);
  ServiceState state{};
  if (QueryState(state) && state == ServiceState::Running) return Fail(kErrorServiceAlreadyRunning);
  auto r = Systemctl({"start", m_impl->unit});
  if (FailedCall(r)) return false;
  if (r.exitCode != 0) return Fail(kErrorServiceLogonFailed);
  return true;
}

}  // namespace sys
