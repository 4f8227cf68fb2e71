#pragma once
// The line-display plug-in object: the device contract on top of the display
// manager and its two worker threads.
#include "common/thread/ThreadUtil.h"
#include "plugins/ld/HidLdManager.h"
#include "service/include/ZolDevice.h"

// Processes the serial data handed over by the port service.
class ReceiveThread : public CThreadUtil {
 public:
  ~ReceiveThread() override { StopAndJoin(); }
  HidLdManager* m_Manager = nullptr;

 protected:
  void Run() override { m_Manager->ProcessReceiveBuffer(&StopEvent()); }
};

// Reads the display's status reports.
class WriteThread : public CThreadUtil {
 public:
  ~WriteThread() override { StopAndJoin(); }
  HidLdManager* m_Manager = nullptr;

 protected:
  void Run() override { m_Manager->ProcessLdStatus(&StopEvent()); }
};

class LdHidBridge final : public IDevice {
 public:
  LdHidBridge() = default;

  std::int32_t Initialize(IDeviceListener* listener, DEVICE_PARAMS* params) override;
  void PortReady(BOOL ready) override;
  void DataReceived(const std::uint8_t* data, std::int32_t length) override;
  void Terminate() override;
  void Release() override;

 private:
  ~LdHidBridge() = default;

  DEVICE_PARAMS* m_Params = nullptr;
  IDeviceListener* m_Listener = nullptr;  // the one this object made library-wide
  HidLdManager m_LdManager;
  WriteThread m_WriteThread;
  ReceiveThread m_ReceiveThread;
};
