#include "plugins/msr/HidMsrManager.h"

#include <cwctype>
#include <new>

#include "common/hid/HidLib.h"
#include "common/log/ZolLog.h"
#include "platform/Thread.h"

namespace {

// A status cycle that ends this fast without a status (no reader, or a reader
// that fails every read at once) pauses before the next one instead of spinning.
constexpr std::uint64_t kQuickFailureMs = 20;
constexpr DWORD kRetryPauseMs = 100;

bool SamePathIgnoringCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) {
      return false;
    }
  }
  return true;
}

void LogFormatLine(DWORD level, const std::string& line) { LogMessage(ZOL_MSRUSB, level, "%s", line.c_str()); }

}  // namespace

HidMsrManager::HidMsrManager(MsrWriteFunction write)
    : m_SupportedDevices(MsrSupportedDevices()),
      m_WriteFunction(write),
      m_MsrFormat(LogFormatLine),
      m_ExitEvent(std::make_unique<sys::Event>(sys::Event::Reset::Manual)) {}

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

  m_EnumLock.reset(new (std::nothrow) FifoLock());
  if (!m_EnumLock) {
    LogMessage(ZOL_MSRUSB, LEVEL_ERROR, "HidMsrManager::Initialize - CreateMutex enumLock mutex failed");
    return false;
  }
  LogMessage(ZOL_MSRUSB, LEVEL_VERBOSE, "HidMsrManager::Initialize - CreateMutex enumLock mutex success");

  m_InitEvent = std::make_unique<sys::Event>(sys::Event::Reset::Manual, false);
  if (!m_InitEvent->IsValid() || !m_ExitEvent->IsValid()) {
    LogMessage(ZOL_MSRUSB, LEVEL_ERROR, "HidMsrManager::Initialize - CreateEvent m_InitEvent failed");
    return false;
  }
  LogMessage(ZOL_MSRUSB, LEVEL_VERBOSE, "HidMsrManager::Initialize - CreateEvent m_InitEvent success");

  if (!Enumerate()) {
    LogMessage(ZOL_MSRUSB, LEVEL_ERROR, "HidMsrManager::Initialize - Enumerate failed");
    return false;
  }
  LogMessage(ZOL_MSRUSB, LEVEL_VERBOSE, "HidMsrManager::Initialize - Enumerate success");

  if (!m_DeviceChangeNotify.Initialize(this, L"MsrDeviceChangeNotifyWindow", ZOL_MSRUSB)) {
    LogMessage(ZOL_MSRUSB, LEVEL_ERROR, "HidMsrManager::Initialize - DeviceChangeNotify.Initialize failed");
    return false;
  }
  LogMessage(ZOL_MSRUSB, LEVEL_VERBOSE, "HidMsrManager::Initialize - DeviceChangeNotify.Initialize success");

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
  m_DeviceChangeNotify.Terminate();
  // The wrappers are closed before the HID binding goes away.
  for (auto& device : m_DeviceList.devices) {
    device->Terminate();
  }
  m_DeviceList.devices.clear();
  m_EnumLock.reset();
  if (HidLib::IsLoaded()) {
    HidLib::Terminate();
  }
  LogMessage(ZOL_MSRUSB, LEVEL_INFO, "HidMsrManager::Terminate - Exiting");
}

void HidMsrManager::BeginShutdown() {
  {
    // A status read may wait up to 7 s for a swipe: close its channel so it
    // gives up now. A read not yet begun will not begin (SetActive).
    std::lock_guard<std::mutex> guard(m_ActiveLock);
    m_Exiting.store(true);
    if (m_Active != nullptr) {
      m_Active->Terminate();
    }
  }
  m_ExitEvent->Set();
  if (m_EnumLock) {
    m_EnumLock->Close();
  }
}

bool HidMsrManager::SetActive(BexHidMsr* device) {
  std::lock_guard<std::mutex> guard(m_ActiveLock);
  if (device != nullptr && m_Exiting.load()) {
    return false;
  }
  m_Active = device;
  return true;
}

bool HidMsrManager::LockEnum() { return m_EnumLock && m_EnumLock->Acquire(); }

void HidMsrManager::UnlockEnum() { m_EnumLock->Release(); }

bool HidMsrManager::Enumerate() {
  if (!LockEnum()) {
    return false;
  }
  const bool result = m_DeviceList.Enumerate(m_SupportedDevices);
  const int count = static_cast<int>(m_DeviceList.devices.size());
  UnlockEnum();
  LogMessage(ZOL_MSRUSB, LEVEL_INFO, "HidMsrManager::Enumerate - Number of USB MSR: %d", count);
  return result;
}

bool HidMsrManager::SendMSRCommand(const BYTE* command) {
  LogMessage(ZOL_MSRUSB, LEVEL_VERBOSE, "HidMsrManager::SendMSRCommand - Entered");
  bool sent = false;
  if (LockEnum()) {
    if (!m_DeviceList.devices.empty()) {
      sent = m_DeviceList.devices.front()->SendMSRCommand(command) == 1;
    }
    UnlockEnum();
  }
  LogMessage(ZOL_MSRUSB, LEVEL_VERBOSE, "HidMsrManager::SendMSRCommand - Exiting");
  return sent;
}

void HidMsrManager::ProcessMsrStatus() {
  if (!m_InitEvent || !m_EnumLock) {
    return;
  }
  DWORD rc = sys::WaitAny({*m_InitEvent, *m_ExitEvent}, INFINITE);
  if (rc == WAIT_OBJECT_0 + 1) {
    return;
  }
  if (rc != WAIT_OBJECT_0) {
    LogMessage(ZOL_MSRUSB, LEVEL_ERROR, "HidMsrManager::ProcessMsrStatus - Wait for m_InitEvent failed, waitRC=0x%08x",
               rc);
    return;
  }
  if (!LockEnum()) {
    return;
  }
  const std::uint64_t start = sys::TickCountMs();
  bool gotStatus = false;
  if (!m_DeviceList.devices.empty()) {
    BexHidMsr& device = *m_DeviceList.devices.front();
    if (SetActive(&device)) {
      gotStatus = device.GetMsrStatus(m_StatusBytes) == 1;
      SetActive(nullptr);
    }
    if (gotStatus && !m_Exiting.load()) {
      HandleStatus(device);
    }
  }
  UnlockEnum();
  SecureZero(m_StatusBytes, sizeof m_StatusBytes);
  SecureZero(m_CardData, sizeof m_CardData);
  if (!gotStatus && sys::TickCountMs() - start < kQuickFailureMs) {
    m_ExitEvent->Wait(kRetryPauseMs);
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

void HidMsrManager::HidDeviceChanged(bool arrived, std::wstring devicePath) {
  bool known = false;
  for (const auto& path : m_DeviceList.hidDevices) {
    if (SamePathIgnoringCase(path, devicePath)) {
      known = true;
      break;
    }
  }
  LogMessageW(ZOL_MSRUSB, LEVEL_INFO, L"HidMsrManager::HidDeviceChanged - %ws %ws",
              arrived ? L"attached" : L"removed", devicePath.c_str());
  LogMessageW(ZOL_MSRUSB, LEVEL_INFO, L"HidMsrManager::HidDeviceChanged - device was %ws ",
              known ? L"present" : L"not present");
  if (arrived == known) {
    return;  // a known device arrived again, or an unknown one went away
  }
  const std::wstring oldPath = m_DeviceList.GetFirstDevicePath();
  LogMessage(ZOL_MSRUSB, LEVEL_INFO, "HidMsrManager::HidDeviceChanged - Re-enumerating USBs devices");
  Enumerate();
  const std::wstring newPath = m_DeviceList.GetFirstDevicePath();
  if (oldPath == newPath) {
    return;
  }
  if (!oldPath.empty()) {
    LogMessage(ZOL_MSRUSB, LEVEL_INFO, "HidMsrManager::HidDeviceChanged - Unintialize old MSR");
    m_InitEvent->Reset();
  }
  if (!newPath.empty()) {
    LogMessage(ZOL_MSRUSB, LEVEL_INFO, "HidMsrManager::HidDeviceChanged - Initialize new MSR");
    if (SendMSRCommand(kDeviceInfoRequest)) {
      LogMessage(ZOL_MSRUSB, LEVEL_INFO, "HidMsrManager::HidDeviceChanged - SendMSRDeviceInfoRequest success");
      m_InitEvent->Set();
    } else {
      LogMessage(ZOL_MSRUSB, LEVEL_ERROR, "HidMsrManager::HidDeviceChanged - SendMSRDeviceInfoRequest failed");
    }
  }
}

void HidMsrManager::HidResumeSuspend() {
  LogMessage(ZOL_MSRUSB, LEVEL_INFO, "HidMsrManager::HidResumeSuspend - Unintialize old MSR");
  m_InitEvent->Reset();
  LogMessage(ZOL_MSRUSB, LEVEL_INFO, "HidMsrManager::HidResumeSuspend - Re-enumerating USBs devices");
  Enumerate();
  if (m_DeviceList.GetFirstDevicePath().empty()) {
    return;
  }
  LogMessage(ZOL_MSRUSB, LEVEL_INFO, "HidMsrManager::HidResumeSuspend - Initialize new MSR");
  if (!SendMSRCommand(kDeviceInfoRequest)) {
    LogMessage(ZOL_MSRUSB, LEVEL_ERROR, "HidMsrManager::HidResumeSuspend - StatusRequest failed");
    return;
  }
  LogMessage(ZOL_MSRUSB, LEVEL_INFO, "HidMsrManager::HidResumeSuspend - StatusRequest success");
  m_InitEvent->Set();
}
