// The plug-in library's one export.
#include <new>

#include "plugins/msr/MsrUsbDevice.h"

extern "C" ZOL_PLUGIN_EXPORT IDevice* CreateDevice() { return new (std::nothrow) MsrUsbDevice(); }
