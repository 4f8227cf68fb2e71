#pragma once
// The one place the Win32 backend includes <windows.h>, and its RAII types.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <utility>

namespace sys::win32 {

// Owns a kernel handle (closed with CloseHandle); NULL and
// INVALID_HANDLE_VALUE both mean none.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : m_h(h) {}
  ~UniqueHandle() { Close(); }
  UniqueHandle(UniqueHandle&& o) noexcept : m_h(std::exchange(o.m_h, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) {
      Close();
      m_h = std::exchange(o.m_h, nullptr);
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE Get() const { return m_h; }
  HANDLE Release() { return std::exchange(m_h, nullptr); }
  bool IsValid() const { return m_h != nullptr && m_h != INVALID_HANDLE_VALUE; }
  void Close() {
    if (IsValid()) CloseHandle(m_h);
    m_h = nullptr;
  }

 private:
  HANDLE m_h = nullptr;
};

// Owns an open registry key.
class UniqueKey {
 public:
  UniqueKey() = default;
  ~UniqueKey() {
    if (m_key) RegCloseKey(m_key);
  }
  UniqueKey(const UniqueKey&) = delete;
  UniqueKey& operator=(const UniqueKey&) = delete;
  HKEY* Receive() { return &m_key; }
  HKEY Get() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

}  // namespace sys::win32
