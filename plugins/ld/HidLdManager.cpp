#include "plugins/ld/HidLdManager.h"

#include <cstring>

#include "common/hid/HidLib.h"
#include "common/log/ZolLog.h"
#include "platform/Thread.h"
#include "plugins/ld/LdLog.h"
#include "plugins/ld/LdStatus.h"

namespace {

// The core's log lines go to the log client under the line-display module.
class LogClientSink : public ILogSink {
 public:
  // The parser logs every byte: no text is made for a level the log drops.
  bool Wants(DWORD level) override { return LogWanted(ZOL_LDUSB, level); }
  void Write(DWORD level, const char* text) override { LogMessage(ZOL_LDUSB, level, "%s", text); }
};

LogClientSink g_LogClientSink;

bool InstallLogSink() {
  SetLdLogSink(&g_LogClientSink);
  return true;
}

bool IsSet(sys::Event* event) { return event != nullptr && event->Wait(0) == WAIT_OBJECT_0; }

const char* SendLogLine(LdReport report) {
  switch (report) {
    case LdReport::StatusRequest: return "HidLdManager::StatusRequest - Send Status Request";
    case LdReport::DeviceInformationRequest:
      return "HidLdManager::DeviceInformationRequest - Send Device Information Request";
    case LdReport::ClearTopLine: return "HidLdManager::ClearTopLine - Send Clear Top Line";
    case LdReport::ClearBottomLine: return "HidLdManager::ClearBottomLine - Send Clear Bottom Line";
    case LdReport::WriteTopLine: return "HidLdManager::WriteTopLine - Send Write Top Line";
    case LdReport::WriteBottomLine: return "HidLdManager::WriteBottomLine - Send Write Bottom Line";
    case LdReport::WriteRam: return "HidLdManager::WriteRam - Send Write Ram";
    case LdReport::SelectCharacterSet: return "HidLdManager::SelectCharacterSet - Send Select Character Set";
    case LdReport::GetCharacterSetList: return "GetCharacterSetList::Reset - Send Get Character Set List";
  }
  return "";
}

const HidManagerFlavor kLdManagerFlavor = {
    ZOL_LDUSB, "HidLdManager", "LD", L"LdDeviceChangeNotifyWindow", &g_LogClientSink,
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
      LdLog(LEVEL_ERROR, "HidLdManager::Initialize - CreateEvent %s failed", spec.name);
      return false;
    }
    *spec.event = std::move(event);
    LdLog(LEVEL_VERBOSE, "HidLdManager::Initialize - CreateEvent %s success", spec.name);
  }
  return true;
}

int HidLdManager::Initialize() {
  LdLog(LEVEL_VERBOSE, "HidLdManager::Initialize - Entered");
  if (!HidLib::Initialize()) {
    LdLog(LEVEL_ERROR, "HidLdManager::Initialize - HidLib::Initialize failed");
    return 0;
  }
  LdLog(LEVEL_VERBOSE, "HidLdManager::Initialize - HidLib::Initialize success");
  if (!CreateEvents()) return 0;
  if (!Enumerate()) {
    LdLog(LEVEL_ERROR, "HidLdManager::Initialize - enumerate failed");
    return 0;
  }
  LdLog(LEVEL_VERBOSE, "HidLdManager::Initialize - enumerate success");
  // A notifier not up within its limit goes on starting by itself: the
  // devices found above are served meanwhile.
  if (StartNotifier()) {
    LdLog(LEVEL_VERBOSE, "HidLdManager::Initialize - DeviceChangeNotify.Initialize success");
  } else {
    LdLog(LEVEL_ERROR, "HidLdManager::Initialize - DeviceChangeNotify.Initialize failed");
  }
  if (Start() != 0) {
    LdLog(LEVEL_ERROR, "HidLdManager::Initialize - Initialize thread failed");
    return 0;
  }
  LdLog(LEVEL_VERBOSE, "HidLdManager::Initialize - Initialize thread success");
  // Without a display the plug-in still starts and waits for one to arrive.
  StartDisplay("HidLdManager::Initialize", false);
  LdLog(LEVEL_INFO, "HidLdManager::Initialize - Initialize success");
  return 1;
}

void HidLdManager::Terminate() {
  LdLog(LEVEL_INFO, "HidLdManager::Terminate - Entered");
  StopNotifier();
  // The locks live as long as the manager: a thread may still be leaving one.
  LdLog(LEVEL_INFO, "HidLdManager::Terminate - Exiting");
}

int HidLdManager::SendCommand(const BYTE* bytes, DWORD length) {
  LdLog(LEVEL_TRACE, "HidLdManager::SendCommand - Entered");
  int result = 0;
  {
    std::lock_guard<std::mutex> lock(m_SendLock);
    if (BexHidLd* device = FirstDevice()) result = device->SendLdCommand(bytes, length);
  }
  LdLog(LEVEL_TRACE, "HidLdManager::SendCommand - Exiting");
  return result;
}

void HidLdManager::Receive(const BYTE* data, DWORD length) {
  if (data == nullptr && length != 0) return;
  LogHexDump(ZOL_LDUSB, LEVEL_VERBOSE, data, length, "HidLdManager::Receive - Received Data from COM Port");
  if (!m_ReceiveEvent) return;
  const DWORD waitRC = sys::WaitAny({*m_ReceiveEvent, m_ShutdownEvent}, INFINITE);
  if (waitRC == WAIT_OBJECT_0 + 1) return;
  if (waitRC != WAIT_OBJECT_0) {
    LdLog(LEVEL_ERROR, "HidLdManager::Receive - Wait for m_ReceiveEvent failed, waitRC=0x%08x", waitRC);
    return;
  }
  std::lock_guard<std::mutex> lock(m_HandOverLock);
  const DWORD initRC = m_InitEvent->Wait(0);
  if (initRC != WAIT_OBJECT_0) {
    LdLog(LEVEL_ERROR, "HidLdManager::Receive - Wait for m_InitEvent failed, waitRC=0x%08x; Data discarded", initRC);
    return;
  }
  if (length > kReceiveBufferSize) {
    LdLog(LEVEL_ERROR, "HidLdManager::Receive - Not enough buffer; Data discarded");
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
    LdLog(LEVEL_ERROR, "HidLdManager::ProcessReceiveBuffer - Wait for m_ProcessEvent failed, waitRC=0x%08x", waitRC);
    return;
  }
  std::lock_guard<std::mutex> handOver(m_HandOverLock);
  // A display that became ready meanwhile dropped this hand-over.
  if (!IsSet(m_ProcessEvent.get())) return;
  const DWORD initRC = m_InitEvent->Wait(0);
  if (initRC != WAIT_OBJECT_0) {
    LdLog(LEVEL_ERROR, "HidLdManager::ProcessReceiveBuffer - Wait for m_InitEvent failed, waitRC=0x%08x; Data discarded",
          initRC);
  } else if (m_ReceiveLength > 0) {
    std::lock_guard<std::mutex> display(m_DisplayLock);
    Perform(m_Display.ApplyHandOver(m_ReceiveBuffer, static_cast<std::size_t>(m_ReceiveLength)));
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
    LdLog(LEVEL_ERROR, "HidLdManager::ProcessLdStatus - Wait for m_InitEvent failed, waitRC=0x%08x", waitRC);
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
  const LdActions start = m_Display.DeviceArrived();
  if (!SendReport(start.front())) {  // the status request
    LdLog(LEVEL_ERROR, "%s - StatusRequest failed", operation);
    return false;
  }
  LdLog(LEVEL_INFO, "%s - StatusRequest success", operation);
  m_InitEvent->Set();
  Perform(start, 1);
  if (freeHandOver) {
    m_ProcessEvent->Reset();
    m_ReceiveEvent->Set();
  }
  return true;
}

void HidLdManager::DeviceLost() {
  // Between hand-overs, so no pass sees its state cleared half way.
  std::lock_guard<std::mutex> handOver(m_HandOverLock);
  std::lock_guard<std::mutex> display(m_DisplayLock);
  Perform(m_Display.DeviceLost());
  m_InitEvent->Reset();
}

void HidLdManager::DeviceFound(Cause, const std::string& caller) { StartDisplay(caller.c_str(), true); }

bool HidLdManager::SendReport(const LdAction& action) {
  LdLog(LEVEL_VERBOSE, "%s", SendLogLine(action.report));
  const bool sent = SendCommand(action.bytes.data(), action.length) != 0;
  if (!sent && action.failureLog != nullptr) LdLog(LEVEL_ERROR, "%s", action.failureLog);
  return sent;
}

void HidLdManager::Perform(LdActions actions, std::size_t first) {
  for (std::size_t i = first; i < actions.size(); ++i) {
    const LdAction& action = actions[i];
    switch (action.type) {
      case LdAction::Type::Send: SendReport(action); break;
      case LdAction::Type::Pause: m_ShutdownEvent.Wait(action.pauseMs); break;
      case LdAction::Type::StopScroll:
        // Most hand-overs stop a message that never started: the events
        // already say stopped, and each change of them is a system call.
        if (!m_ScrollingMessageEvent || !m_ScrollSignalled) break;
        m_ScrollSignalled = false;
        m_ScrollingMessageEvent->Reset();
        m_ScrollingMessageStopEvent->Set();
        break;
      case LdAction::Type::StartScroll:
        if (!m_ScrollingMessageEvent) break;
        ++m_ScrollMessage;
        m_ScrollSignalled = true;
        m_ScrollingMessageEvent->Set();
        break;
    }
  }
}

void HidLdManager::Run() {
  if (!m_ScrollingMessageEvent) return;
  const DWORD waitRC = sys::WaitAny({*m_ScrollingMessageEvent, m_ShutdownEvent, StopEvent()}, INFINITE);
  if (waitRC == WAIT_OBJECT_0 + 1 || waitRC == WAIT_OBJECT_0 + 2) return;
  if (waitRC != WAIT_OBJECT_0) {
    LdLog(LEVEL_ERROR, "HidLdManager::ScrollingMessageThread - Wait for m_ScrollingMessageEvent failed, waitRC=0x%08x",
          waitRC);
    return;
  }
  std::uint32_t message = 0;
  {
    std::lock_guard<std::mutex> display(m_DisplayLock);
    if (!m_Display.Scrolling()) return;  // withdrawn before it started
    message = m_ScrollMessage;
  }
  LdLog(LEVEL_INFO, "HidLdManager::ScrollingMessageThread - Scrolling message started");
  // Steps at a fixed rate: the time a step takes to send does not stretch the
  // 250 ms, and a late step is not followed by a burst.
  std::uint64_t next = sys::TickCountMs();
  for (;;) {
    {
      std::lock_guard<std::mutex> display(m_DisplayLock);
      // Stopped, or followed by another message: this one ends here.
      if (!m_Display.Scrolling() || m_ScrollMessage != message) break;
      m_ScrollingMessageStopEvent->Reset();  // set for a message before this one
      const std::uint64_t now = sys::TickCountMs();
      if (now >= next) {
        Perform(m_Display.ScrollStep());
        next += kScrollStepMs;
        if (next <= now) next = now + kScrollStepMs;
      }
    }
    const std::uint64_t now = sys::TickCountMs();
    const DWORD wait = next > now ? static_cast<DWORD>(next - now) : 0;
    const DWORD rc = sys::WaitAny({m_ShutdownEvent, StopEvent(), *m_ScrollingMessageStopEvent}, wait);
    if (rc == WAIT_OBJECT_0 || rc == WAIT_OBJECT_0 + 1) break;
  }
  {
    // Ended by shutdown or a stop of the thread: the message goes with it.
    std::lock_guard<std::mutex> display(m_DisplayLock);
    if (m_Display.Scrolling() && m_ScrollMessage == message) Perform(m_Display.StopScroll());
  }
  LdLog(LEVEL_INFO, "HidLdManager::ScrollingMessageThread - Scrolling message stopped");
}
