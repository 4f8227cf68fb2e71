// The service side of systemd: sd_notify status reports, SIGTERM as the stop
// control, and a Type=notify unit installed and enabled through systemctl.
#include "platform/ServiceDispatch.h"

#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/Error.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "platform/posix/ChildProcess.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/SignalThread.h"
#include "zol/ServiceUnits.h"

namespace sys {

namespace {

using namespace errnum;
constexpr std::uint32_t kSystemctlTimeoutMs = 60000;

namespace fs = std::filesystem;

fs::path UnitFolder() { return fs::path(ToUtf8(GetFixedPath(FixedPath::UnitFolder))); }
std::string UnitName(const std::wstring& serviceName) { return ToUtf8(serviceName) + ".service"; }

// Runs systemctl; 0 on success, else the error to report.
std::uint32_t Systemctl(const std::vector<std::string>& args, std::string* output = nullptr) {
  std::vector<std::string> argv{"systemctl"};
  argv.insert(argv.end(), args.begin(), args.end());
  posix::ChildResult r = posix::RunChild(argv, kSystemctlTimeoutMs);
  if (output) *output = r.output;
  if (!r.started) return r.error ? r.error : posix::kErrorFileNotFound;
  if (r.timedOut || r.exitCode != 0) return posix::kErrorGenFailure;
  return 0;
}

// A value in a unit file: specifiers and variables are taken literally.
std::string UnitEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%') out += "%%";
    else if (c == '$') out += "$$";
    else if (c == '"' || c == '\\') { out += '\\'; out += c; }
    else if (c == '\n' || c == '\r') out += ' ';
    else out += c;
  }
  return out;
}

// The unit text: the packaged unit of a ZOL service, with this program's own
// path in ExecStart; for any other service, a plain notify unit. The command
// line is the full path in quotes: blanks in it cannot make another program
// run in its place.
std::string UnitText(const std::wstring& serviceName, const std::wstring& displayName,
                     const std::wstring& description, const std::wstring& exe) {
  const std::string execStart = "ExecStart=\"" + UnitEscape(ToUtf8(exe)) + "\"";
  for (const zolunits::PackagedUnit& unit : zolunits::kPackagedUnits) {
    if (ToUtf8(serviceName) != unit.service) continue;
    std::string text = unit.text;
    std::size_t at = text.find("\nExecStart=");
    if (at == std::string::npos) break;
    std::size_t end = text.find('\n', at + 1);
    return text.substr(0, at + 1) + execStart + text.substr(end);
  }
  return "[Unit]\nDescription=" + UnitEscape(ToUtf8(displayName)) + "\nX-Description=" +
         UnitEscape(ToUtf8(description)) + "\n\n[Service]\nType=notify\nNotifyAccess=main\n" + execStart +
         "\nKillMode=mixed\n\n[Install]\nWantedBy=multi-user.target\n";
}

}  // namespace

bool RunServiceDispatcher(const std::wstring&, const std::function<void()>& serviceMain) {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  if (socket == nullptr || *socket == '\0') {
    SetLastError(kErrorFailedServiceControllerConnect);
    return false;
  }
  // SIGTERM is the stop control: it must reach the control thread only.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &term, nullptr);
  std::thread service = StartThread([&serviceMain] { serviceMain(); });
  service.join();
  return true;
}

struct ServiceStatusHandle::Impl {
  posix::SignalThread controls;
};

ServiceStatusHandle::ServiceStatusHandle() = default;
ServiceStatusHandle::~ServiceStatusHandle() = default;

bool ServiceStatusHandle::Register(const std::wstring&, std::function<void(std::uint32_t)> handler) {
  if (m_impl) return false;
  m_impl = std::make_unique<Impl>();
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  return m_impl->controls.Start(term, [handler = std::move(handler)](int) { handler(kServiceControlStop); });
}

bool ServiceStatusHandle::Report(const ServiceStatusRecord& status) {
  const char* text = "STATUS=Stopped";
  switch (status.currentState) {
    case kServiceStartPending: text = "STATUS=Starting"; break;
    case kServiceRunning: text = "READY=1\nSTATUS=Running"; break;
    case kServiceStopPending: text = "STOPPING=1\nSTATUS=Stopping"; break;
    default: break;
  }
  int rc = ::sd_notify(0, text);
  if (rc < 0) {
    posix::SetLastErrorFromErrno(-rc);
    return false;
  }
  return true;
}

InstallStep InstallThisProgramAsService(const std::wstring& serviceName, const std::wstring& displayName,
                                        const std::wstring& description, std::uint32_t& error) {
  std::error_code ec;
  fs::path folder = UnitFolder();
  fs::create_directories(folder, ec);
  if (ec || ::access(folder.c_str(), W_OK) != 0) {
    error = posix::SetLastErrorFromErrno(ec ? ec.value() : errno);
    return InstallStep::OpenManager;
  }
  std::optional<std::wstring> exe = ExecutablePath();
  if (!exe) {
    error = LastError();
    return InstallStep::ExecutablePath;
  }
  fs::path unit = folder / UnitName(serviceName);
  if (fs::exists(unit, ec)) {
    error = kErrorServiceExists;
    SetLastError(error);
    return InstallStep::Create;
  }
  {
    std::ofstream out(unit, std::ios::binary | std::ios::trunc);
    out << UnitText(serviceName, displayName, description, *exe);
    out.close();
    if (!out) {
      error = posix::SetLastErrorFromErrno(errno ? errno : EIO);
      fs::remove(unit, ec);
      return InstallStep::Create;
    }
  }
  error = Systemctl({"daemon-reload"});
  if (error == 0) error = Systemctl({"enable", UnitName(serviceName)});
  if (error != 0) {
    fs::remove(unit, ec);
    Systemctl({"daemon-reload"});
    SetLastError(error);
    return InstallStep::Create;
  }
  return InstallStep::Done;
}

RemoveStep RemoveService(const std::wstring& serviceName, std::uint32_t& error) {
  fs::path folder = UnitFolder();
  if (::access(folder.c_str(), W_OK) != 0) {
    error = posix::SetLastErrorFromErrno(errno);
    return errno == ENOENT ? RemoveStep::OpenService : RemoveStep::OpenManager;
  }
  fs::path unit = folder / UnitName(serviceName);
  std::error_code ec;
  if (!fs::exists(unit, ec)) {
    error = kErrorServiceDoesNotExist;
    SetLastError(error);
    return RemoveStep::OpenService;
  }
  std::string state;
  std::uint32_t rc = Systemctl({"is-active", UnitName(serviceName)}, &state);
  while (!state.empty() && (state.back() == '\n' || state.back() == '\r' || state.back() == ' ')) state.pop_back();
  if (rc == 0 && state.empty()) state = "active";
  if (rc != 0 && rc != posix::kErrorGenFailure) {
    error = rc;
    SetLastError(rc);
    return RemoveStep::Query;
  }
  // Only a stopped service is removed: anything but these states is running.
  if (state != "inactive" && state != "failed" && state != "unknown") return RemoveStep::StillRunning;
  error = Systemctl({"disable", UnitName(serviceName)});
  if (error != 0) {
    SetLastError(error);
    return RemoveStep::Delete;
  }
  if (!fs::remove(unit, ec)) {
    error = posix::SetLastErrorFromErrno(ec ? ec.value() : ENOENT);
    return RemoveStep::Delete;
  }
  Systemctl({"daemon-reload"});
  return RemoveStep::Removed;
}

}  // namespace sys
