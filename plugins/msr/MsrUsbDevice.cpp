#include "plugins/msr/MsrUsbDevice.h"

#include "ZolVersion.h"
#include "common/log/ZolLog.h"

namespace {

std::atomic<IDeviceListener*> g_Listener{nullptr};
std::atomic<BOOL> g_PortReady{FALSE};

constexpr const char* kBuildVersion = ZOL_VERSION;

}  // namespace

namespace msr {

std::int32_t WriteToPort(BYTE* data, DWORD length, std::int32_t* written, std::int32_t timeoutMs) {
  if (!g_PortReady.load()) {
    return DEVICE_PORT_NOT_READY;
  }
  IDeviceListener* listener = g_Listener.load();
  if (listener == nullptr) {
    return DEVICE_NO_LISTENER;
  }
  return listener->Write(data, length, written, timeoutMs);
}

}  // namespace msr

MsrUsbDevice::MsrUsbDevice()
    : m_MsrManager(std::make_unique<HidMsrManager>(&msr::WriteToPort)), m_WriteThread(m_MsrManager.get()) {}

MsrUsbDevice::~MsrUsbDevice() = default;

void MsrUsbDevice::WriteThread::Run() {
  m_Manager->ProcessMsrStatus();
  if (m_Manager->IsShuttingDown()) {
    // Nothing more to do: wait for the stop request instead of spinning.
    StopEvent().Wait(INFINITE);
  }
}

std::int32_t MsrUsbDevice::Initialize(IDeviceListener* listener, DEVICE_PARAMS* params) {
  LogMessage(ZOL_MSRUSB, LEVEL_INFO, "MsrHidBridge.dll - Build Version: %s; Build Time: %s, %s", kBuildVersion,
             __DATE__, __TIME__);
  g_Listener.store(listener);
  m_Params = params;
  if (!m_MsrManager->Initialize()) {
    LogMessage(ZOL_MSRUSB, LEVEL_ERROR, "MsrUsbDevice::Initialize - Failed to initialize m_MsrManager");
    return DEVICE_INIT_FAILED;
  }
  if (m_WriteThread.Start() != 0) {
    LogMessage(ZOL_MSRUSB, LEVEL_ERROR, "MsrUsbDevice::Initialize - Failed to initialize m_WriteThread");
    return DEVICE_INIT_FAILED;
  }
  if (listener != nullptr) {
    listener->SetReadyToReceive(TRUE);
  }
  LogMessage(ZOL_MSRUSB, LEVEL_VERBOSE, "MsrUsbDevice::Initialize - Success");
  return DEVICE_SUCCESS;
}

void MsrUsbDevice::PortReady(BOOL ready) { g_PortReady.store(ready); }

void MsrUsbDevice::DataReceived(const std::uint8_t*, std::int32_t) {}

void MsrUsbDevice::Terminate() {
  IDeviceListener* listener = g_Listener.load();
  if (listener != nullptr) {
    listener->SetReadyToReceive(FALSE);
  }
}

void MsrUsbDevice::Release() {
  // The WriteThread must be gone before the manager, its lock and events.
  m_MsrManager->BeginShutdown();
  m_WriteThread.StopAndJoin();
  m_MsrManager.reset();
  delete this;
}
