#pragma once
// The one place the Win32 backend includes <windows.h>, and the owners of its handles.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "platform/ScopedHandle.h"

namespace sys::win32 {

// A kernel handle (CloseHandle); NULL and INVALID_HANDLE_VALUE both mean none.
struct KernelHandleTraits {
  using Handle = HANDLE;
  static constexpr Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { ::CloseHandle(h); }
};
using UniqueHandle = ScopedHandle<KernelHandleTraits>;

// An open registry key.
struct RegistryKeyTraits {
  using Handle = HKEY;
  static constexpr Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::RegCloseKey(h); }
};
using UniqueKey = ScopedHandle<RegistryKeyTraits>;

// A service control manager or service handle.
struct ServiceHandleTraits {
  using Handle = SC_HANDLE;
  static constexpr Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::CloseServiceHandle(h); }
};
using UniqueServiceHandle = ScopedHandle<ServiceHandleTraits>;

}  // namespace sys::win32
