// Entry points of the log client.
#include "common/log/ZolLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "common/log/LogClient.h"
#include "platform/Error.h"
#include "platform/SecureZero.h"
#include "platform/Thread.h"
#include "platform/Time.h"

namespace {

using zollog::LogClient;

// Never destroyed: a thread may still log while the process exits.
std::recursive_mutex& EntryLock() {
  static auto* lock = new std::recursive_mutex;
  return *lock;
}

LogClient* g_client = nullptr;
bool g_gone = false;  // torn down at exit: nothing is logged after that

// The client's settings never change once read, so a line that cannot pass is
// refused without the entry lock that every thread of the process shares.
std::atomic<bool> g_filterKnown{false};
std::atomic<DWORD> g_filterLevel{0};
std::atomic<DWORD> g_filterMask{0};

bool RefusedWithoutLock(DWORD module, DWORD level) {
  if (!g_filterKnown.load(std::memory_order_acquire)) return false;
  zollog::LogSettings settings;
  settings.level = g_filterLevel.load(std::memory_order_relaxed);
  settings.moduleMask = g_filterMask.load(std::memory_order_relaxed);
  return !zollog::Passes(settings, module, level);
}

void TearDown() {
  std::lock_guard<std::recursive_mutex> lock(EntryLock());
  if (g_client == nullptr) return;
  // Lets the last lines leave the socket before it is closed.
  if (g_client->Connected()) sys::SleepMs(200);
  delete g_client;
  g_client = nullptr;
  g_gone = true;
}

zollog::LogRecord Record(DWORD module, DWORD level, std::string text) {
  zollog::LogRecord r;
  r.module = module;
  r.level = level;
  if (text.size() > zollog::kMaxMessage) text.resize(zollog::kMaxMessage);
  r.text = std::move(text);
  r.time = sys::NowLocal();
  r.threadId = sys::CurrentThreadId();
  r.processId = sys::CurrentProcessId();
  return r;
}

// Under the entry lock. module: the first message's, for the line that
// says the document could not be read.
LogClient* Client(DWORD module) {
  if (g_client == nullptr && !g_gone) {
    g_client = new LogClient(zollog::ReadLogSettings());
    std::atexit(TearDown);
    g_filterLevel.store(g_client->Settings().level, std::memory_order_relaxed);
    g_filterMask.store(g_client->Settings().moduleMask, std::memory_order_relaxed);
    g_filterKnown.store(true, std::memory_order_release);
    // Otherwise the log would go quiet without a word of why.
    if (g_client->Settings().documentUnreadable) {
      g_client->SendRecord(Record(module & ~LOG_CONTINUATION, LEVEL_ERROR,
                                  "LogClient::ReadConfiguration - ZolConfig.xml could not be read, every setting "
                                  "is at its default"));
    }
  }
  return g_client;
}

void LogText(DWORD module, DWORD level, std::string text) {
  LogClient* client = Client(module);
  if (client == nullptr) return;
  zollog::LogRecord r = Record(module, level, std::move(text));
  client->SendRecord(r);
  sys::SecureZero(r.text.data(), r.text.size());
}

bool Filter(DWORD module, DWORD level) {
  LogClient* client = Client(module);
  return client != nullptr && zollog::Passes(client->Settings(), module, level);
}

void LogErrorText(DWORD module, DWORD level, DWORD error, const std::string& message) {
  std::string system = sys::ErrorText(error);
  if (system.empty()) return;
  // The system's text ends in CR LF.
  system.resize(system.size() >= 2 ? system.size() - 2 : 0);
  char code[32];
  std::snprintf(code, sizeof code, " - (0x%x)", static_cast<unsigned>(error));
  LogText(module, level, message + code + system);
}

std::string Format(const char* fmt, va_list args) { return zollog::FormatMessageV(fmt, args); }
// The narrowed text is the message itself, never a format.
std::string Format(const wchar_t* fmt, va_list args) { return zollog::Narrow(zollog::FormatMessageWV(fmt, args)); }

// What every entry point does first: the filter, then under the entry lock
// the text, which `emit` sends on.
template <typename Char, typename Emit>
void Enter(DWORD module, DWORD level, const Char* fmt, va_list args, Emit emit) {
  if (RefusedWithoutLock(module, level)) return;
  std::lock_guard<std::recursive_mutex> lock(EntryLock());
  if (!Filter(module, level)) return;
  emit(Format(fmt, args));
}

}  // namespace

bool LogWanted(DWORD module, DWORD level) {
  if (RefusedWithoutLock(module, level)) return false;
  std::lock_guard<std::recursive_mutex> lock(EntryLock());
  return Filter(module, level);
}

void LogMessage(DWORD module, DWORD level, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Enter(module, level, fmt, args, [&](std::string text) { LogText(module, level, std::move(text)); });
  va_end(args);
}

void LogMessageW(DWORD module, DWORD level, const wchar_t* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Enter(module, level, fmt, args, [&](std::string text) { LogText(module, level, std::move(text)); });
  va_end(args);
}

void LogError(DWORD module, DWORD level, DWORD error, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Enter(module, level, fmt, args, [&](std::string text) { LogErrorText(module, level, error, text); });
  va_end(args);
}

void LogErrorW(DWORD module, DWORD level, DWORD error, const wchar_t* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Enter(module, level, fmt, args, [&](std::string text) { LogErrorText(module, level, error, text); });
  va_end(args);
}

void LogHexDump(DWORD module, DWORD level, const void* data, DWORD length, const char* fmt, ...) {
  if (length == 0 || data == nullptr) return;
  va_list args;
  va_start(args, fmt);
  // The entry lock is held for the whole dump, so its lines stay together
  // on the connection.
  Enter(module, level, fmt, args, [&](std::string title) {
    LogMessage(module & ~LOG_CONTINUATION, level, "%s (%d bytes)", title.c_str(), static_cast<int>(length));
    for (const std::string& line : zollog::HexDumpLines(static_cast<const unsigned char*>(data), length)) {
      LogMessage(module | LOG_CONTINUATION, level, "%s", line.c_str());
    }
  });
  va_end(args);
}
