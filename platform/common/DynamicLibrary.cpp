// What loading a library means on every platform; the OS calls are the
// hooks of common/DynamicLibraryHooks.h.
#include "platform/DynamicLibrary.h"

#include "platform/Error.h"
#include "platform/ErrorNumbers.h"
#include "platform/common/DynamicLibraryHooks.h"

namespace sys {

DynamicLibrary::~DynamicLibrary() = default;
DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept = default;
DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept = default;

bool DynamicLibrary::Load(const std::wstring& fullPath, bool keepLoadedForEver) {
  m_handle.Reset();
  m_error.clear();
  m_handle.Reset(detail::OpenLibrary(fullPath, keepLoadedForEver, m_error));
  return m_handle.IsValid();
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (!m_handle) {
    SetLastError(errnum::kErrorInvalidHandle);
    return nullptr;
  }
  return detail::FindSymbol(m_handle.Get(), name);
}

}  // namespace sys
