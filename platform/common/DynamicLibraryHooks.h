#pragma once
// Internal: the primitives each platform gives common/DynamicLibrary.cpp.
#include <string>

namespace sys::detail {

// Loads the library at fullPath (pinned for the process when keepLoadedForEver).
// nullptr on failure, with the system error in LastError() and the loader's
// own words in error.
void* OpenLibrary(const std::wstring& fullPath, bool keepLoadedForEver, std::string& error);
// The export's address in a loaded library, or nullptr with the error in LastError().
void* FindSymbol(void* handle, const char* name);

}  // namespace sys::detail
