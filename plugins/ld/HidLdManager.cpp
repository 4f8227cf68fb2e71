#include "plugins/ld/HidLdManager.h"

#include <cstring>

#include "common/hid/HidLib.h"
#include "common/log/ZolLog.h"
#include "platform/Thread.h"
#include "plugins/ld/LdLog.h"
#include "plugins/ld/LdStatus.h"

namespace {

// The core's log lines go to the log client under the line-display module.
class LogClientSink : public ILdLogSink {
 public:
  bool Wants(DWORD) override { return true; }
  void Write(DWORD level, const char* text) override { LogMessage(ZOL_LDUSB, level, "%s", text); }
};

LogClientSink g_LogClientSink;

bool InstallLogSink() {
  SetLdLogSink(&g_LogClientSink);
  return true;
}

bool IsSet(sys::Event* event) { return event != nullptr && event->Wait(0) == WAIT_OBJECT_0; }

void LogLine(DWORD level, const char* text) { LdLog(level, "%s", text); }

const HidManagerFlavor kLdManagerFlavor = {
    ZOL_LDUSB, "HidLdManager", "LD", L"LdDeviceChangeNotifyWindow", LogLine,
};

}  // namespace

HidLdManager::HidLdManager()
    : HidDeviceManager(kLdManagerFlavor, LdSupportedDevices()), m_LogSinkInstalled(InstallLogSink()) {}

HidLdManager::~HidLdManager() {
  BeginShutdown();
  StopAndJoin();
  WaitForCallbacks();
  Terminate();
  // The wrappers go while the HID library is still bound.
  CloseDevices();
  HidLib::Terminate();
}

bool HidLdManager::CreateEvents() {
  struct EventSpec {
    std::unique_ptr<sys::Event>* event;
    bool initiallySet;
    const char* name;
  };
  const EventSpec specs[] = {
      {&m_InitEvent, false, "m_InitEvent"},
      {&m_ReceiveEvent, true, "m_ReceiveEvent"},
      {&m_ProcessEvent, false, "m_ProcessEvent"},
      {&m_ScrollingMessageEvent, false, "m_ScrollingMessageEvent"},
      {&m_ScrollingMessageStopEvent, true, "m_ScrollingMessageStopEvent"},
  };
  for (const EventSpec& spec : specs) {
    auto event = std::make_unique<sys::Event>(sys::Event::Reset::Manual, spec.initiallySet);
    if (!event->IsValid()) {
      LdLog(1, "HidLdManager::Initialize - CreateEvent %s failed", spec.name);
      return false;
    }
    *spec.event = std::move(event);
    LdLog(4, "HidLdManager::Initialize - CreateEvent %s success", spec.name);
  }
  return true;
}

int HidLdManager::Initialize() {
  LdLog(4, "HidLdManager::Initialize - Entered");
  if (!HidLib::Initialize()) {
    LdLog(1, "HidLdManager::Initialize - HidLib::Initialize failed");
    return 0;
  }
  LdLog(4, "HidLdManager::Initialize - HidLib::Initialize success");
  if (!CreateEvents()) return 0;
  if (!Enumerate()) {
    LdLog(1, "HidLdManager::Initialize - enumerate failed");
    return 0;
  }
  LdLog(4, "HidLdManager::Initialize - enumerate success");
  // A notifier not up within its limit goes on starting by itself: the
  // devices found above are served meanwhile.
  if (StartNotifier()) {
    LdLog(4, "HidLdManager::Initialize - DeviceChangeNotify.Initialize success");
  } else {
    LdLog(1, "HidLdManager::Initialize - DeviceChangeNotify.Initialize failed");
  }
  if (Start() != 0) {
    LdLog(1, "HidLdManager::Initialize - Initialize thread failed");
    return 0;
  }
  LdLog(4, "HidLdManager::Initialize - Initialize thread success");
  // Without a display the plug-in still starts and waits for one to arrive.
  StartDisplay("HidLdManager::Initialize", false);
  LdLog(3, "HidLdManager::Initialize - Initialize success");
  return 1;
}

void HidLdManager::Terminate() {
  LdLog(3, "HidLdManager::Terminate - Entered");
  StopNotifier();
  // The locks live as long as the manager: a thread may still be leaving one.
  LdLog(3, "HidLdManager::Terminate - Exiting");
}

int HidLdManager::SendCommand(const BYTE* bytes, DWORD length) {
  LdLog(5, "HidLdManager::SendCommand - Entered");
  int result = 0;
  {
    std::lock_guard<std::mutex> lock(m_SendLock);
    if (BexHidLd* device = FirstDevice()) result = device->SendLdCommand(bytes, length);
  }
  LdLog(5, "HidLdManager::SendCommand - Exiting");
  return result;
}

void HidLdManager::Receive(const BYTE* data, DWORD length) {
  if (data == nullptr && length != 0) return;
  LogHexDump(ZOL_LDUSB, LEVEL_VERBOSE, data, length, "HidLdManager::Receive - Received Data from COM Port");
  if (!m_ReceiveEvent) return;
  const DWORD waitRC = sys::WaitAny({*m_ReceiveEvent, m_ShutdownEvent}, INFINITE);
  if (waitRC == WAIT_OBJECT_0 + 1) return;
  if (waitRC != WAIT_OBJECT_0) {
    LdLog(1, "HidLdManager::Receive - Wait for m_ReceiveEvent failed, waitRC=0x%08x", waitRC);
    return;
  }
  std::lock_guard<std::mutex> lock(m_HandOverLock);
  const DWORD initRC = m_InitEvent->Wait(0);
  if (initRC != WAIT_OBJECT_0) {
    LdLog(1, "HidLdManager::Receive - Wait for m_InitEvent failed, waitRC=0x%08x; Data discarded", initRC);
    return;
  }
  if (length > kReceiveBufferSize) {
    LdLog(1, "HidLdManager::Receive - Not enough buffer; Data discarded");
    return;
  }
  if (length != 0) std::memcpy(m_ReceiveBuffer, data, length);
  m_ReceiveLength = static_cast<std::int32_t>(length);
  m_ReceiveEvent->Reset();
  m_ProcessEvent->Set();
}

void HidLdManager::ProcessReceiveBuffer(sys::Event* stop) {
  if (!m_ProcessEvent) return;
  DWORD waitRC;
  if (stop != nullptr) {
    waitRC = sys::WaitAny({*m_ProcessEvent, m_ShutdownEvent, *stop}, INFINITE);
  } else {
    waitRC = sys::WaitAny({*m_ProcessEvent, m_ShutdownEvent}, INFINITE);
  }
  if (waitRC == WAIT_OBJECT_0 + 1 || waitRC == WAIT_OBJECT_0 + 2) return;
  if (waitRC != WAIT_OBJECT_0) {
    LdLog(1, "HidLdManager::ProcessReceiveBuffer - Wait for m_ProcessEvent failed, waitRC=0x%08x", waitRC);
    return;
  }
  std::lock_guard<std::mutex> handOver(m_HandOverLock);
  // A display that became ready meanwhile dropped this hand-over.
  if (!IsSet(m_ProcessEvent.get())) return;
  const DWORD initRC = m_InitEvent->Wait(0);
  if (initRC != WAIT_OBJECT_0) {
    LdLog(1, "HidLdManager::ProcessReceiveBuffer - Wait for m_InitEvent failed, waitRC=0x%08x; Data discarded",
          initRC);
  } else if (m_ReceiveLength > 0) {
    std::lock_guard<std::mutex> display(m_DisplayLock);
    m_Display.ApplyHandOver(m_ReceiveBuffer, static_cast<std::size_t>(m_ReceiveLength));
  }
  std::memset(m_ReceiveBuffer, 0, sizeof m_ReceiveBuffer);
  m_ReceiveLength = 0;
  m_ProcessEvent->Reset();
  m_ReceiveEvent->Set();
}

void HidLdManager::ProcessLdStatus(sys::Event* stop) {
  if (!m_InitEvent) return;
  DWORD waitRC;
  if (stop != nullptr) {
    waitRC = sys::WaitAny({*m_InitEvent, m_ShutdownEvent, *stop}, INFINITE);
  } else {
    waitRC = sys::WaitAny({*m_InitEvent, m_ShutdownEvent}, INFINITE);
  }
  if (waitRC == WAIT_OBJECT_0 + 1 || waitRC == WAIT_OBJECT_0 + 2) return;
  if (waitRC != WAIT_OBJECT_0) {
    LdLog(1, "HidLdManager::ProcessLdStatus - Wait for m_InitEvent failed, waitRC=0x%08x", waitRC);
    return;
  }
  bool read = false;
  {
    // Fair: a re-enumeration waiting for the list goes before this thread
    // takes it again after its read.
    ListLock list(*this);
    if (!list.Held()) return;
    if (BexHidLd* device = FirstDevice()) {
      if (!BeginRead(*device)) return;
      BYTE status[BexHidLd::kStatusBytes] = {};
      read = device->GetLdStatus(status) != 0;
      EndRead();
      if (read) {
        std::memcpy(m_StatusBytes, status, sizeof m_StatusBytes);
        JudgeLdStatus(m_StatusBytes, m_DeviceInformation);
      }
    }
  }
  // A channel that fails at once (a display gone before its removal is seen)
  // would otherwise spin on the enumeration lock.
  if (!read) m_ShutdownEvent.Wait(50);
}

bool HidLdManager::StartDisplay(const char* operation, bool freeHandOver) {
  std::lock_guard<std::mutex> handOver(m_HandOverLock);
  std::lock_guard<std::mutex> display(m_DisplayLock);
  if (m_Display.StatusRequest() == 0) {
    LdLog(1, "%s - StatusRequest failed", operation);
    return false;
  }
  LdLog(3, "%s - StatusRequest success", operation);
  m_InitEvent->Set();
  m_Display.GetCharacterSetList();
  m_Display.DeviceInformationRequest();
  m_Display.WriteTopLine();
  m_Display.WriteBottomLine();
  if (freeHandOver) {
    m_ProcessEvent->Reset();
    m_ReceiveEvent->Set();
  }
  return true;
}

void HidLdManager::DeviceLost() {
  StopScrollingMessage();
  // Between hand-overs, so no pass sees its state cleared half way.
  std::lock_guard<std::mutex> handOver(m_HandOverLock);
  std::unique_lock<std::mutex> display(m_DisplayLock);
  StopScrollingWhileHolding(display);  // a message started meanwhile
  m_Display.ResetDisplay(false);
  m_InitEvent->Reset();
}

void HidLdManager::DeviceFound(Cause, const std::string& caller) { StartDisplay(caller.c_str(), true); }

void HidLdManager::ResetDisplay(bool send) {
  std::lock_guard<std::mutex> display(m_DisplayLock);
  m_Display.ResetDisplay(send);
}

void HidLdManager::StopScrollingMessage() {
  std::unique_lock<std::mutex> display(m_DisplayLock);
  StopScrollingWhileHolding(display);
}

void HidLdManager::StopScrollingWhileHolding(std::unique_lock<std::mutex>& display) {
  if (!m_ScrollingMessageEvent) return;
  m_ScrollingMessageEvent->Reset();
  if (m_ScrollState == ScrollState::Requested) {
    // The thread has not taken the message yet and will find it withdrawn.
    m_Display.ScrollStopped();
    m_ScrollState = ScrollState::Idle;
    m_ScrollingMessageStopEvent->Set();
    return;
  }
  if (m_ScrollState == ScrollState::Idle) return;
  // The scrolling thread needs the display lock to finish its step.
  display.unlock();
  sys::WaitAny({*m_ScrollingMessageStopEvent, m_ShutdownEvent}, INFINITE);
  display.lock();
}

void HidLdManager::DisplayHost::StopScrollingMessage() {
  // Called from inside the emulation: this thread holds the display lock.
  std::unique_lock<std::mutex> display(m_Manager.m_DisplayLock, std::adopt_lock);
  m_Manager.StopScrollingWhileHolding(display);
  display.release();
}

void HidLdManager::DisplayHost::ScrollingMessageReady() {
  HidLdManager& m = m_Manager;
  if (!m.m_ScrollingMessageEvent) return;
  m.m_ScrollState = ScrollState::Requested;
  m.m_ScrollingMessageStopEvent->Reset();
  m.m_ScrollingMessageEvent->Set();
}

void HidLdManager::DisplayHost::Pause(DWORD milliseconds) { m_Manager.m_ShutdownEvent.Wait(milliseconds); }

void HidLdManager::Run() {
  if (!m_ScrollingMessageEvent) return;
  const DWORD waitRC = sys::WaitAny({*m_ScrollingMessageEvent, m_ShutdownEvent, StopEvent()}, INFINITE);
  if (waitRC == WAIT_OBJECT_0 + 1 || waitRC == WAIT_OBJECT_0 + 2) return;
  if (waitRC != WAIT_OBJECT_0) {
    LdLog(1, "HidLdManager::ScrollingMessageThread - Wait for m_ScrollingMessageEvent failed, waitRC=0x%08x", waitRC);
    return;
  }
  {
    std::lock_guard<std::mutex> display(m_DisplayLock);
    if (m_ScrollState != ScrollState::Requested) return;  // withdrawn before it started
    m_ScrollState = ScrollState::Running;
  }
  LdLog(3, "HidLdManager::ScrollingMessageThread - Scrolling message started");
  // Steps at a fixed rate: the time a step takes to send does not stretch the
  // 250 ms, and a late step is not followed by a burst.
  std::uint64_t next = sys::TickCountMs();
  for (;;) {
    {
      // Tested under the display lock: after a stop no step overwrites the
      // line that its caller is about to write.
      std::lock_guard<std::mutex> display(m_DisplayLock);
      if (!IsSet(m_ScrollingMessageEvent.get())) break;
      m_Display.ScrollStep();
    }
    const std::uint64_t now = sys::TickCountMs();
    next += kScrollStepMs;
    if (next <= now) next = now + kScrollStepMs;
    const DWORD wait = static_cast<DWORD>(next - now);
    if (sys::WaitAny({m_ShutdownEvent, StopEvent()}, wait) != WAIT_TIMEOUT) break;
  }
  {
    std::lock_guard<std::mutex> display(m_DisplayLock);
    m_Display.ScrollStopped();
    m_ScrollState = ScrollState::Idle;
    m_ScrollingMessageStopEvent->Set();
  }
  LdLog(3, "HidLdManager::ScrollingMessageThread - Scrolling message stopped");
}
