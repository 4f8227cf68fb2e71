// Unhandled exceptions write a minidump with the exception and the threads'
// stacks, never the full memory (it may hold card data).
#include "platform/win32/WinHeaders.h"
#include <dbghelp.h>

#include <string>

#include "platform/CrashHandler.h"
#include "platform/Paths.h"

namespace sys {

namespace {

wchar_t g_path[MAX_PATH + 1];

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
  HANDLE file = ::CreateFileW(g_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    MINIDUMP_EXCEPTION_INFORMATION info{};
    info.ThreadId = ::GetCurrentThreadId();
    info.ExceptionPointers = pointers;
    info.ClientPointers = TRUE;
    ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file,
                        static_cast<MINIDUMP_TYPE>(MiniDumpNormal), &info, nullptr, nullptr);
    ::CloseHandle(file);
  }
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void InstallCrashHandler() {
  std::wstring path = GetFixedPath(FixedPath::CrashDump);
  path.copy(g_path, MAX_PATH);
  g_path[path.size() < MAX_PATH ? path.size() : MAX_PATH] = L'\0';
  ::SetUnhandledExceptionFilter(OnUnhandledException);
}

}  // namespace sys
