#pragma once
// Internal to the Win32 backend: the SetupAPI walk over the present
// interfaces of one device-interface class (HID, the virtual serial driver).
#include <functional>

#include "platform/win32/WinHeaders.h"

namespace sys::win32 {

enum class InterfaceWalk {
  Done,        // every interface was seen (GetLastError() is ERROR_NO_MORE_ITEMS)
  NoSet,       // the interface set could not be made (SetupDiGetClassDevs)
  EnumFailed,  // the walk stopped with another error
};
// Where the path of one interface could not be had.
enum class InterfaceSkip { DetailSize, Detail };

// Calls onPath with each interface's path in member-index order; an
// interface whose path cannot be read is passed over after onSkip (the
// stage and the system error). NoSet and EnumFailed leave their error in
// GetLastError().
InterfaceWalk WalkDeviceInterfaces(const GUID& guid, const std::function<void(const wchar_t*)>& onPath,
                                   const std::function<void(InterfaceSkip, DWORD)>& onSkip);

}  // namespace sys::win32
