#include "common/hid/HidDeviceManager.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

#include "common/hid/BexHidLd.h"
#include "common/hid/BexHidMsr.h"
#include "common/log/ZolLog.h"

// Counts a device-change callback in progress; refuses one during shutdown.
template <class Device>
class HidDeviceManager<Device>::CallbackScope {
 public:
  explicit CallbackScope(HidDeviceManager& manager) : m_Manager(manager) {
    std::lock_guard<std::mutex> lock(m_Manager.m_StateLock);
    m_Entered = !m_Manager.m_ShuttingDown.load();
    if (m_Entered) ++m_Manager.m_Callbacks;
  }
  ~CallbackScope() {
    if (!m_Entered) return;
    std::lock_guard<std::mutex> lock(m_Manager.m_StateLock);
    if (--m_Manager.m_Callbacks == 0) m_Manager.m_CallbacksDone.notify_all();
  }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;
  bool Entered() const { return m_Entered; }

 private:
  HidDeviceManager& m_Manager;
  bool m_Entered = false;
};

template <class Device>
HidDeviceManager<Device>::HidDeviceManager(const HidManagerFlavor& flavor, HidSupportedDeviceTable supported)
    : m_Flavor(flavor),
      m_WideClass(flavor.managerClass, flavor.managerClass + std::char_traits<char>::length(flavor.managerClass)),
      m_SupportedDevices(std::move(supported)) {}

template <class Device>
HidDeviceManager<Device>::~HidDeviceManager() = default;

template <class Device>
void HidDeviceManager<Device>::Log(DWORD level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogToSinkV(m_Flavor.log, level, format, args);
  va_end(args);
}

template <class Device>
bool HidDeviceManager<Device>::Enumerate() {
  bool result;
  int count;
  {
    ListLock list(*this);
    if (!list.Held()) return false;
    std::lock_guard<std::mutex> send(m_SendLock);
    result = m_DeviceList.Enumerate(m_SupportedDevices);
    count = static_cast<int>(m_DeviceList.devices.size());
  }
  Log(LEVEL_INFO, "%s::Enumerate - Number of USB %s: %d", m_Flavor.managerClass, m_Flavor.deviceKind, count);
  return result;
}

template <class Device>
void HidDeviceManager<Device>::BeginShutdown() {
  {
    // A status read may wait up to 7 s for its report: close its channel so
    // it gives up now. A read not yet begun will not begin (BeginRead).
    std::lock_guard<std::mutex> lock(m_StateLock);
    m_ShuttingDown.store(true);
    if (m_Reading != nullptr) {
      m_Reading->Terminate();
      m_Reading = nullptr;
    }
  }
  m_ShutdownEvent.Set();
  m_ListLock.Close();
}

template <class Device>
bool HidDeviceManager<Device>::BeginRead(Device& device) {
  std::lock_guard<std::mutex> lock(m_StateLock);
  if (m_ShuttingDown.load()) return false;
  m_Reading = &device;
  return true;
}

template <class Device>
void HidDeviceManager<Device>::EndRead() {
  std::lock_guard<std::mutex> lock(m_StateLock);
  m_Reading = nullptr;
}

template <class Device>
void HidDeviceManager<Device>::WaitForCallbacks() {
  std::unique_lock<std::mutex> lock(m_StateLock);
  m_CallbacksDone.wait(lock, [this] { return m_Callbacks == 0; });
}

template <class Device>
void HidDeviceManager<Device>::CloseDevices() {
  std::lock_guard<std::mutex> send(m_SendLock);
  for (auto& device : m_DeviceList.devices) device->Terminate();
  m_DeviceList.devices.clear();
}

template <class Device>
void HidDeviceManager<Device>::HidDeviceChanged(bool arrived, std::wstring devicePath) {
  CallbackScope scope(*this);
  if (!scope.Entered()) return;
  const DWORD module = m_Flavor.logModule;
  const char* cls = m_Flavor.managerClass;
  const char* kind = m_Flavor.deviceKind;
  const bool present = m_DeviceList.ContainsHidDevice(devicePath);
  LogMessageW(module, LEVEL_INFO, L"%ws::HidDeviceChanged - %ws %ws", m_WideClass.c_str(),
              arrived ? L"attached" : L"removed", devicePath.c_str());
  LogMessageW(module, LEVEL_INFO, L"%ws::HidDeviceChanged - device was %ws ", m_WideClass.c_str(),
              present ? L"present" : L"not present");
  if (arrived == present) return;  // a known device arrived again, or an unknown one went away

  const std::wstring oldPath = m_DeviceList.GetFirstDevicePath();
  Log(LEVEL_INFO, "%s::HidDeviceChanged - Re-enumerating USBs devices", cls);
  Enumerate();
  const std::wstring newPath = m_DeviceList.GetFirstDevicePath();
  if (newPath == oldPath) return;
  if (!oldPath.empty()) {
    Log(LEVEL_INFO, "%s::HidDeviceChanged - Unintialize old %s", cls, kind);
    DeviceLost();
  }
  if (!newPath.empty()) {
    Log(LEVEL_INFO, "%s::HidDeviceChanged - Initialize new %s", cls, kind);
    DeviceFound(Cause::DeviceChanged, std::string(cls) + "::HidDeviceChanged");
  }
}

template <class Device>
void HidDeviceManager<Device>::HidResumeSuspend() {
  CallbackScope scope(*this);
  if (!scope.Entered()) return;
  const char* cls = m_Flavor.managerClass;
  const char* kind = m_Flavor.deviceKind;
  Log(LEVEL_INFO, "%s::HidResumeSuspend - Unintialize old %s", cls, kind);
  DeviceLost();
  Log(LEVEL_INFO, "%s::HidResumeSuspend - Re-enumerating USBs devices", cls);
  Enumerate();
  if (m_DeviceList.GetFirstDevicePath().empty()) return;
  Log(LEVEL_INFO, "%s::HidResumeSuspend - Initialize new %s", cls, kind);
  DeviceFound(Cause::Resume, std::string(cls) + "::HidResumeSuspend");
}

template class HidDeviceManager<BexHidLd>;
template class HidDeviceManager<BexHidMsr>;
