#include "platform/DynamicLibrary.h"

#include <utility>
#include <vector>

#include "platform/Error.h"
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

DynamicLibrary::~DynamicLibrary() {
  if (m_handle) FreeLibrary(AsModule(m_handle));
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)), m_error(std::move(other.m_error)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (m_handle) FreeLibrary(AsModule(m_handle));
    m_handle = std::exchange(other.m_handle, nullptr);
    m_error = std::move(other.m_error);
  }
  return *this;
}

bool DynamicLibrary::Load(const std::wstring& fullPath, bool keepLoadedForEver) {
  if (m_handle) {
    FreeLibrary(AsModule(m_handle));
    m_handle = nullptr;
  }
  m_error.clear();
  HMODULE module = LoadLibraryW(fullPath.c_str());
  if (!module) {
    const DWORD error = GetLastError();
    m_error = ErrorText(error);
    while (!m_error.empty() && (m_error.back() == '\n' || m_error.back() == '\r')) m_error.pop_back();
    if (m_error.empty()) m_error = "LoadLibrary failed";
    ::SetLastError(error);
    return false;
  }
  if (keepLoadedForEver) {
    HMODULE pinned = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, fullPath.c_str(), &pinned);
  }
  m_handle = module;
  return true;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (!m_handle) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return reinterpret_cast<void*>(GetProcAddress(AsModule(m_handle), name));
}

std::wstring ModulePathOf(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address), &module)) {
    return {};
  }
  return ModuleFileName(module);
}

}  // namespace sys
