#include "plugins/ld/LdLog.h"

#include <atomic>
#include <cstdarg>

namespace {
std::atomic<ILogSink*> g_sink{nullptr};
}

void SetLdLogSink(ILogSink* sink) { g_sink.store(sink); }

void LdLog(DWORD level, const char* format, ...) {
  // Called for every byte the display parses: nothing more than this test
  // when no sink is installed.
  ILogSink* sink = g_sink.load(std::memory_order_acquire);
  if (sink == nullptr) return;
  va_list args;
  va_start(args, format);
  LogToSinkV(sink, level, format, args);
  va_end(args);
}
