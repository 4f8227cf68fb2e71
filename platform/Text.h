#pragma once
// Conversions at the platform boundary: wide text is UTF-16 on Windows and
// UTF-32 on Linux; file paths and XML text on Linux are UTF-8.
#include <string>

namespace sys {

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);  // invalid bytes become U+FFFD

}  // namespace sys
