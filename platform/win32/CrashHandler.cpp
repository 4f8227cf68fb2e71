// Unhandled exceptions write a minidump with the exception and the threads'
// stacks, never the full memory (it may hold card data).
#include "platform/win32/WinHeaders.h"
#include <dbghelp.h>

#include <string>

#include "platform/CrashHandler.h"
#include "platform/Paths.h"
#include "platform/Thread.h"

namespace sys {

namespace {

wchar_t g_path[MAX_PATH + 1];

struct DumpRequest {
  DWORD threadId;
  EXCEPTION_POINTERS* pointers;
};

DWORD WINAPI WriteDump(void* argument) {
  const DumpRequest* request = static_cast<const DumpRequest*>(argument);
  const win32::UniqueHandle file(
      ::CreateFileW(g_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.IsValid()) {
    MINIDUMP_EXCEPTION_INFORMATION info{};
    info.ThreadId = request->threadId;
    info.ExceptionPointers = request->pointers;
    info.ClientPointers = TRUE;
    ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file.Get(),
                        static_cast<MINIDUMP_TYPE>(MiniDumpNormal), &info, nullptr, nullptr);
  }
  return 0;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
  // The dump is written on a fresh thread: after a stack overflow the
  // faulting thread has too little stack left for the writer.
  DumpRequest request{::GetCurrentThreadId(), pointers};
  const win32::UniqueHandle writer(::CreateThread(nullptr, 0, WriteDump, &request, 0, nullptr));
  if (writer.IsValid()) {
    ::WaitForSingleObject(writer.Get(), INFINITE);
  } else {
    WriteDump(&request);
  }
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void InstallCrashHandler() {
  std::wstring path = GetFixedPath(FixedPath::CrashDump);
  path.copy(g_path, MAX_PATH);
  g_path[path.size() < MAX_PATH ? path.size() : MAX_PATH] = L'\0';
  ::SetUnhandledExceptionFilter(OnUnhandledException);
  static CrashStack mainThread;  // the main thread's share; other threads take theirs at start
}

void DisableCoreDumps() {}

bool CoreDumpsDisabled() { return true; }

}  // namespace sys
