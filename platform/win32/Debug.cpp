#include "platform/Debug.h"

#include "platform/Text.h"
#include "platform/win32/WinHeaders.h"

namespace sys {

void DebugOutput(const std::wstring& text) { OutputDebugStringW(text.c_str()); }

void DebugOutput(const std::string& text) { OutputDebugStringW(FromUtf8(text).c_str()); }

}  // namespace sys
