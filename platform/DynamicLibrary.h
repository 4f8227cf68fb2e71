#pragma once
// Loading a shared library by full path and looking up its exports.
// Linux: dlopen(RTLD_NOW | RTLD_LOCAL) / dlsym. Windows: LoadLibraryW / GetProcAddress.
#include <cstdint>
#include <string>

namespace sys {

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
  bool IsLoaded() const { return m_handle != nullptr; }
  // The export's address, or nullptr (sys::LastError() is then ERROR_PROC_NOT_FOUND).
  void* Symbol(const char* name) const;
  // Keeps the library mapped for the rest of the process (never unloaded).
  void Detach() { m_handle = nullptr; }
  const std::string& LoadErrorText() const { return m_error; }

 private:
  void* m_handle = nullptr;
  std::string m_error;
};

// Full path of the library (or executable) whose code contains address.
std::wstring ModulePathOf(const void* address);

}  // namespace sys
