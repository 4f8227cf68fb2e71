#pragma once
// Where code built without the log client writes its lines (the display and
// stripe-reader cores, the HID device managers): the program hands it a sink
// that forwards to the log client, a test one that keeps the lines.
#include <cstdarg>

#include "common/log/LogLevels.h"
#include "platform/WinTypes.h"

class ILogSink {
 public:
  // Whether a line of this level would be kept; lets the caller skip formatting.
  virtual bool Wants(DWORD level) = 0;
  virtual void Write(DWORD level, const char* text) = 0;

 protected:
  ~ILogSink() = default;
};

// One printf-style line to sink; nothing when sink is null or does not want
// the level. Lines are cut at 511 characters.
void LogToSink(ILogSink* sink, DWORD level, const char* format, ...) __attribute__((format(printf, 3, 4)));
void LogToSinkV(ILogSink* sink, DWORD level, const char* format, va_list args) __attribute__((format(printf, 3, 0)));
