#include "common/log/ZolLog.h"

void LogMessage(DWORD, DWORD, const char*, ...) {}
void LogMessageW(DWORD, DWORD, const wchar_t*, ...) {}
void LogError(DWORD, DWORD, DWORD, const char*, ...) {}
void LogErrorW(DWORD, DWORD, DWORD, const wchar_t*, ...) {}
void LogHexDump(DWORD, DWORD, const void*, DWORD, const char*, ...) {}
