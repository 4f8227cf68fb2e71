#include "service/ZolPort.h"

#include <array>
#include <chrono>
#include <cstring>
#include <cwchar>
#include <new>
#include <utility>
#include <system_error>

#include "common/log/ZolLog.h"
#include "platform/Error.h"
#include "platform/Process.h"
#include "platform/Thread.h"

namespace {

constexpr std::uint32_t kReceiveBufferSize = 32768;
constexpr DWORD kPollMs = 50;
constexpr DWORD kHoldStepMs = 500;
constexpr std::int64_t kInfoFailureRepeatMs = 60000;

std::unique_ptr<sys::Event> MakeEvent() {
  auto e = std::make_unique<sys::Event>(sys::Event::Reset::Manual, false);
  if (!e->IsValid()) return nullptr;
  return e;
}

}  // namespace

ZolPort::ZolPort(const std::wstring& devicePath) : m_DevicePath(devicePath) {
  LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "ZolPort::ZolPort - Constructed %ls", m_DevicePath.c_str());
}

ZolPort::~ZolPort() {
  if ((m_hReadThread.joinable() || m_hWriteThread.joinable()) && m_bInitialized.load()) Terminate();
  // The write thread uses the events and the handle: it ends before they go.
  m_Terminated.store(true);
  if (m_hTerminateEvent) m_hTerminateEvent->Set();
  if (m_hWriteThread.joinable()) m_hWriteThread.join();
  if (m_hReadThread.joinable()) m_hReadThread.join();
  WaitNoCalls();

  m_hRunEvent.reset();
  m_hWriteStartEvent.reset();
  m_hWriteCompleteEvent.reset();
  m_hTerminateEvent.reset();
  m_WriteThreadGone.reset();
  {
    std::lock_guard<std::mutex> lock(m_CallLock);
    m_hZol.Close();
  }

  if (IDevice* device = m_pDevice.exchange(nullptr)) {
    device->Terminate();
    device->Release();
  }
  LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "ZolPort::~ZolPort - COM%d destroyed", m_ComPort);
}

bool ZolPort::EnterCall() {
  std::lock_guard<std::mutex> lock(m_CallLock);
  if (m_Closing) return false;
  ++m_CallsInProgress;
  return true;
}

void ZolPort::LeaveCall() {
  std::lock_guard<std::mutex> lock(m_CallLock);
  if (--m_CallsInProgress == 0) m_CallsDone.notify_all();
}

void ZolPort::WaitNoCalls() {
  std::unique_lock<std::mutex> lock(m_CallLock);
  m_Closing = true;
  m_CallsDone.wait(lock, [this] { return m_CallsInProgress == 0; });
}

// The terminate event is only ever set after this flag, so the flag alone
// answers without a system call on every write and read.
bool ZolPort::TerminateSignalled() const { return m_Terminated.load(); }

BOOL ZolPort::GetComPortNumberFromDeviceInterfacePath() {
  const wchar_t sep = sys::PathSeparator();
  std::wstring lower = std::wstring(1, sep) + L"zol_com";
  std::wstring upper = std::wstring(1, sep) + L"ZOL_COM";
  std::size_t at = m_DevicePath.find(lower);
  if (at == std::wstring::npos) at = m_DevicePath.find(upper);
  if (at == std::wstring::npos) {
    LogMessage(ZOL_SERVICE, LEVEL_ERROR,
               "ZolPort::GetComPortNumberFromDeviceInterfacePath - Cannot find interface reference '\\ZOL_COM'");
    return FALSE;
  }
  std::wstring reference = m_DevicePath.substr(at);
  if (reference.size() < 9) {
    LogMessageW(ZOL_SERVICE, LEVEL_ERROR,
                L"ZolPort::GetComPortNumberFromDeviceInterfacePath - Interface reference '%ws' does not contain COM Port number",
                reference.c_str());
    return FALSE;
  }
  std::wstring digits = reference.substr(8);
  DWORD value = 0;
  for (wchar_t c : digits) {
    if (c < L'0' || c > L'9') break;
    DWORD next = value * 10 + static_cast<DWORD>(c - L'0');
    if (next / 10 != value) {  // wrapped: not a COM number
      value = 0;
      break;
    }
    value = next;
  }
  if (value == 0) {
    LogMessageW(ZOL_SERVICE, LEVEL_ERROR,
                L"ZolPort::GetComPortNumberFromDeviceInterfacePath - Cannot convert '%ws' to a number",
                digits.c_str());
    return FALSE;
  }
  m_ComPort = value;
  return TRUE;
}

HRESULT ZolPort::Initialize() {
  if (m_bInitialized.load()) {
    LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "ZolPort::Initialize - COM%d Already initialized", m_ComPort);
    return 1;
  }
  if (!GetComPortNumberFromDeviceInterfacePath()) return E_UNEXPECTED;

  LogMessage(ZOL_SERVICE, LEVEL_INFO, "ZolPort::Initialize - Attempting to open device interface %ls",
             m_DevicePath.c_str());
  if (!m_hZol.Open(m_DevicePath)) {
    DWORD e = sys::LastError();
    LogError(ZOL_SERVICE, LEVEL_ERROR, e, "ZolPort::Initialize - CreateFile failed");
    return sys::HresultFromWin32(e);
  }
  LogMessage(ZOL_SERVICE, LEVEL_INFO, "ZolPort::Initialize - COM%d's ZOL Handle=0x%x", m_ComPort,
             static_cast<unsigned>(m_hZol.HandleValue()));

  struct {
    std::unique_ptr<sys::Event>& slot;
    const char* failure;
  } events[] = {
      {m_hRunEvent, "ZolPort::Initialize - CreateEvent m_hRunEvent failed"},
      {m_hTerminateEvent, "ZolPort::Initialize - CreateEvent m_hTerminateEvent failed"},
      {m_hWriteStartEvent, "ZolPort::Initialize - CreateEvent m_hWriteStartEvent failed"},
      {m_hWriteCompleteEvent, "ZolPort::Initialize - CreateEvent m_hWriteCompleteEvent failed"},
      {m_WriteThreadGone, "ZolPort::Initialize - CreateEvent m_WriteThreadGone failed"},
  };
  for (auto& ev : events) {
    ev.slot = MakeEvent();
    if (!ev.slot) {
      DWORD e = sys::LastError();
      LogError(ZOL_SERVICE, LEVEL_ERROR, e, "%s", ev.failure);
      return sys::HresultFromWin32(e);
    }
  }

  try {
    m_hWriteThread = sys::StartThread([this] { WriteInternalThread(); });
  } catch (const std::system_error&) {
    LogError(ZOL_SERVICE, LEVEL_ERROR, ERROR_NOT_ENOUGH_MEMORY,
             "ZolPort::Initialize - CreateThread WriteInternalThread failed");
    return sys::HresultFromWin32(ERROR_NOT_ENOUGH_MEMORY);
  }
  try {
    m_hReadThread = sys::StartThread([this] { ConnectReceiveThread(); });
  } catch (const std::system_error&) {
    LogError(ZOL_SERVICE, LEVEL_ERROR, ERROR_NOT_ENOUGH_MEMORY,
             "ZolPort::Initialize - CreateThread ConnectReceiveThread failed");
    return sys::HresultFromWin32(ERROR_NOT_ENOUGH_MEMORY);
  }
  m_bInitialized.store(1);
  LogMessage(ZOL_SERVICE, LEVEL_INFO, "ZolPort::Initialize - ZOL COM%d Initialized", m_ComPort);
  return S_OK;
}

void ZolPort::Run() {
  if (!m_bInitialized.load()) {
    LogMessage(ZOL_SERVICE, LEVEL_INFO, "ZolPort::Run - COM%d thread not started", m_ComPort);
    return;
  }
  m_hRunEvent->Set();
}

void ZolPort::Terminate() {
  LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "ZolPort::Terminate - COM%d", m_ComPort);
  if (!m_bInitialized.load()) {
    LogMessage(ZOL_SERVICE, LEVEL_INFO, "ZolPort::Terminate - COM%d thread not started", m_ComPort);
    return;
  }
  m_Terminated.store(true);
  m_hRunEvent->Reset();
  m_hTerminateEvent->Set();
  if (m_hReadThread.joinable()) {
    m_hReadThread.join();
    LogMessage(ZOL_SERVICE, LEVEL_INFO, "ZolPort::Terminate - COM%d m_hReadThread terminated", m_ComPort);
  }
  m_bInitialized.store(0);
}

BOOL ZolPort::SetReadyToReceive(BOOL ready) { return SetZolReadyToReceive(ready); }

BOOL ZolPort::SetZolReadyToReceive(BOOL ready) {
  LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "ZolPort::SetZolReadyToReceive - Ready=%d", ready);
  // Held across the control so the handle cannot be closed under it.
  std::lock_guard<std::mutex> lock(m_CallLock);
  if (m_Closing || !m_hZol.IsOpen()) {
    LogMessage(ZOL_SERVICE, LEVEL_ERROR, "COM%d ZOL Handle is INVALID_HANDLE_VALUE", m_ComPort);
    return FALSE;
  }
  std::uint32_t code = ready ? sys::IOCTL_VIRTUAL_SERIAL_SET_RCVRDY : sys::IOCTL_VIRTUAL_SERIAL_CLR_RVCRDY;
  std::uint32_t returned = 0;
  if (!m_hZol.IoControl(code, nullptr, 0, &returned)) {
    DWORD e = sys::LastError();
    LogError(ZOL_SERVICE, LEVEL_ERROR, e, "ZolPort::SetZolReadyToReceive - COM%d %s failed (ZOL Handle=0x%x)",
             m_ComPort, ready ? "IOCTL_VIRTUAL_SERIAL_SET_RCVRDY" : "IOCTL_VIRTUAL_SERIAL_CLR_RVCRDY",
             static_cast<unsigned>(m_hZol.HandleValue()));
    return FALSE;
  }
  return TRUE;
}

// A driver that is gone fails every query until it is back (the platform
// layer opens it again): the first failure is logged, then one line a minute.
BOOL ZolPort::GetZolInfo(sys::ZOL_INFO& info) {
  info = sys::ZOL_INFO{};
  std::uint32_t returned = 0;
  if (!m_hZol.IoControl(sys::IOCTL_VIRTUAL_SERIAL_GET_ZOL_INFO, &info, sizeof(info), &returned)) {
    DWORD e = sys::LastError();
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    std::int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    std::int64_t last = m_InfoFailLoggedMs.load();
    if (m_InfoFailures.fetch_add(1) == 0 || nowMs - last >= kInfoFailureRepeatMs) {
      m_InfoFailLoggedMs.store(nowMs);
      LogError(ZOL_SERVICE, LEVEL_ERROR, e, "ZolPort::GetZolInfo - COM%d IOCTL_VIRTUAL_SERIAL_GET_ZOL_INFO failed",
               m_ComPort);
    }
    return FALSE;
  }
  if (std::uint32_t failures = m_InfoFailures.exchange(0))
    LogMessage(ZOL_SERVICE, LEVEL_INFO, "ZolPort::GetZolInfo - COM%d answered again after %u failed queries",
               m_ComPort, failures);
  return TRUE;
}

BOOL ZolPort::IsZolConnectedToCom() {
  sys::ZOL_INFO info;
  if (!GetZolInfo(info)) return FALSE;
  bool changed = !m_bInfoValid.load() || info.connected != m_LastConnected.load() || info.hold != m_LastHold.load();
  m_LastConnected.store(info.connected);
  m_LastHold.store(info.hold);
  m_bInfoValid.store(1);
  if (changed) {
    if (info.connected)
      LogMessage(ZOL_SERVICE, LEVEL_INFO, "ZolPort::IsZolConnectedToCom - ZOL COM%d Connected!", m_ComPort);
    else
      LogMessage(ZOL_SERVICE, LEVEL_INFO, "ZolPort::IsZolConnectedToCom - ZOL COM%d Not Connected", m_ComPort);
  }
  return info.connected != 0 ? TRUE : FALSE;
}

BOOL ZolPort::WaitComReadyToReceive(DWORD timeout) {
  LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "ZolPort::WaitComReadyToReceive - COM%d", m_ComPort);
  DWORD waited = 0;
  for (;;) {
    sys::ZOL_INFO info;
    if (!GetZolInfo(info)) {
      LogMessage(ZOL_SERVICE, LEVEL_ERROR, "ZolPort::WaitComReadyToReceive - COM%d GetZOLInfo Failed", m_ComPort);
      return FALSE;
    }
    LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "ZolPort::WaitComReadyToReceive - COM%d GetZOLInfo Success", m_ComPort);
    if (info.connected == 0) {
      LogMessage(ZOL_SERVICE, LEVEL_ERROR, "ZolPort::WaitComReadyToReceive - COM%d not connected", m_ComPort);
      return FALSE;
    }
    LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "ZolPort::WaitComReadyToReceive - COM%d connected", m_ComPort);
    if (info.hold == 0) return TRUE;
    // The pause ends early at terminate: the port is going away.
    if (m_hTerminateEvent->Wait(kHoldStepMs) == WAIT_OBJECT_0) break;
    waited += kHoldStepMs;
    if (waited > timeout) break;
  }
  LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "ZolPort::WaitComReadyToReceive - COM%d returning FALSE", m_ComPort);
  return FALSE;
}

void ZolPort::PortReadyInternal(BOOL ready) {
  m_bPortReady.store(ready ? 1 : 0);
  LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "ZolPort::PortReadyInternal - COM%d Ready=%d", m_ComPort, ready);
  if (IDevice* device = m_pDevice.load()) device->PortReady(ready);
}

void ZolPort::DataReceivedInternal(const std::uint8_t* data, std::int32_t length) {
  LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "ZolPort::DataReceivedInternal - COM%d", m_ComPort);
  if (IDevice* device = m_pDevice.load()) device->DataReceived(data, length);
}

std::int32_t ZolPort::Write(std::uint8_t* data, std::uint32_t length, std::int32_t* written,
                            std::int32_t timeout) {
  LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "ZolPort::Write - COM%d", m_ComPort);
  if (data == nullptr || length == 0) return DEVICE_INVALID_ARGUMENT;
  if (length > DEVICE_MAX_TRANSFER) return DEVICE_DATA_TOO_LONG;
  if (written == nullptr) return DEVICE_INVALID_ARGUMENT;
  if (timeout == -1) timeout = 8;
  // A terminated port's handle may be closing: never touch it.
  if (m_bPortReady.load() == 0 || TerminateSignalled()) return DEVICE_PORT_NOT_READY;
  if (!EnterCall()) return DEVICE_PORT_NOT_READY;
  struct CallGuard {
    ZolPort* port;
    ~CallGuard() { port->LeaveCall(); }
  } guard{this};

  if (!WaitComReadyToReceive(static_cast<DWORD>(timeout))) {
    LogMessage(ZOL_SERVICE, LEVEL_WARNING, "ZolPort::Write - COM%d Timed out or error waiting for COM DTR or RTS",
               m_ComPort);
    return DEVICE_PORT_NOT_READY;
  }
  if (sys::CurrentThreadId() == m_dwReadThreadId.load()) {
    LogMessage(ZOL_SERVICE, LEVEL_WARNING, "ZolPort::Write - COM%d Reading and Writing ZOL Pipe on same thread!!!",
               m_ComPort);
  }
  auto* params = new (std::nothrow) WRITE_PARAMS{data, length, 0, 0};
  if (params == nullptr) {
    LogMessage(ZOL_SERVICE, LEVEL_ERROR, "ZolPort::Write - COM%d Cannot allocate WRITE_PARAMS", m_ComPort);
    return DEVICE_OUT_OF_MEMORY;
  }
  {
    std::lock_guard<std::mutex> lock(m_HandOffLock);
    m_pWriteParams = params;
    m_WriteTaken = false;
  }
  m_hWriteStartEvent->Set();
  sys::WaitAny({*m_hWriteCompleteEvent, *m_WriteThreadGone}, INFINITE);
  m_hWriteCompleteEvent->Reset();

  std::int32_t rc;
  {
    std::lock_guard<std::mutex> lock(m_HandOffLock);
    if (!m_WriteTaken) {
      // The write thread left without serving this record.
      params->written = 0;
      params->result = DEVICE_WRITE_FAILED;
    }
    m_pWriteParams = nullptr;
    *written = static_cast<std::int32_t>(params->written);
    rc = params->result;
  }
  std::memset(data, 0, length);
  delete params;
  LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "ZolPort::Write - COM%d rc=%d", m_ComPort, rc);
  return rc;
}

// Terminate wins over a completion seen at the same moment, and a failed wait
// is taken as a wake: the result tells how the transfer stands.
sys::IoWait ZolPort::PortWait(std::function<void(std::uint32_t)> onWake) const {
  sys::IoWait wait;
  wait.stop = m_hTerminateEvent.get();
  wait.stopFirst = true;
  wait.failedWaitWakes = true;
  wait.onWake = std::move(onWake);
  return wait;
}

ZolPort::IoFailure ZolPort::OnIoFailure(DWORD error, IoSite site, const IoFailureLines& lines) {
  IoFailure kind = IoFailure::Other;
  const char* line = nullptr;
  if (error == ERROR_BROKEN_PIPE) {
    kind = IoFailure::BrokenPipe;
    line = lines.brokenPipe;
  } else if (error == ERROR_OPERATION_ABORTED) {
    kind = IoFailure::Aborted;
    line = lines.aborted;
  } else if (error == ERROR_IO_PENDING && lines.pending != nullptr) {
    kind = IoFailure::Pending;
    line = lines.pending;
  }
  if (line != nullptr && site.namesPort)
    LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "%s COM%d %s", site.thread, m_ComPort, line);
  else if (line != nullptr)
    LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "%s %s", site.thread, line);
  if (kind == IoFailure::BrokenPipe) PortReadyInternal(FALSE);
  return kind;
}

void ZolPort::ServeWrite(sys::VirtualSerialIo& io, bool& leave) {
  m_hWriteStartEvent->Reset();
  LogMessage(ZOL_SERVICE, LEVEL_TRACE, "WriteInternalThread - COM%d Write Start", m_ComPort);
  std::uint8_t* data = nullptr;
  std::uint32_t length = 0;
  {
    std::lock_guard<std::mutex> lock(m_HandOffLock);
    if (m_pWriteParams == nullptr || m_WriteTaken) return;  // nothing handed over
    m_WriteTaken = true;
    data = m_pWriteParams->data;
    length = m_pWriteParams->length;
  }
  std::uint32_t written = 0;
  std::int32_t result = DEVICE_SUCCESS;
  sys::IoStart started{sys::IoState::Failed};
  if (data == nullptr) {
    LogMessage(ZOL_SERVICE, LEVEL_ERROR, "WriteInternalThread - COM%d Write Params bad pointer(s), aborting Write",
               m_ComPort);
    result = DEVICE_INVALID_ARGUMENT;
  } else if ((started = io.Start(data, length, &written))) {
    LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "WriteInternalThread - COM%d Synchronous Success - written %d",
               m_ComPort, written);
  } else {
    const DWORD e = sys::LastError();
    LogError(ZOL_SERVICE, LEVEL_INFO, e, "WriteInternalThread - COM%d WriteFile returns fWriteResult %d", m_ComPort,
             0);
    written = 0;
    result = DEVICE_WRITE_FAILED;  // failed at once: nothing was written
    const IoFailure kind =
        OnIoFailure(e, kWriteSite, {"broken pipe (Not an error)", "Write operation aborted/canceled", nullptr});
    if (kind == IoFailure::Other && started.state == sys::IoState::Pending) AwaitWrite(io, leave, written, result);
  }
  {
    std::lock_guard<std::mutex> lock(m_HandOffLock);
    if (m_pWriteParams) {
      m_pWriteParams->written = written;
      m_pWriteParams->result = result;
    }
  }
  m_hWriteCompleteEvent->Set();
}

void ZolPort::AwaitWrite(sys::VirtualSerialIo& io, bool& leave, std::uint32_t& written, std::int32_t& result) {
  LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "WriteInternalThread - COM%d WaitForMultipleObjects", m_ComPort);
  // Readiness may come before the whole buffer went: it waits on until
  // then. Leaving at terminate, the write ends before its buffer goes.
  sys::IoWait wait = PortWait([this](std::uint32_t rc) {
    if (rc != WAIT_OBJECT_0)
      LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "WriteInternalThread - COM%d WaitForMultipleObjects - %d", m_ComPort, rc);
  });
  wait.untilDone = true;
  const sys::IoResult end = sys::AwaitIo(io, wait);
  if (end.ending == sys::IoEnding::Stopped) {
    leave = true;
    return;
  }
  if (end.ending == sys::IoEnding::Done) {
    written = end.transferred;
    LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "WriteInternalThread - Success - COM%d written %d bytes", m_ComPort,
               written);
    result = DEVICE_SUCCESS;
    return;
  }
  LogError(ZOL_SERVICE, LEVEL_ERROR, end.error, "WriteInternalThread - COM%d WriteFile - Failed GetOverlappedResult",
           m_ComPort);
  const IoFailure kind = OnIoFailure(end.error, kWriteSite,
                                     {"GetOverlappedResult - broken pipe (Not an error)",
                                      "Write operation aborted/canceled",
                                      "GetOverlappedResult - ERROR_IO_PENDING - Overlapped I/O operation is in progress."});
  if (kind == IoFailure::Other) PortReadyInternal(FALSE);
}

void ZolPort::WriteInternalThread() {
  m_dwWriteThreadId.store(sys::CurrentThreadId());
  {
    sys::VirtualSerialIo io(m_hZol, sys::VirtualSerialIo::Kind::Write);
    if (!io.IsValid()) {
      LogError(ZOL_SERVICE, LEVEL_ERROR, sys::LastError(), "WriteInternalThread - Failed to create Write event object");
      m_WriteThreadGone->Set();
      return;
    }
    LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "WriteInternalThread - COM%d Start thread", m_ComPort);
    if (sys::WaitAny({*m_hTerminateEvent, *m_hRunEvent}, INFINITE) != WAIT_OBJECT_0) {
      LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "WriteInternalThread - COM%d Alive", m_ComPort);
      bool leave = false;
      while (!leave) {
        if (sys::WaitAny({*m_hTerminateEvent, *m_hWriteStartEvent}, INFINITE) == WAIT_OBJECT_0) break;
        ServeWrite(io, leave);
      }
      LogMessage(ZOL_SERVICE, LEVEL_INFO, "WriteInternalThread - Thread terminating");
    }
  }
  m_WriteThreadGone->Set();
}

bool ZolPort::ReadOnce(sys::VirtualSerialIo& io, std::uint8_t* buffer) {
  std::memset(buffer, 0, kReceiveBufferSize);
  LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "ConnectReceiveThread - ReadFile called");
  std::uint32_t got = 0;
  const sys::IoStart started = io.Start(buffer, kReceiveBufferSize, &got);
  if (started) {
    LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "ConnectReceiveThread - ReadFile Synchronous Success - %d bytes returned",
               got);
    DataReceivedInternal(buffer, static_cast<std::int32_t>(got));
    return true;
  }
  const DWORD e = sys::LastError();
  LogError(ZOL_SERVICE, LEVEL_INFO, e, "ConnectReceiveThread - ReadFile returns fReadResult=%d", 0);
  const IoFailure startKind =
      OnIoFailure(e, kReadSite, {"ReadFile broken pipe (Not an error)", "Read operation aborted/canceled", nullptr});
  if (startKind != IoFailure::Other) return true;
  if (started.state != sys::IoState::Pending) {
    PortReadyInternal(FALSE);
    return true;
  }
  LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "ConnectReceiveThread - ReadFile I/O Pending - WaitForWaitForMultipleObjects");
  // At terminate the read ends first: the buffer on this stack must outlive it.
  const sys::IoResult end = sys::AwaitIo(io, PortWait([](std::uint32_t rc) {
    LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "ConnectReceiveThread - ReadFile I/O Pending - WaitForWaitForMultipleObjects - %d",
               rc);
  }));
  if (end.ending == sys::IoEnding::Stopped) return false;
  if (end.ending == sys::IoEnding::Done) {
    LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "ConnectReceiveThread - ReadFile Success - %d bytes returned",
               end.transferred);
    DataReceivedInternal(buffer, static_cast<std::int32_t>(end.transferred));
    return true;
  }
  if (end.ending == sys::IoEnding::Incomplete) return true;  // woken without data (cancelled): read again
  LogError(ZOL_SERVICE, LEVEL_INFO, end.error, "ConnectReceiveThread - ReadFile GetOverlappedResult failed");
  const IoFailure kind = OnIoFailure(end.error, kReadSite,
                                     {"ReadFile GetOverlappedResult - broken pipe (Not an error)",
                                      "ReadFile operation aborted/canceled",
                                      "ReadFile GetOverlappedResult - ERROR_IO_PENDING - Overlapped I/O operation is in "
                                      "progress."});
  if (kind == IoFailure::Other) PortReadyInternal(FALSE);
  return true;
}

void ZolPort::ConnectReceiveThread() {
  m_dwReadThreadId.store(sys::CurrentThreadId());
  sys::VirtualSerialIo io(m_hZol, sys::VirtualSerialIo::Kind::Read);
  if (!io.IsValid()) {
    LogError(ZOL_SERVICE, LEVEL_ERROR, sys::LastError(), "ConnectReceiveThread - Failed to create Read event object");
    return;
  }
  if (sys::WaitAny({*m_hTerminateEvent, *m_hRunEvent}, INFINITE) == WAIT_OBJECT_0) return;

  auto buffer = std::make_unique<std::array<std::uint8_t, kReceiveBufferSize>>();
  bool running = true;
  while (running) {
    // Connection check, before every read.
    bool readNow = false;
    while (!readNow) {
      if (IsZolConnectedToCom()) {
        m_bPortReady.store(1);
        SetZolReadyToReceive(TRUE);
        PortReadyInternal(TRUE);
        readNow = true;
      } else if (m_hTerminateEvent->Wait(kPollMs) == WAIT_OBJECT_0) {
        running = false;
        break;
      } else if (m_bPortReady.load() != 0) {
        readNow = true;
      }
    }
    if (!running) break;
    if (!ReadOnce(io, buffer->data())) break;
    if (TerminateSignalled()) break;
  }
  LogMessage(ZOL_SERVICE, LEVEL_INFO, "ConnectReceiveThread - Thread terminating");
  if (m_bPortReady.load() == 1) {
    PortReadyInternal(FALSE);
    if (IDevice* device = m_pDevice.load()) device->Terminate();
  }
}
