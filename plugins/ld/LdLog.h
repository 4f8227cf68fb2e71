#pragma once
// Log output of the line-display core (parser and emulation). The core is
// built without the log client so that it runs on its own in tests and fuzz
// targets; the plug-in installs a sink that forwards to the log client.
#include "platform/WinTypes.h"

class ILdLogSink {
 public:
  // Whether a line of this level would be kept; lets the core skip formatting.
  virtual bool Wants(DWORD level) = 0;
  virtual void Write(DWORD level, const char* text) = 0;

 protected:
  ~ILdLogSink() = default;
};

// The sink for the whole library; null (the default) drops every line.
void SetLdLogSink(ILdLogSink* sink);
ILdLogSink* GetLdLogSink();

// One log line under the line-display module, printf-style.
void LdLog(DWORD level, const char* format, ...) __attribute__((format(printf, 2, 3)));
