#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

#include <utility>

#include "platform/Error.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "platform/posix/PosixError.h"

namespace sys {

DynamicLibrary::~DynamicLibrary() {
  if (m_handle) dlclose(m_handle);
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)), m_error(std::move(other.m_error)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (m_handle) dlclose(m_handle);
    m_handle = std::exchange(other.m_handle, nullptr);
    m_error = std::move(other.m_error);
  }
  return *this;
}

bool DynamicLibrary::Load(const std::wstring& fullPath, bool keepLoadedForEver) {
  if (m_handle) {
    dlclose(m_handle);
    m_handle = nullptr;
  }
  m_error.clear();
  const int flags = RTLD_NOW | RTLD_LOCAL | (keepLoadedForEver ? RTLD_NODELETE : 0);
  m_handle = dlopen(ToUtf8(fullPath).c_str(), flags);
  if (!m_handle) {
    const char* why = dlerror();
    m_error = why ? why : "dlopen failed";
    SetLastError(posix::kErrorModNotFound);
    return false;
  }
  return true;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (!m_handle || !name) {
    SetLastError(m_handle ? posix::kErrorProcNotFound : posix::kErrorInvalidHandle);
    return nullptr;
  }
  dlerror();
  void* address = dlsym(m_handle, name);
  if (!address) SetLastError(posix::kErrorProcNotFound);
  return address;
}

std::wstring ModulePathOf(const void* address) {
  Dl_info info{};
  if (!dladdr(address, &info) || !info.dli_fname) {
    SetLastError(posix::kErrorModNotFound);
    return {};
  }
  // The main program is named as it was started, possibly relative.
  if (info.dli_fname[0] != '/') return ExecutablePath().value_or(std::wstring());
  return FromUtf8(info.dli_fname);
}

}  // namespace sys
