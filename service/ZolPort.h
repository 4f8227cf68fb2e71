#pragma once
// ZolPort: the port service's end of one virtual COM port. It opens one
// interface of the virtual serial driver, runs a receive thread (application
// -> device) and a write thread (device -> application), and is the device's
// IDeviceListener.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Event.h"
#include "platform/VirtualSerial.h"
#include "platform/WinTypes.h"
#include "service/include/ZolDevice.h"

// The hand-off record from Write to the write thread.
struct WRITE_PARAMS {
  std::uint8_t* data;
  std::uint32_t length;
  std::uint32_t written;
  std::int32_t result;
};

class ZolPort : public IDeviceListener {
 public:
  explicit ZolPort(const std::wstring& devicePath);
  virtual ~ZolPort();
  ZolPort(const ZolPort&) = delete;
  ZolPort& operator=(const ZolPort&) = delete;

  // IDeviceListener
  std::int32_t Write(std::uint8_t* data, std::uint32_t length, std::int32_t* written,
                     std::int32_t timeout) override;
  BOOL SetReadyToReceive(BOOL ready) override;

  HRESULT Initialize();
  void Run();
  void Terminate();

  BOOL SetZolReadyToReceive(BOOL ready);
  BOOL IsZolConnectedToCom();
  BOOL WaitComReadyToReceive(DWORD timeout);
  BOOL GetComPortNumberFromDeviceInterfacePath();

  // The port owns the device from here on (Terminate and Release at destruction).
  void AttachDevice(IDevice* device) { m_pDevice.store(device); }
  IDevice* Device() const { return m_pDevice.load(); }
  DWORD ComPort() const { return m_ComPort; }
  const std::wstring& DevicePath() const { return m_DevicePath; }
  bool IsInitialized() const { return m_bInitialized.load() != 0; }

 private:
  void PortReadyInternal(BOOL ready);
  void DataReceivedInternal(const std::uint8_t* data, std::int32_t length);
  BOOL GetZolInfo(sys::ZOL_INFO& info);
  void ConnectReceiveThread();
  void WriteInternalThread();
  bool ReadOnce(sys::VirtualSerialIo& io, std::uint8_t* buffer);
  sys::IoWait PortWait(std::function<void(std::uint32_t)> onWake) const;
  void ServeWrite(sys::VirtualSerialIo& io, bool& leave);
  // The rest of a write that went pending: waits for it and sets written and
  // result; leave when the port terminates meanwhile.
  void AwaitWrite(sys::VirtualSerialIo& io, bool& leave, std::uint32_t& written, std::int32_t& result);

  // A failed read or write: the lines its site logs (after the site's prefix
  // and a space) for a broken pipe, an abort and a reported ERROR_IO_PENDING
  // (null: that error is no kind of its own here).
  struct IoFailureLines {
    const char* brokenPipe;
    const char* aborted;
    const char* pending;
  };
  enum class IoFailure { BrokenPipe, Aborted, Pending, Other };
  // What a thread's failure lines start with: its name, then the port's
  // COM<n> where the thread names it.
  struct IoSite {
    const char* thread;
    bool namesPort;
  };
  static constexpr IoSite kReadSite{"ConnectReceiveThread -", false};
  static constexpr IoSite kWriteSite{"WriteInternalThread -", true};
  // Logs the site's line for error and takes the readiness away on a broken
  // pipe; the site decides what the kind means for it.
  IoFailure OnIoFailure(DWORD error, IoSite site, const IoFailureLines& lines);
  // Calls from the device hold the handle open while they run.
  bool EnterCall();
  void LeaveCall();
  void WaitNoCalls();
  bool TerminateSignalled() const;

  std::atomic<DWORD> m_LastConnected{0};
  std::atomic<DWORD> m_LastHold{0};
  std::atomic<std::int32_t> m_bInfoValid{0};
  // Failed GET_ZOL_INFO queries in a row, and when one was last logged.
  std::atomic<std::uint32_t> m_InfoFailures{0};
  std::atomic<std::int64_t> m_InfoFailLoggedMs{0};
  std::atomic<std::int32_t> m_bInitialized{0};
  sys::VirtualSerialPort m_hZol;
  std::wstring m_DevicePath;
  std::atomic<std::int32_t> m_bPortReady{0};
  std::thread m_hReadThread;
  std::atomic<DWORD> m_dwReadThreadId{0};
  std::thread m_hWriteThread;
  std::atomic<DWORD> m_dwWriteThreadId{0};
  std::unique_ptr<sys::Event> m_hTerminateEvent;
  std::unique_ptr<sys::Event> m_hRunEvent;
  std::unique_ptr<sys::Event> m_hWriteStartEvent;
  std::unique_ptr<sys::Event> m_hWriteCompleteEvent;
  // Signalled when the write thread has left: releases a Write it never served.
  std::unique_ptr<sys::Event> m_WriteThreadGone;
  DWORD m_ComPort = 0;
  std::atomic<IDevice*> m_pDevice{nullptr};

  std::mutex m_HandOffLock;  // guards m_pWriteParams and its fields
  WRITE_PARAMS* m_pWriteParams = nullptr;
  bool m_WriteTaken = false;  // the write thread picked the record up

  std::mutex m_CallLock;
  std::condition_variable m_CallsDone;
  int m_CallsInProgress = 0;
  bool m_Closing = false;
  std::atomic<bool> m_Terminated{false};
};
