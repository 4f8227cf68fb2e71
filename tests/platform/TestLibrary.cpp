// Loaded by full path by the library-loading tests.
#include "platform/PluginExport.h"

extern "C" ZOL_PLUGIN_EXPORT int ZolTestAdd(int a, int b) { return a + b; }

static int g_calls = 0;
extern "C" ZOL_PLUGIN_EXPORT int ZolTestCount() { return ++g_calls; }
