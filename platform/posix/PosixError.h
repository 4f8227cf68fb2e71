#pragma once
// Internal to the POSIX backend: errno as the system's Win32 error numbers.
// Every posix/*.cpp that reports a failure calls SetLastErrorFromErrno(errno)
// right after the failing call.
#include <cstdint>

namespace sys::posix {

// The Win32 number for an errno value (ERROR_GEN_FAILURE when none fits).
std::uint32_t Win32FromErrno(int error);
// Stores Win32FromErrno(error) as the thread's last error; returns it.
std::uint32_t SetLastErrorFromErrno(int error);

// The Win32 numbers the POSIX backend uses, without including WinTypes.h.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorInvalidData = 13;
inline constexpr std::uint32_t kErrorGenFailure = 31;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorModNotFound = 126;
inline constexpr std::uint32_t kErrorProcNotFound = 127;
inline constexpr std::uint32_t kErrorBadDb = 1009;

}  // namespace sys::posix
