#pragma once
// The report channel to one opened HID interface: a read handle and a write
// handle (each with its transfer's completion), a cancel event and the
// connected state.
// One thread may read while another writes; terminate() may be called from any
// thread and makes a waiting read or write give up.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Event.h"
#include "platform/Hid.h"
#include "platform/WinTypes.h"

class HidIo {
 public:
  static constexpr DWORD kWriteTimeoutMs = 2000;
  static constexpr DWORD kReadTimeoutMs = 7000;
  static constexpr DWORD kInputBuffers = 128;

  HidIo();
  ~HidIo();
  HidIo(const HidIo&) = delete;
  HidIo& operator=(const HidIo&) = delete;

  // Opens the interface for reading and for writing; true when open.
  bool Initialize(const std::wstring& devicePath);
  // Reads one input report of exactly length bytes (zero-filled first).
  bool readInputReport(void* buffer, DWORD length);
  // Writes one output report of length bytes.
  bool sendOutputReport(const void* buffer, DWORD length);
  // Discards the queued input reports of the read handle.
  bool flushDeviceQueue();
  // Reads a feature report (buffer[0] = report id) through the read handle;
  // fails at once when not connected.
  bool getFeatureReport(void* buffer, DWORD length);
  // Aborts pending waits, then closes everything that is open.
  void terminate();

  bool IsInitialized() const { return m_Initialized; }
  bool IsConnected() const { return m_Connected.load(); }

 private:
  bool transfer(sys::HidDevice& handle, std::mutex& lock, bool isRead, void* buffer, DWORD length,
                DWORD timeoutMs);
  void noteError(DWORD error);

  bool m_Initialized = false;
  std::atomic<bool> m_Connected{true};
  sys::HidDevice m_ReadHandle;
  sys::HidDevice m_WriteHandle;
  std::unique_ptr<sys::Event> m_CancelEvent;
  std::mutex m_ReadLock;   // held for a whole read; terminate() waits for it
  std::mutex m_WriteLock;  // held for a whole write
  std::mutex m_OtherLock;  // flush, feature report, and the cancel event's life
};
