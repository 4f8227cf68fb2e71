#pragma once
// What the line-display and stripe-reader managers share: the device list and
// its fair lock, the status read that shutdown cancels, the device-change
// callbacks in flight, and the arrival, removal and resume steps. Each manager
// supplies its names and what it does when its device goes or comes.
//
// Shutdown: BeginShutdown refuses every later callback, cancels a pending
// status read and calls off every wait for the list. A callback already
// running is awaited by WaitForCallbacks, which each manager's destructor
// calls before anything a callback uses goes away: the notifier's own stop
// limit lets its thread go on while a slow callback still runs.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "common/hid/BexHidDevice.h"
#include "common/hid/DeviceChangeNotify.h"
#include "common/hid/FifoLock.h"
#include "common/log/LogSink.h"
#include "platform/Event.h"
#include "platform/WinTypes.h"

// What differs between the two managers.
struct HidManagerFlavor {
  DWORD logModule;
  const char* managerClass;       // "HidLdManager"
  const char* deviceKind;         // "LD" in "Number of USB LD"
  const wchar_t* notifierWindow;  // L"LdDeviceChangeNotifyWindow"
  // Receives the manager's lines.
  ILogSink* log;
};

template <class Device>
class HidDeviceManager : public IDeviceChange {
 public:
  HidDeviceManager(const HidDeviceManager&) = delete;
  HidDeviceManager& operator=(const HidDeviceManager&) = delete;

  // Rebuilds the device list under its lock and logs the count; false when
  // the enumeration did not run to its end or shutdown has begun.
  bool Enumerate();

  // Wakes everything for good (see above); harmless when repeated.
  void BeginShutdown();
  bool IsShuttingDown() const { return m_ShuttingDown.load(); }

  void HidDeviceChanged(bool arrived, std::wstring devicePath) final;
  void HidResumeSuspend() final;

 protected:
  enum class Cause { DeviceChanged, Resume };

  HidDeviceManager(const HidManagerFlavor& flavor, HidSupportedDeviceTable supported);
  ~HidDeviceManager();

  // The device that was first in the list is gone: drop what depends on it.
  virtual void DeviceLost() = 0;
  // A device is now first in the list; caller is "<class>::<callback>".
  virtual void DeviceFound(Cause cause, const std::string& caller) = 0;

  // The list lock for a scope, granted in request order; not held once
  // shutdown has begun.
  class ListLock {
   public:
    explicit ListLock(HidDeviceManager& manager) : m_Lock(manager.m_ListLock), m_Held(m_Lock.Acquire()) {}
    ~ListLock() {
      if (m_Held) m_Lock.Release();
    }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;
    bool Held() const { return m_Held; }

   private:
    FifoLock& m_Lock;
    bool m_Held;
  };

  // The first wrapper, or null; only with the list lock (or the send lock).
  Device* FirstDevice() { return m_DeviceList.devices.empty() ? nullptr : m_DeviceList.devices.front().get(); }

  // Marks device as the one a status read waits on, so that shutdown can
  // cancel the read; false (nothing marked) once shutdown has begun.
  bool BeginRead(Device& device);
  void EndRead();

  // After BeginShutdown: returns once no device-change callback runs.
  void WaitForCallbacks();
  // Closes every wrapper and empties the list; every worker and callback has
  // ended.
  void CloseDevices();

  bool StartNotifier() { return m_DeviceChangeNotify.Initialize(this, m_Flavor.notifierWindow, m_Flavor.logModule); }
  void StopNotifier() { m_DeviceChangeNotify.Terminate(); }

  // One narrow line of the manager, printf-style.
  void Log(DWORD level, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // Set once at shutdown; every blocking wait of a manager includes it.
  sys::Event m_ShutdownEvent{sys::Event::Reset::Manual, false};
  // Held by Enumerate as well while it rebuilds the list: a manager may send
  // under this lock alone, beside a pending status read.
  std::mutex m_SendLock;

 private:
  class CallbackScope;

  const HidManagerFlavor& m_Flavor;
  const std::wstring m_WideClass;
  const HidSupportedDeviceTable m_SupportedDevices;
  BexHidDeviceList<Device> m_DeviceList;
  DeviceChangeNotify m_DeviceChangeNotify;
  FifoLock m_ListLock;

  // The shutdown flag, the wrapper a status read waits on, and the callbacks
  // in progress.
  std::mutex m_StateLock;
  std::condition_variable m_CallbacksDone;
  std::atomic<bool> m_ShuttingDown{false};
  Device* m_Reading = nullptr;
  int m_Callbacks = 0;
};
