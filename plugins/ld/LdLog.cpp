#include "plugins/ld/LdLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {
std::atomic<ILdLogSink*> g_sink{nullptr};
}

void SetLdLogSink(ILdLogSink* sink) { g_sink.store(sink); }

ILdLogSink* GetLdLogSink() { return g_sink.load(); }

void LdLog(DWORD level, const char* format, ...) {
  ILdLogSink* sink = g_sink.load();
  if (sink == nullptr || !sink->Wants(level)) return;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  sink->Write(level, text);
}
