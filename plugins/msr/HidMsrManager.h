#pragma once
// Finds the USB stripe reader, keeps the device list current across plug,
// unplug and resume, and runs the status cycle that fetches card data,
// formats it and hands it to the port.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/hid/BexHidMsr.h"
#include "common/hid/DeviceChangeNotify.h"
#include "platform/Event.h"
#include "platform/WinTypes.h"
#include "plugins/msr/FifoLock.h"
#include "plugins/msr/MsrFormat.h"

// Hands output to the port: data, length, written count, timeout in ms.
using MsrWriteFunction = std::int32_t (*)(BYTE* data, DWORD length, std::int32_t* written,
                                          std::int32_t timeoutMs);

class HidMsrManager : public IDeviceChange {
 public:
  static constexpr DWORD kWriteTimeoutMs = 1000;
  static constexpr BYTE kDeviceInfoRequest[BexHidMsr::kCommandBytes] = {0x00, 0x00, 0x00, 0x01};

  explicit HidMsrManager(MsrWriteFunction write);
  virtual ~HidMsrManager();  // runs Terminate
  HidMsrManager(const HidMsrManager&) = delete;
  HidMsrManager& operator=(const HidMsrManager&) = delete;

  bool Initialize();
  void Terminate();
  bool Enumerate();
  // Sends 4 command bytes to the first reader; true only if sent.
  bool SendMSRCommand(const BYTE* command);
  // One status cycle (the WriteThread's step).
  void ProcessMsrStatus();

  // Makes the status cycle leave every wait (the init event, the lock and a
  // pending status read) and return at once from now on.
  void BeginShutdown();
  bool IsShuttingDown() const { return m_Exiting.load(); }

  void HidDeviceChanged(bool arrived, std::wstring devicePath) override;
  void HidResumeSuspend() override;

 private:
  // The enumeration lock, granted in request order; false at shutdown.
  bool LockEnum();
  void UnlockEnum();
  void HandleStatus(BexHidMsr& device);
  void FormatAndWrite(bool numeric);
  // false (and nothing set) once shutdown has begun.
  bool SetActive(BexHidMsr* device);

  BexHidMsrList m_DeviceList;
  HidSupportedDeviceTable m_SupportedDevices;
  DeviceChangeNotify m_DeviceChangeNotify;
  std::unique_ptr<FifoLock> m_EnumLock;
  std::unique_ptr<sys::Event> m_InitEvent;
  MsrWriteFunction m_WriteFunction = nullptr;
  MsrFormat m_MsrFormat;
  BYTE m_StatusBytes[BexHidMsr::kStatusBytes] = {};
  BYTE m_CardData[MSR_CARD_DATA_SIZE] = {};

  std::unique_ptr<sys::Event> m_ExitEvent;
  std::atomic<bool> m_Exiting{false};
  std::mutex m_ActiveLock;  // guards m_Active, the reader a status read is pending on
  BexHidMsr* m_Active = nullptr;
  bool m_Terminated = false;
};
