#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

#include "platform/Error.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "platform/common/DynamicLibraryHooks.h"
#include "platform/posix/PosixError.h"

namespace sys {

void LibraryHandleTraits::Close(Handle h) { dlclose(h); }

namespace detail {

void* OpenLibrary(const std::wstring& fullPath, bool keepLoadedForEver, std::string& error) {
  const int flags = RTLD_NOW | RTLD_LOCAL | (keepLoadedForEver ? RTLD_NODELETE : 0);
  void* handle = dlopen(ToUtf8(fullPath).c_str(), flags);
  if (!handle) {
    const char* why = dlerror();
    error = why ? why : "dlopen failed";
    SetLastError(posix::kErrorModNotFound);
  }
  return handle;
}

void* FindSymbol(void* handle, const char* name) {
  if (!name) {
    SetLastError(posix::kErrorProcNotFound);
    return nullptr;
  }
  dlerror();
  void* address = dlsym(handle, name);
  if (!address) SetLastError(posix::kErrorProcNotFound);
  return address;
}

}  // namespace detail

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
