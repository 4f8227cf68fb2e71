#pragma once
// Debugger output (OutputDebugString): one line on standard error on Linux.
#include <string>

namespace sys {

void DebugOutput(const std::wstring& text);
void DebugOutput(const std::string& text);

}  // namespace sys
