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
  if (m_Initialized) return true;

  auto ready = std::make_shared<sys::Event>(sys::Event::Reset::Manual, false);
  if (!ready->IsValid()) return false;
  auto ended = std::make_shared<sys::Event>(sys::Event::Reset::Manual, false);
  if (!ended->IsValid()) return false;

  // A thread left over from an earlier, failed start.
  ReleaseThread(state, 0);
  auto notifier = std::make_shared<sys::HidNotifier>();
  try {
    state.thread = sys::StartThread([notifier, ready, ended, windowName] {
      notifier->Run(windowName, [&ready] { ready->Set(); }, Deliver);
      ended->Set();
    });
  } catch (const std::system_error&) {
    return false;
  }
  state.notifier = notifier;
  state.ended = ended;

  if (ready->Wait(kReadyTimeoutMs) != WAIT_OBJECT_0) return false;
  m_Initialized = true;
  return true;
}

void DeviceChangeNotify::Terminate() {
  NotifierState& state = State();
  {
    // A thread let go below may still deliver: to nobody, not to a manager
    // that is going away.
    std::lock_guard<std::mutex> guard(state.lock);
    state.target = nullptr;
  }
  if (state.notifier) {
    if (state.notifier->IsRegistered()) state.notifier->Unregister();
    state.notifier->Quit();
  }
  ReleaseThread(state, kStopTimeoutMs);
  m_Initialized = false;
}
