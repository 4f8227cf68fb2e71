#pragma once
// Internal to the POSIX backend: errno as the system's Win32 error numbers.
// Every posix/*.cpp that reports a failure calls SetLastErrorFromErrno(errno)
// right after the failing call.
#include <cstdint>

#include "platform/ErrorNumbers.h"

namespace sys::posix {

// The Win32 number for an errno value (ERROR_GEN_FAILURE when none fits).
std::uint32_t Win32FromErrno(int error);
// Stores Win32FromErrno(error) as the thread's last error; returns it.
std::uint32_t SetLastErrorFromErrno(int error);

// The Win32 numbers, as posix::kError... here and unqualified in this namespace.
using namespace errnum;

}  // namespace sys::posix
