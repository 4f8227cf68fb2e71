#include "plugins/ld/LdHidBridge.h"

#include <atomic>
#include <new>

#include "ZolVersion.h"
#include "common/log/ZolLog.h"
#include "plugins/ld/LdLog.h"

namespace {

// One plug-in library serves one device: the last listener is kept for the
// whole library.
std::atomic<IDeviceListener*> g_Listener{nullptr};

const char kFileVersion[] = ZOL_VERSION;

}  // namespace

std::int32_t LdHidBridge::Initialize(IDeviceListener* listener, DEVICE_PARAMS* params) {
  LdLog(LEVEL_INFO, "LdHidBridge.dll - Build Version: %s; Build Time: %s, %s", kFileVersion, __DATE__, __TIME__);
  g_Listener.store(listener);
  m_Listener = listener;
  m_Params = params;
  if (m_LdManager.Initialize() == 0) {
    LdLog(LEVEL_ERROR, "LdHidBridge::Initialize - Failed to initialize m_LdManager");
    return DEVICE_INIT_FAILED;
  }
  m_WriteThread.m_Manager = &m_LdManager;
  if (m_WriteThread.Start() != 0) {
    LdLog(LEVEL_ERROR, "LdHidBridge::Initialize - Failed to initialize m_WriteThread");
    return DEVICE_INIT_FAILED;
  }
  m_ReceiveThread.m_Manager = &m_LdManager;
  if (m_ReceiveThread.Start() != 0) {
    LdLog(LEVEL_ERROR, "LdHidBridge::Initialize - Failed to initialize m_ReceiveThread");
    return DEVICE_INIT_FAILED;
  }
  if (IDeviceListener* known = g_Listener.load()) known->SetReadyToReceive(TRUE);
  LdLog(LEVEL_VERBOSE, "LdHidBridge::Initialize - Success");
  return DEVICE_SUCCESS;
}

// The display takes data whatever the port's readiness.
void LdHidBridge::PortReady(BOOL) {}

void LdHidBridge::DataReceived(const std::uint8_t* data, std::int32_t length) {
  // A negative length is no length the contract allows: nothing to copy.
  if (length < 0) return;
  m_LdManager.Receive(data, static_cast<DWORD>(length));
}

void LdHidBridge::Terminate() {
  if (IDeviceListener* known = g_Listener.load()) known->SetReadyToReceive(FALSE);
}

void LdHidBridge::Release() {
  // Wake every worker first, so that each thread object below ends at once.
  m_LdManager.BeginShutdown();
  // The port that listened goes away after this: a later device of this
  // library must not call it.
  IDeviceListener* mine = m_Listener;
  g_Listener.compare_exchange_strong(mine, nullptr);
  delete this;
}

extern "C" ZOL_PLUGIN_EXPORT IDevice* CreateDevice() { return new (std::nothrow) LdHidBridge(); }
