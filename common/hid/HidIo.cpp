#include "common/hid/HidIo.h"

#include <cstring>

#include "platform/Error.h"

HidIo::HidIo() = default;

HidIo::~HidIo() { terminate(); }

bool HidIo::Initialize(const std::wstring& devicePath) {
  std::scoped_lock guard(m_ReadLock, m_WriteLock, m_OtherLock);
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

bool HidIo::transfer(sys::HidDevice& handle, std::mutex& lock, bool isRead, void* buffer, DWORD length,
                     DWORD timeoutMs) {
  std::lock_guard<std::mutex> guard(lock);
  if (!m_Connected) {
    sys::SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return false;
  }
  if (!handle.IsOpen() || !m_CancelEvent) {
    sys::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (isRead && length > 0) std::memset(buffer, 0, length);
  const sys::IoStart started = handle.Start(buffer, length, nullptr);
  if (started) return true;
  if (started.state == sys::IoState::Failed) {
    noteError(sys::LastError());
    return false;
  }

  sys::SetLastError(ERROR_SUCCESS);
  sys::IoWait wait;
  wait.stop = m_CancelEvent.get();
  wait.timeoutMs = timeoutMs;
  const sys::IoResult result = sys::AwaitIo(handle, wait);
  if (result.ending == sys::IoEnding::Done) return true;
  if (result.ending == sys::IoEnding::Failed) noteError(result.error);
  sys::SetLastError(result.error);
  return false;
}

bool HidIo::readInputReport(void* buffer, DWORD length) {
  return transfer(m_ReadHandle, m_ReadLock, true, buffer, length, kReadTimeoutMs);
}

bool HidIo::sendOutputReport(const void* buffer, DWORD length) {
  return transfer(m_WriteHandle, m_WriteLock, false, const_cast<void*>(buffer), length, kWriteTimeoutMs);
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
  m_CancelEvent.reset();
  m_Initialized = false;
}
