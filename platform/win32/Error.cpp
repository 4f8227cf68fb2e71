#include "platform/Error.h"

#include "platform/common/ErrorTexts.h"
#include "platform/win32/WinHeaders.h"

namespace sys {

std::uint32_t LastError() { return GetLastError(); }

void SetLastError(std::uint32_t code) { ::SetLastError(code); }

std::string ErrorText(std::uint32_t code) {
  char* buffer = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text;
  if (length > 0 && buffer) text.assign(buffer, length);
  if (buffer) LocalFree(buffer);
  if (text.empty()) {
    // A host whose message table lacks a code the system reports (Wine
    // lacks some of the socket codes) gets the usual wording.
    const char* known = detail::KnownErrorText(code);
    return known ? known : std::string();
  }
  // Some message tables lack the final line end that callers trim.
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text + "\r\n";
}

}  // namespace sys
