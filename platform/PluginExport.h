#pragma once
// The attribute that makes a plug-in's entry point visible to the loader:
// dllexport on Windows, default visibility on ELF (everything else is hidden).
#if defined(_WIN32)
#define ZOL_PLUGIN_EXPORT __declspec(dllexport)
#else
#define ZOL_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif
