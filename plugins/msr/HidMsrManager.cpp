#include "plugins/msr/HidMsrManager.h"

#include "common/hid/HidLib.h"
#include "common/log/ZolLog.h"
#include "platform/Thread.h"

namespace {

// A status cycle that ends this fast without a status (no reader, or a reader
// that fails every read at once) pauses before the next one instead of spinning.
constexpr std::uint64_t kQuickFailureMs = 20;
constexpr DWORD kRetryPauseMs = 100;

// The manager's and the formatter's lines go to the log client under the
// stripe-reader module.
class LogClientSink : public ILogSink {
 public:
  // The masked card text is made only when its line will be written.
  bool Wants(DWORD level) override { return LogWanted(ZOL_MSRUSB, level); }
  void Write(DWORD level, const char* text) override { LogMessage(ZOL_MSRUSB, level, "%s", text); }
};

LogClientSink g_LogClientSink;

const HidManagerFlavor kMsrManagerFlavor = {
    ZOL_MSRUSB, "HidMsrManager", "MSR", L"MsrDeviceChangeNotifyWindow", &g_LogClientSink,
};

}  // namespace

HidMsrManager::HidMsrManager(MsrWriteFunction write)
    : HidDeviceManager(kMsrManagerFlavor, MsrSupportedDevices()), m_WriteFunction(write), m_MsrFormat(&g_LogClientSink) {}

HidMsrManager::~HidMsrManager() {
  Terminate();
  SecureZero(m_CardData, sizeof m_CardData);
}

bool HidMsrManager::Initialize() {
  LogMessage(ZOL_MSRUSB, LEVEL_VERBOSE, "HidMsrManager::Initialize - Entered");
  if (!m_MsrFormat.GetConfiguration()) {
    LogMessage(ZOL_MSRUSB, LEVEL_WARNING,
               "HidMsrManager::Initialize - MsrFormat.GetConfiguration failed, default MSR configuration used");
  }
  if (!HidLib::Initialize()) {
    LogMessage(ZOL_MSRUSB, LEVEL_ERROR, "HidMsrManager::Initialize - HidLib::Initialize failed");
    return false;
  }
  LogMessage(ZOL_MSRUSB, LEVEL_VERBOSE, "HidMsrManager::Initialize - HidLib::Initialize success");
  // The list lock is a member now; the log still shows the step.
  LogMessage(ZOL_MSRUSB, LEVEL_VERBOSE, "HidMsrManager::Initialize - CreateMutex enumLock mutex success");

  m_InitEvent = std::make_unique<sys::Event>(sys::Event::Reset::Manual, false);
  if (!m_InitEvent->IsValid() || !m_ShutdownEvent.IsValid()) {
    LogMessage(ZOL_MSRUSB, LEVEL_ERROR, "HidMsrManager::Initialize - CreateEvent m_InitEvent failed");
    return false;
  }
  LogMessage(ZOL_MSRUSB, LEVEL_VERBOSE, "HidMsrManager::Initialize - CreateEvent m_InitEvent success");

  if (!Enumerate()) {
    LogMessage(ZOL_MSRUSB, LEVEL_ERROR, "HidMsrManager::Initialize - Enumerate failed");
    return false;
  }
  LogMessage(ZOL_MSRUSB, LEVEL_VERBOSE, "HidMsrManager::Initialize - Enumerate success");

  // A notifier not up within its limit goes on starting by itself: the
  // devices found above are served meanwhile.
  if (StartNotifier()) {
    LogMessage(ZOL_MSRUSB, LEVEL_VERBOSE, "HidMsrManager::Initialize - DeviceChangeNotify.Initialize success");
  } else {
    LogMessage(ZOL_MSRUSB, LEVEL_ERROR, "HidMsrManager::Initialize - DeviceChangeNotify.Initialize failed");
  }

  if (SendMSRCommand(kDeviceInfoRequest)) {
    LogMessage(ZOL_MSRUSB, LEVEL_INFO, "HidMsrManager::Initialize - SendMSRDeviceInfoRequest success");
    m_InitEvent->Set();
  } else {
    LogMessage(ZOL_MSRUSB, LEVEL_ERROR, "HidMsrManager::Initialize - SendMSRDeviceInfoRequest failed");
  }
  LogMessage(ZOL_MSRUSB, LEVEL_INFO, "HidMsrManager::Initialize - Initialize success");
  return true;
}

void HidMsrManager::Terminate() {
  if (m_Terminated) {
    return;
  }
  m_Terminated = true;
  LogMessage(ZOL_MSRUSB, LEVEL_INFO, "HidMsrManager::Terminate - Entered");
  BeginShutdown();
  WaitForCallbacks();
  StopNotifier();
  // The wrappers are closed before the HID binding goes away.
  CloseDevices();
  if (HidLib::IsLoaded()) {
    HidLib::Terminate();
  }
  LogMessage(ZOL_MSRUSB, LEVEL_INFO, "HidMsrManager::Terminate - Exiting");
}

bool HidMsrManager::SendMSRCommand(const BYTE* command) {
  LogMessage(ZOL_MSRUSB, LEVEL_VERBOSE, "HidMsrManager::SendMSRCommand - Entered");
  bool sent = false;
  {
    ListLock list(*this);
    BexHidMsr* device = list.Held() ? FirstDevice() : nullptr;
    if (device != nullptr) {
      sent = device->SendMSRCommand(command) == 1;
    }
  }
  LogMessage(ZOL_MSRUSB, LEVEL_VERBOSE, "HidMsrManager::SendMSRCommand - Exiting");
  return sent;
}

void HidMsrManager::ProcessMsrStatus() {
  if (!m_InitEvent) {
    return;
  }
  DWORD rc = sys::WaitAny({*m_InitEvent, m_ShutdownEvent}, INFINITE);
  if (rc == WAIT_OBJECT_0 + 1) {
    return;
  }
  if (rc != WAIT_OBJECT_0) {
    LogMessage(ZOL_MSRUSB, LEVEL_ERROR, "HidMsrManager::ProcessMsrStatus - Wait for m_InitEvent failed, waitRC=0x%08x",
               rc);
    return;
  }
  const std::uint64_t start = sys::TickCountMs();
  bool gotStatus = false;
  {
    ListLock list(*this);
    if (!list.Held()) {
      return;
    }
    if (BexHidMsr* device = FirstDevice()) {
      if (BeginRead(*device)) {
        gotStatus = device->GetMsrStatus(m_StatusBytes) == 1;
        EndRead();
      }
      if (gotStatus && !IsShuttingDown()) {
        HandleStatus(*device);
      }
    }
  }
  SecureZero(m_StatusBytes, sizeof m_StatusBytes);
  SecureZero(m_CardData, sizeof m_CardData);
  if (!gotStatus && sys::TickCountMs() - start < kQuickFailureMs) {
    m_ShutdownEvent.Wait(kRetryPauseMs);
  }
}

void HidMsrManager::HandleStatus(BexHidMsr& device) {
  const BYTE status = m_StatusBytes[0];
  bool numeric = false;
  for (int bit = 0; bit < 8; ++bit) {
    if ((status & (1u << bit)) == 0) {
      continue;
    }
    switch (bit) {
      case 0:
        // A waiting feature report that carries nothing for the port.
        device.GetMsrData(m_CardData);
        SecureZero(m_CardData, sizeof m_CardData);
        break;
      case 2:
        numeric = false;
        break;
      case 5:
        numeric = true;
        break;
      case 7:
        LogMessage(ZOL_MSRUSB, LEVEL_ERROR, "HidMsrManager::ProcessMsrStatus - Command Reject");
        break;
      default:
        break;
    }
  }
  if ((m_StatusBytes[1] & 0x3F) != 0 && device.GetMsrData(m_CardData) == 1) {
    FormatAndWrite(numeric);
  }
}

void HidMsrManager::FormatAndWrite(bool numeric) {
  BYTE output[MSR_OUTPUT_SIZE] = {};
  DWORD length = 0;
  MsrCardData area(m_CardData, MSR_CARD_DATA_SIZE);
  MsrOutput out(output, MSR_OUTPUT_SIZE);
  const bool formatted = numeric ? m_MsrFormat.formatNumericFeatureReport(area, out, &length)
                                 : m_MsrFormat.formatISOFeatureReport(area, out, &length);
  SecureZero(m_CardData, sizeof m_CardData);
  if (formatted) {
    std::int32_t written = 0;
    std::int32_t rc = 0;
    if (m_WriteFunction != nullptr) {
      rc = m_WriteFunction(output, length, &written, kWriteTimeoutMs);
    }
    if (rc != 0) {
      LogMessage(ZOL_MSRUSB, LEVEL_ERROR, "HidMsrManager::ProcessMsrStatus - Write failed with rc=%d", rc);
    } else {
      LogMessage(ZOL_MSRUSB, LEVEL_INFO, "HidMsrManager::ProcessMsrStatus - Sent: %d, Written: %d\n",
                 static_cast<int>(length), static_cast<int>(written));
    }
  }
  SecureZero(output, sizeof output);
}

void HidMsrManager::DeviceLost() { m_InitEvent->Reset(); }

void HidMsrManager::DeviceFound(Cause cause, const std::string& caller) {
  const char* request = cause == Cause::Resume ? "StatusRequest" : "SendMSRDeviceInfoRequest";
  if (!SendMSRCommand(kDeviceInfoRequest)) {
    LogMessage(ZOL_MSRUSB, LEVEL_ERROR, "%s - %s failed", caller.c_str(), request);
    return;
  }
  LogMessage(ZOL_MSRUSB, LEVEL_INFO, "%s - %s success", caller.c_str(), request);
  m_InitEvent->Set();
}
