#pragma once
// Loading a shared library by full path and looking up its exports.
// Linux: dlopen(RTLD_NOW | RTLD_LOCAL) / dlsym. Windows: LoadLibraryW / GetProcAddress.
#include <cstdint>
#include <string>

#include "platform/ScopedHandle.h"

namespace sys {

// A loaded library's handle: unloaded by dlclose / FreeLibrary.
struct LibraryHandleTraits {
  using Handle = void*;
  static constexpr Handle Invalid() { return nullptr; }
  static void Close(Handle h);
};

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();  // unloads unless Detach() was called
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Loads the library at a full path. On failure returns false with the system
  // error in sys::LastError() (ERROR_MOD_NOT_FOUND when it cannot be loaded)
  // and the loader's own text in LoadErrorText().
  bool Load(const std::wstring& fullPath, bool keepLoadedForEver = false);
  bool IsLoaded() const { return m_handle.IsValid(); }
  // The export's address, or nullptr (sys::LastError() is then ERROR_PROC_NOT_FOUND).
  void* Symbol(const char* name) const;
  // Keeps the library mapped for the rest of the process (never unloaded).
  void Detach() { m_handle.Release(); }
  const std::string& LoadErrorText() const { return m_error; }

 private:
  ScopedHandle<LibraryHandleTraits> m_handle;
  std::string m_error;
};

// Full path of the library (or executable) whose code contains address.
std::wstring ModulePathOf(const void* address);

}  // namespace sys
