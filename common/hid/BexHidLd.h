#pragma once
// The line-display device wrapper and its list (log module ZOL_LDUSB).
#include "common/hid/BexHidDevice.h"

class BexHidLd : public BexHidDevice {
 public:
  static constexpr DWORD kStatusBytes = 8;

  BexHidLd();
  static const BexHidFlavor& Flavor();
  // Any number of command bytes up to the output report length; 1 if written.
  int SendLdCommand(const BYTE* command, DWORD length);
  // Copies the status bytes (at most 8) to destination; 1 if read and copied.
  int GetLdStatus(BYTE* destination);
};

class BexHidLdList : public BexHidDeviceList<BexHidLd> {};

// The supported line displays (vendor, product, usage page, usage).
HidSupportedDeviceTable LdSupportedDevices();
