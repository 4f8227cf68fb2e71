#pragma once
// Log output of the line-display core (parser and emulation). The core is
// built without the log client so that it runs on its own in tests and fuzz
// targets; the plug-in installs a sink that forwards to the log client.
#include "common/log/LogSink.h"
#include "platform/WinTypes.h"

// The sink for the whole library; null (the default) drops every line.
void SetLdLogSink(ILogSink* sink);

// One log line under the line-display module, printf-style.
void LdLog(DWORD level, const char* format, ...) __attribute__((format(printf, 2, 3)));
