#pragma once
// Log levels: a smaller value is more severe; 0 is off.
#include "platform/WinTypes.h"

inline constexpr DWORD LEVEL_OFF = 0;
inline constexpr DWORD LEVEL_ERROR = 1;
inline constexpr DWORD LEVEL_WARNING = 2;
inline constexpr DWORD LEVEL_INFO = 3;
inline constexpr DWORD LEVEL_VERBOSE = 4;
inline constexpr DWORD LEVEL_TRACE = 5;
