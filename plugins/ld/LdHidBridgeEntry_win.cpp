// The library's entry point on Windows: no per-thread attach and detach
// notifications are wanted, so they are switched off at load.
#include "platform/win32/WinHeaders.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
