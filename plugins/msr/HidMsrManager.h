#pragma once
// Finds the USB stripe reader, keeps the device list current across plug,
// unplug and resume, and runs the status cycle that fetches card data,
// formats it and hands it to the port.
#include <cstdint>
#include <memory>
#include <string>

#include "common/hid/BexHidMsr.h"
#include "common/hid/HidDeviceManager.h"
#include "platform/Event.h"
#include "platform/WinTypes.h"
#include "plugins/msr/MsrFormat.h"

// Hands output to the port: data, length, written count, timeout in ms.
using MsrWriteFunction = std::int32_t (*)(BYTE* data, DWORD length, std::int32_t* written,
                                          std::int32_t timeoutMs);

class HidMsrManager : public HidDeviceManager<BexHidMsr> {
 public:
  static constexpr DWORD kWriteTimeoutMs = 1000;
  static constexpr BYTE kDeviceInfoRequest[BexHidMsr::kCommandBytes] = {0x00, 0x00, 0x00, 0x01};

  explicit HidMsrManager(MsrWriteFunction write);
  virtual ~HidMsrManager();  // runs Terminate

  bool Initialize();
  void Terminate();
  // Sends 4 command bytes to the first reader; true only if sent.
  bool SendMSRCommand(const BYTE* command);
  // One status cycle (the WriteThread's step). BeginShutdown makes it leave
  // every wait (the init event, the list lock and a pending status read) and
  // return at once from then on.
  void ProcessMsrStatus();

 private:
  void DeviceLost() override;
  void DeviceFound(Cause cause, const std::string& caller) override;
  void HandleStatus(BexHidMsr& device);
  void FormatAndWrite(bool numeric);

  std::unique_ptr<sys::Event> m_InitEvent;
  MsrWriteFunction m_WriteFunction = nullptr;
  MsrFormat m_MsrFormat;
  BYTE m_StatusBytes[BexHidMsr::kStatusBytes] = {};
  BYTE m_CardData[MSR_CARD_DATA_SIZE] = {};
  bool m_Terminated = false;
};
