#pragma once
// How the library says what went wrong without the platform layer above it:
// a Win32 status (the protocol's own answers are Win32 numbers), or the errno
// of a failed call, which the caller translates.
#include <cstdint>

namespace vcom {

struct Failure {
  std::uint32_t status = 0;  // a Win32 error, when errnum is 0
  int errnum = 0;

  static Failure Status(std::uint32_t s) { return {s, 0}; }
  static Failure Errno(int e) { return {0, e}; }
};

}  // namespace vcom
