// A library that looks like a plug-in but exports no CreateDevice.
#include "platform/PluginExport.h"

extern "C" ZOL_PLUGIN_EXPORT int NotCreateDevice() { return 0; }
