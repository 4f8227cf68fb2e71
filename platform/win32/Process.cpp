#include "platform/Process.h"

#include <vector>

#include "platform/win32/WinHeaders.h"

namespace sys {

std::optional<std::wstring> ExecutablePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::nullopt;
    // A full buffer means the path may have been cut: try a larger one.
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    if (buffer.size() >= 32768) {
      ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return std::nullopt;
    }
    buffer.resize(buffer.size() * 2);
  }
}

wchar_t PathSeparator() { return L'\\'; }

}  // namespace sys
