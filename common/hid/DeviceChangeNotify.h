#pragma once
// Device arrival, removal and automatic-resume notification. One notifier
// thread per plug-in library; notifications reach the target one at a time,
// in arrival order, on that thread.
#include <string>

#include "platform/WinTypes.h"

class IDeviceChange {
 public:
  // arrived: true for an arrival, false for a removal.
  virtual void HidDeviceChanged(bool arrived, std::wstring devicePath) = 0;
  // The machine resumed automatically from suspend.
  virtual void HidResumeSuspend() = 0;

 protected:
  ~IDeviceChange() = default;
};

class DeviceChangeNotify {
 public:
  static constexpr DWORD kReadyTimeoutMs = 3000;
  static constexpr DWORD kStopTimeoutMs = 3000;

  DeviceChangeNotify() = default;
  ~DeviceChangeNotify() = default;  // the manager terminates explicitly
  DeviceChangeNotify(const DeviceChangeNotify&) = delete;
  DeviceChangeNotify& operator=(const DeviceChangeNotify&) = delete;

  // Stores target, window name and log module (ZOL_LDUSB or ZOL_MSRUSB) and
  // starts the notifier thread unless it runs; true when it is up and
  // registered (within 3000 ms). False leaves the thread going on: a start
  // that is slow comes up later, one that failed is tried again each second,
  // until Terminate.
  bool Initialize(IDeviceChange* target, const std::wstring& windowName, DWORD logModule);
  // Unregisters, ends the notifier thread (waiting at most 3000 ms) and its
  // retries. Harmless when repeated.
  void Terminate();
  // Up and registered (also when that came after Initialize returned).
  bool IsInitialized() const;
};
