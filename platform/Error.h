#pragma once
// The thread's last system error (Win32 numbers on both platforms) and the
// system's text for each code.
#include <cstdint>
#include <string>

namespace sys {

// GetLastError / SetLastError. On Linux the platform layer stores the
// translated errno here when one of its calls fails.
std::uint32_t LastError();
void SetLastError(std::uint32_t code);

// A system error as an HRESULT: 0x80070000 | (e & 0xFFFF) when e > 0, else e.
std::int32_t HresultFromWin32(std::uint32_t code);

// The system's text for a code, ending in CR LF (FormatMessage). An unknown
// code gives the empty string.
std::string ErrorText(std::uint32_t code);

}  // namespace sys
