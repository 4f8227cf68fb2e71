#include "common/hid/DeviceChangeNotify.h"

#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/log/ZolLog.h"
#include "platform/Event.h"
#include "platform/Hid.h"
#include "platform/Thread.h"

namespace {

// Library-wide: one notifier per plug-in library.
struct NotifierState {
  std::mutex lock;
  IDeviceChange* target = nullptr;
  std::wstring windowName;
  DWORD logModule = ZOL_LDUSB;
  std::shared_ptr<sys::HidNotifier> notifier;
  std::shared_ptr<sys::Event> ready;  // set once the notifier is registered
  std::shared_ptr<sys::Event> failed;  // set when a start failed (it is retried)
  std::shared_ptr<sys::Event> stop;   // ends the retries
  std::shared_ptr<sys::Event> ended;  // set when the thread is about to end
  std::thread thread;

  ~NotifierState() {
    if (notifier) notifier->Quit();
    if (thread.joinable()) thread.detach();
  }
};

NotifierState& State() {
  static NotifierState state;
  return state;
}

void Deliver(const sys::HidNotification& note) {
  NotifierState& state = State();
  IDeviceChange* target;
  DWORD module;
  {
    std::lock_guard<std::mutex> guard(state.lock);
    target = state.target;
    module = state.logModule;
  }
  switch (note.kind) {
    case sys::HidNotificationKind::Suspend:
      LogMessage(module, LEVEL_INFO, "DeviceChangeNotify::WindowProc - PBT_APMSUSPEND");
      break;
    case sys::HidNotificationKind::ResumeSuspend:
      LogMessage(module, LEVEL_INFO, "DeviceChangeNotify::WindowProc - PBT_APMRESUMESUSPEND");
      break;
    case sys::HidNotificationKind::PowerStatusChange:
      LogMessage(module, LEVEL_INFO, "DeviceChangeNotify::WindowProc - PBT_APMPOWERSTATUSCHANGE");
      break;
    case sys::HidNotificationKind::ResumeAutomatic:
      LogMessage(module, LEVEL_INFO, "DeviceChangeNotify::WindowProc - PBT_APMRESUMEAUTOMATIC");
      if (target) target->HidResumeSuspend();
      break;
    case sys::HidNotificationKind::Arrival:
    case sys::HidNotificationKind::Removal:
      if (target) target->HidDeviceChanged(note.kind == sys::HidNotificationKind::Arrival, note.path);
      break;
  }
}

// A watch that cannot be made (or registered) is tried again this often.
constexpr DWORD kRetryMs = 1000;

// Joins a thread that has ended, or lets go of one that did not end in time.
void ReleaseThread(NotifierState& state, DWORD waitMs) {
  if (!state.thread.joinable()) return;
  if (state.ended && state.ended->Wait(waitMs) == WAIT_OBJECT_0) {
    state.thread.join();
  } else {
    state.thread.detach();  // abandoned: it keeps its own notifier alive
  }
}

}  // namespace

bool DeviceChangeNotify::Initialize(IDeviceChange* target, const std::wstring& windowName, DWORD logModule) {
  NotifierState& state = State();
  {
    std::lock_guard<std::mutex> guard(state.lock);
    state.target = target;
    state.windowName = windowName;
    state.logModule = logModule;
  }
  // A thread that is still starting (a slow watch) or retrying is not
  // started again: it is waited for below.
  const bool running = state.thread.joinable() && state.ended && state.ended->Wait(0) != WAIT_OBJECT_0;
  if (!running) {
    auto ready = std::make_shared<sys::Event>(sys::Event::Reset::Manual, false);
    auto failed = std::make_shared<sys::Event>(sys::Event::Reset::Manual, false);
    auto stop = std::make_shared<sys::Event>(sys::Event::Reset::Manual, false);
    auto ended = std::make_shared<sys::Event>(sys::Event::Reset::Manual, false);
    if (!ready->IsValid() || !failed->IsValid() || !stop->IsValid() || !ended->IsValid()) return false;

    // A thread left over from an earlier start that was let go.
    ReleaseThread(state, 0);
    auto notifier = std::make_shared<sys::HidNotifier>();
    try {
      // Started and retried outside the caller's limit: a watch that is slow
      // to make (devices that do not answer) or that fails costs time on
      // this thread only, and the notifier comes up once it can.
      state.thread = sys::StartThread([notifier, ready, failed, stop, ended, windowName] {
        while (notifier->Run(windowName, [&ready] { ready->Set(); }, Deliver) != 0) {
          failed->Set();
          if (stop->Wait(kRetryMs) == WAIT_OBJECT_0) break;
        }
        ended->Set();
      });
    } catch (const std::system_error&) {
      return false;
    }
    state.notifier = notifier;
    state.ready = ready;
    state.failed = failed;
    state.stop = stop;
    state.ended = ended;
  }
  // Up within the limit, or not (yet): either way the thread goes on.
  const DWORD rc = sys::WaitAny({*state.ready, *state.failed}, kReadyTimeoutMs);
  return rc == WAIT_OBJECT_0 || state.ready->Wait(0) == WAIT_OBJECT_0;
}

bool DeviceChangeNotify::IsInitialized() const {
  NotifierState& state = State();
  return state.ready && state.thread.joinable() && state.ready->Wait(0) == WAIT_OBJECT_0;
}

void DeviceChangeNotify::Terminate() {
  NotifierState& state = State();
  {
    // A thread let go below may still deliver: to nobody, not to a manager
    // that is going away.
    std::lock_guard<std::mutex> guard(state.lock);
    state.target = nullptr;
  }
  if (state.stop) state.stop->Set();
  if (state.notifier) {
    if (state.notifier->IsRegistered()) state.notifier->Unregister();
    state.notifier->Quit();
  }
  ReleaseThread(state, kStopTimeoutMs);
}
