#pragma once
// The log client: filters each message by level and module, formats it into
// one text line and sends it to the logging service over a local TCP
// connection. No entry point reports a failure to its caller.
//
// "%ws" in a format (narrow or wide) takes a wide string argument on every
// platform. The narrow entry points are checked as printf formats, where
// "%ls" is the wide string that both the checker and the client know.
#include "common/log/LogLevels.h"
#include "platform/WinTypes.h"

// printf-format checking of a narrow entry point (the format's argument
// position, then the first variadic one). The build names the archetype.
#define ZOL_PRINTF_FORMAT(fmtIndex, firstArg) __attribute__((format(ZOL_PRINTF_ARCHETYPE, fmtIndex, firstArg)))

// Module bits (the module argument is a mask).
inline constexpr DWORD ZOL_DRIVER = 1;
inline constexpr DWORD ZOL_SERVICE = 2;
inline constexpr DWORD ZOL_IOBUS = 4;
inline constexpr DWORD ZOL_MSRUSB = 8;
inline constexpr DWORD ZOL_CDUSB = 16;
inline constexpr DWORD ZOL_LDUSB = 32;
// Not a module: selects the continuation form of the line.
inline constexpr DWORD LOG_CONTINUATION = 0x80000000u;


// True when a line of this module and level would be logged: text that holds
// card data, even masked, is made only then.
bool LogWanted(DWORD module, DWORD level);
void LogMessage(DWORD module, DWORD level, const char* fmt, ...) ZOL_PRINTF_FORMAT(3, 4);
void LogMessageW(DWORD module, DWORD level, const wchar_t* fmt, ...);
// Appends " - (0x<error>)" and the system's text for error; nothing is logged
// when the system has no text for it.
void LogError(DWORD module, DWORD level, DWORD error, const char* fmt, ...) ZOL_PRINTF_FORMAT(4, 5);
void LogErrorW(DWORD module, DWORD level, DWORD error, const wchar_t* fmt, ...);
// A title line "<title> (<n> bytes)" then the bytes as numbered dump lines in
// continuation form; nothing at all for length 0.
void LogHexDump(DWORD module, DWORD level, const void* data, DWORD length, const char* fmt, ...)
    ZOL_PRINTF_FORMAT(5, 6);
