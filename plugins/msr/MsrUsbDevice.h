#pragma once
// The stripe-reader plug-in's device object: one manager and the WriteThread
// that runs its status cycle. Data flows from the reader to the port only.
#include <atomic>
#include <memory>

#include "common/thread/ThreadUtil.h"
#include "plugins/msr/HidMsrManager.h"
#include "service/include/ZolDevice.h"

// Library-wide state: one plug-in library serves one device.
namespace msr {
// The manager's write function: 11 while the port is not ready, 5 without a
// listener, else the listener's Write result.
std::int32_t WriteToPort(BYTE* data, DWORD length, std::int32_t* written, std::int32_t timeoutMs);
}  // namespace msr

class MsrUsbDevice final : public IDevice {
 public:
  MsrUsbDevice();

  std::int32_t Initialize(IDeviceListener* listener, DEVICE_PARAMS* params) override;
  void PortReady(BOOL ready) override;
  void DataReceived(const std::uint8_t* data, std::int32_t length) override;
  void Terminate() override;
  void Release() override;

 private:
  class WriteThread final : public CThreadUtil {
   public:
    explicit WriteThread(HidMsrManager* manager) : m_Manager(manager) {}
    ~WriteThread() override { StopAndJoin(); }

   protected:
    void Run() override;

   private:
    HidMsrManager* m_Manager;
  };

  ~MsrUsbDevice();

  DEVICE_PARAMS* m_Params = nullptr;
  std::unique_ptr<HidMsrManager> m_MsrManager;
  WriteThread m_WriteThread;
};
