#pragma once
// The handler for a fatal error (unhandled exception / fatal signal). It
// writes the crash file at the fixed CrashDump path and lets the process end.
// Linux: a text report with the signal, the fault address, the thread and a
// backtrace, in a folder of the service's own (made 0700 when missing; a
// folder others may write, or another user's, gets no report), created afresh
// with mode 0600. Windows: a minidump with the exception and the threads'
// stacks. Neither holds the process's memory (it may hold card data).
// A stack overflow is reported on any thread started with sys::StartThread
// (platform/Thread.h).
namespace sys {

void InstallCrashHandler();

// No core dump of this process (Linux: not dumpable); Windows: nothing to do.
void DisableCoreDumps();
// Whether a core dump of this process would be refused (Windows: always).
bool CoreDumpsDisabled();

}  // namespace sys
