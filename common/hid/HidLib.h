#pragma once
// Run-time binding of the system HID library, once per plug-in library.
// Windows: "hid.dll" and its eleven functions; Linux: the HID provider named by
// ZOL_HID_PROVIDER (default ZolHidRaw.so), loaded by full path from the folder
// of the plug-in library. The bound functions are reached through platform/Hid.h.

class HidLib {
 public:
  // true when the library is bound; a second call after success loads nothing.
  static bool Initialize();
  // Unloads the library if it is loaded (the manager's termination).
  static void Terminate();
  static bool IsLoaded();
};
