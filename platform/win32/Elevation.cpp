#include "platform/win32/WinHeaders.h"

#include "platform/Elevation.h"

namespace sys {

bool IsElevated(const std::wstring&) {
  win32::UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = sizeof elevation;
  BOOL ok = GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof elevation, &size);
  return ok && elevation.TokenIsElevated != 0;
}

}  // namespace sys
