#include "plugins/ld/LdLog.h"

#include <atomic>
#include <cstdarg>

namespace {
std::atomic<ILogSink*> g_sink{nullptr};
}

void SetLdLogSink(ILogSink* sink) { g_sink.store(sink); }

void LdLog(DWORD level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogToSinkV(g_sink.load(), level, format, args);
  va_end(args);
}
