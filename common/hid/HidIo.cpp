#include "common/hid/HidIo.h"

#include <cstring>

#include "platform/Error.h"

HidIo::HidIo() = default;

HidIo::~HidIo() { terminate(); }

bool HidIo::Initialize(const std::wstring& devicePath) {
  std::scoped_lock guard(m_ReadLock, m_WriteLock, m_OtherLock);
  m_ReadEvent = std::make_unique<sys::Event>(sys::Event::Reset::Manual, false);
  if (!m_ReadEvent->IsValid()) return false;
  m_WriteEvent = std::make_unique<sys::Event>(sys::Event::Reset::Manual, false);
  if (!m_WriteEvent->IsValid()) return false;
  m_CancelEvent = std::make_unique<sys::Event>(sys::Event::Reset::Manual, false);
  if (!m_CancelEvent->IsValid()) return false;

  if (!m_ReadHandle.Open(devicePath, sys::HidDevice::Access::Read)) return false;
  if (!m_WriteHandle.Open(devicePath, sys::HidDevice::Access::Write)) return false;
  // The result does not matter: the default queue works as well.
  m_ReadHandle.SetNumInputBuffers(kInputBuffers);
  m_Initialized = true;
  return true;
}

void HidIo::noteError(DWORD error) {
  if (error == ERROR_DEVICE_NOT_CONNECTED) m_Connected = false;
}

bool HidIo::transfer(sys::HidDevice& handle, sys::Event* completion, std::mutex& lock, bool isRead,
                     void* buffer, DWORD length, DWORD timeoutMs) {
  std::lock_guard<std::mutex> guard(lock);
  if (!m_Connected) {
    sys::SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return false;
  }
  if (!handle.IsOpen() || !completion || !m_CancelEvent) {
    sys::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (isRead && length > 0) std::memset(buffer, 0, length);
  completion->Reset();
  const sys::HidDevice::Start started =
      isRead ? handle.StartRead(buffer, length, *completion) : handle.StartWrite(buffer, length, *completion);
  if (started == sys::HidDevice::Start::Completed) return true;
  if (started == sys::HidDevice::Start::Failed) {
    noteError(sys::LastError());
    return false;
  }

  sys::SetLastError(ERROR_SUCCESS);
  const DWORD rc = sys::WaitAny({sys::WaitItem(handle.PendingWaitable()), sys::WaitItem(*m_CancelEvent)}, timeoutMs);
  if (rc == WAIT_OBJECT_0) {
    if (handle.FetchResult()) return true;
    const DWORD error = sys::LastError();
    noteError(error);
    handle.CancelIo();
    sys::SetLastError(error);
    return false;
  }
  if (rc == WAIT_OBJECT_0 + 1) {
    handle.CancelIo();
    sys::SetLastError(ERROR_OPERATION_ABORTED);
    return false;
  }
  if (rc == WAIT_TIMEOUT) {
    // It may have completed just now.
    if (handle.FetchResult()) return true;
    const DWORD error = sys::LastError();
    noteError(error);
    handle.CancelIo();
    sys::SetLastError(error == ERROR_IO_INCOMPLETE ? ERROR_TIMEOUT : error);
    return false;
  }
  // The wait itself failed: the transfer must not outlive this call.
  const DWORD error = sys::LastError();
  handle.CancelIo();
  sys::SetLastError(error);
  return false;
}

bool HidIo::readInputReport(void* buffer, DWORD length) {
  return transfer(m_ReadHandle, m_ReadEvent.get(), m_ReadLock, true, buffer, length, kReadTimeoutMs);
}

bool HidIo::sendOutputReport(const void* buffer, DWORD length) {
  return transfer(m_WriteHandle, m_WriteEvent.get(), m_WriteLock, false, const_cast<void*>(buffer), length,
                  kWriteTimeoutMs);
}

bool HidIo::flushDeviceQueue() {
  // Not under the read lock: a flush must not wait for a pending read.
  std::lock_guard<std::mutex> guard(m_OtherLock);
  if (!m_Connected) {
    sys::SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return false;
  }
  if (!m_ReadHandle.IsOpen()) {
    sys::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const bool ok = m_ReadHandle.FlushQueue();
  if (!ok) noteError(sys::LastError());
  return ok;
}

bool HidIo::getFeatureReport(void* buffer, DWORD length) {
  std::lock_guard<std::mutex> guard(m_OtherLock);
  if (!m_Connected) {
    sys::SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return false;
  }
  if (!m_ReadHandle.IsOpen() || length == 0) {
    sys::SetLastError(length == 0 ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return false;
  }
  return m_ReadHandle.GetFeature(buffer, length);
}

void HidIo::terminate() {
  // Signal first, so a read or write waiting on another thread gives up;
  // the locks then wait for it to leave before the handles go.
  {
    std::lock_guard<std::mutex> guard(m_OtherLock);
    if (m_CancelEvent) m_CancelEvent->Set();
  }
  std::scoped_lock guard(m_ReadLock, m_WriteLock, m_OtherLock);
  m_ReadHandle.Close();
  m_WriteHandle.Close();
  m_ReadEvent.reset();
  m_WriteEvent.reset();
  m_CancelEvent.reset();
  m_Initialized = false;
}
