// Tells whether this session can create windows (Wine without a display
// cannot), so the hidden-window test knows to skip.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

bool CanCreateWindows() {
  HWND w = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (!w) return false;
  DestroyWindow(w);
  return true;
}
