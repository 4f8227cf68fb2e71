#include "common/log/LogSink.h"

#include <cstdio>

void LogToSinkV(ILogSink* sink, DWORD level, const char* format, va_list args) {
  if (sink == nullptr || !sink->Wants(level)) return;
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  sink->Write(level, text);
}

void LogToSink(ILogSink* sink, DWORD level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogToSinkV(sink, level, format, args);
  va_end(args);
}
