#pragma once
// Internal to the POSIX backend: the owner of a file descriptor.
#include <unistd.h>

#include "platform/ScopedHandle.h"

namespace sys::posix {

struct FdTraits {
  using Handle = int;
  static constexpr Handle Invalid() { return -1; }
  static bool IsValid(Handle fd) { return fd >= 0; }
  static void Close(Handle fd) { ::close(fd); }
};

using UniqueFd = ScopedHandle<FdTraits>;

}  // namespace sys::posix
