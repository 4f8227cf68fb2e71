#pragma once
// The stripe-reader device wrapper and its list (log module ZOL_MSRUSB).
#include "common/hid/BexHidDevice.h"

class BexHidMsr : public BexHidDevice {
 public:
  static constexpr DWORD kCommandBytes = 4;
  static constexpr DWORD kStatusBytes = 2;
  static constexpr DWORD kCardDataBytes = 290;

  BexHidMsr();
  static const BexHidFlavor& Flavor();
  // Sends exactly 4 command bytes; 1 if written.
  int SendMSRCommand(const BYTE* command);
  // Copies the status bytes (at most 2) to destination; 1 if read and copied.
  int GetMsrStatus(BYTE* destination);
  // Reads the card data feature report into the 290-byte destination (bytes
  // after the report id); 1 on success. Logs nothing.
  int GetMsrData(BYTE* destination);
};

class BexHidMsrList : public BexHidDeviceList<BexHidMsr> {};

// The supported stripe readers (vendor, product, usage page, usage).
HidSupportedDeviceTable MsrSupportedDevices();
