#pragma once
// Internals of the log client: the line format, the filter settings, the
// connection to the logging service and the per-process client.
#include <cstdint>
#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Socket.h"
#include "platform/Time.h"
#include "platform/WinTypes.h"

namespace zollog {

inline constexpr std::uint16_t kDefaultTcpPort = 38674;
inline constexpr std::size_t kMaxMessage = 1023;
// The most a connection attempt waits for the handshake.
inline constexpr std::uint32_t kConnectWaitMs = 3000;

struct LogRecord {
  DWORD module = 0;  // with LOG_CONTINUATION when a continuation line
  DWORD level = 0;
  std::string text;
  sys::LocalTime time{};
  std::uint32_t threadId = 0;
  std::uint32_t processId = 0;
};

// "LEVEL_INFO    " etc. (14 characters), empty outside 1..5.
const char* LevelName(DWORD level);
// "ZOL_MSRUSB     " etc. (15 characters), empty unless exactly one known bit.
const char* ModuleName(DWORD module);

// The bytes of one line, CR LF included.
std::string FormatLine(const LogRecord& record);

// The dump lines (without CR LF) for the bytes, in the order they are logged.
std::vector<std::string> HexDumpLines(const unsigned char* data, std::size_t length);

// printf-style formatting with the system's conversions: "%ws" / "%S" take a
// wide string in a narrow format, "%s" a wide one and "%hs" / "%S" a narrow
// one in a wide format (the same for "c"). The result is cut to kMaxMessage
// characters. Text is never converted through the C library's locale: a wide
// argument in a narrow format keeps the low byte of each unit, a narrow one
// in a wide format widens each byte, so no character can fail a message.
std::string FormatMessageV(const char* fmt, va_list args);
std::wstring FormatMessageWV(const wchar_t* fmt, va_list args);
// Each wide unit narrowed to its low byte.
std::string Narrow(const std::wstring& text);

struct LogSettings {
  DWORD level = 0;
  DWORD moduleMask = 0xFFFFFFFFu;
  std::uint16_t tcpPort = kDefaultTcpPort;
  // The document is there but could not be read: the defaults stand, and
  // the client says so in one line that no filter holds back.
  bool documentUnreadable = false;
};

// Applies the keys of the first Logging_Configuration section, in document
// order, to the defaults.
LogSettings ParseLogSettings(const std::vector<std::pair<std::wstring, std::wstring>>& keys);
// Reads the document at path (by the location rule when empty); defaults
// when it does not load. Writes the client's debug-output lines.
LogSettings ReadLogSettings();

// A message passes when its level is not 0, not above the configured level,
// and the module shares a bit with the mask.
bool Passes(const LogSettings& settings, DWORD module, DWORD level);

// Results of the connection steps.
enum : int {
  kNotStarted = -1,
  kResolveFailed = -2,
  kSocketFailed = -3,
  kBindFailed = -4,
  kConnectFailed = -5,
  kNoSocket = -6,
  kSendFailed = -7,
  kListenerNotTrusted = -8,
  kSendTimeout = -11,
  kWaitFailed = -12,
};

class LogConnection {
 public:
  explicit LogConnection(std::uint16_t port);
  LogConnection(const LogConnection&) = delete;
  LogConnection& operator=(const LogConnection&) = delete;

  // 0 or one of the negative results.
  int Connect();
  // The line's length, or one of the negative results.
  int Send(const std::string& line, std::uint32_t writableWaitMs = 3000);

 private:
  std::string m_host = "localhost";
  std::uint16_t m_port;
  sys::SocketLibrary m_library;
  sys::Socket m_socket;
};

class LogClient {
 public:
  explicit LogClient(const LogSettings& settings);
  const LogSettings& Settings() const { return m_settings; }
  // Formats and sends under the client's lock; returns the line's length or
  // the failed step's negative result.
  int SendRecord(const LogRecord& record);
  // Closes the connection, if any.
  void Disconnect();
  bool Connected();

 private:
  int SendLine(const std::string& line);

  LogSettings m_settings;
  std::mutex m_lock;
  std::unique_ptr<LogConnection> m_connection;
};

}  // namespace zollog
