#pragma once
// The handler for a fatal error (unhandled exception / fatal signal). It
// writes the crash file at the fixed CrashDump path and lets the process end.
// Linux: a text report with the signal, the fault address, the thread and a
// backtrace. Windows: a minidump with the exception and the threads' stacks.
// Neither holds the process's memory (it may hold card data).
namespace sys {

void InstallCrashHandler();

}  // namespace sys
