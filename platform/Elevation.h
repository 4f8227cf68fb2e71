#pragma once
#include <string>

namespace sys {

// Whether this process may change the system's settings: on Windows its token
// is elevated; on Linux the effective user is root or can write the
// configuration document at documentPath (its folder when it does not exist).
bool IsElevated(const std::wstring& documentPath);

}  // namespace sys
