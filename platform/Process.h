#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace sys {

// The full path of the running process's executable (GetModuleFileNameW(NULL)).
// No value when the system cannot give it; the error is in sys::LastError().
std::optional<std::wstring> ExecutablePath();

// The separator between a folder and a name: '\' on Windows, '/' on Linux.
wchar_t PathSeparator();

}  // namespace sys
