#include "platform/DynamicLibrary.h"

#include <vector>

#include "platform/Error.h"
#include "platform/common/DynamicLibraryHooks.h"
#include "platform/win32/WinHeaders.h"

namespace sys {
namespace {

HMODULE AsModule(void* h) { return static_cast<HMODULE>(h); }

std::wstring ModuleFileName(HMODULE module) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

void LibraryHandleTraits::Close(Handle h) { FreeLibrary(AsModule(h)); }

namespace detail {

void* OpenLibrary(const std::wstring& fullPath, bool keepLoadedForEver, std::string& error) {
  HMODULE module = LoadLibraryW(fullPath.c_str());
  if (!module) {
    const DWORD code = GetLastError();
    error = ErrorText(code);
    while (!error.empty() && (error.back() == '\n' || error.back() == '\r')) error.pop_back();
    if (error.empty()) error = "LoadLibrary failed";
    ::SetLastError(code);
    return nullptr;
  }
  if (keepLoadedForEver) {
    HMODULE pinned = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, fullPath.c_str(), &pinned);
  }
  return module;
}

void* FindSymbol(void* handle, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(AsModule(handle), name));
}

}  // namespace detail

std::wstring ModulePathOf(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address), &module)) {
    return {};
  }
  return ModuleFileName(module);
}

}  // namespace sys
