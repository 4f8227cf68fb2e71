// The connection to the logging service and the per-process client.
#include "common/log/LogClient.h"

#include <cwctype>

#include "common/log/LogEndpoint.h"
#include "common/log/ZolLog.h"
#include "platform/Error.h"
#include "platform/SecureZero.h"
#include "platform/SocketOwner.h"

namespace zollog {

namespace {

bool AllDigits(const std::wstring& v) {
  if (v.empty()) return false;
  for (wchar_t c : v) {
    if (c < L'0' || c > L'9') return false;
  }
  return true;
}

// The value of a string of digits, saturated so that long strings stay large.
std::uint64_t DigitsValue(const std::wstring& v) {
  std::uint64_t n = 0;
  for (wchar_t c : v) {
    n = n * 10 + static_cast<std::uint64_t>(c - L'0');
    if (n > 0xFFFFFFFFull) return 0xFFFFFFFFFull;
  }
  return n;
}

bool IsTrue(std::wstring v) {
  for (auto& c : v) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return v == L"true";
}

}  // namespace

LogSettings ParseLogSettings(const std::vector<std::pair<std::wstring, std::wstring>>& keys) {
  LogSettings s;
  for (const auto& [name, value] : keys) {
    if (name == L"Log_Level") {
      if (AllDigits(value) && DigitsValue(value) <= 5) s.level = static_cast<DWORD>(DigitsValue(value));
    } else if (name == L"TCP_Port") {
      if (AllDigits(value) && DigitsValue(value) <= 65535) s.tcpPort = static_cast<std::uint16_t>(DigitsValue(value));
    } else if (name == L"Module_Service") {
      if (!IsTrue(value)) s.moduleMask &= ~ZOL_SERVICE;
    } else if (name == L"Module_MSR") {
      if (!IsTrue(value)) s.moduleMask &= ~ZOL_MSRUSB;
    } else if (name == L"Module_LD") {
      if (!IsTrue(value)) s.moduleMask &= ~ZOL_LDUSB;
    }
  }
  return s;
}

bool Passes(const LogSettings& settings, DWORD module, DWORD level) {
  return level != 0 && level <= settings.level && (module & settings.moduleMask) != 0;
}

LogConnection::LogConnection(std::uint16_t port) : m_port(port) {}

int LogConnection::Connect() {
  if (!m_library.Started()) return kNotStarted;
  m_socket.Close();
  // The local endpoint first, where there is one: it loses no line of a
  // client that closes at once, and no other user can crowd it. A listener
  // there that is not the logging service's is passed over.
  if (const std::string local = LocalEndpoint(m_port); !local.empty()) {
    sys::Socket s = sys::Socket::ConnectLocal(local, kConnectWaitMs);
    if (s.IsValid() && sys::PeerOwnerTrusted(s)) {
      m_socket = std::move(s);
      return 0;
    }
    // The service is there but its backlog stayed full: TCP leads to the
    // same service, and the caller has waited its bound already.
    if (!s.IsValid() && sys::LastError() == sys::kWsaEtimedout) return kConnectFailed;
  }
  std::uint32_t address = 0;
  if (!sys::ResolveHostIPv4(m_host.c_str(), address)) return kResolveFailed;
  sys::Socket s = sys::Socket::CreateTcp();
  if (!s.IsValid()) return kSocketFailed;
  if (!s.Bind(sys::kAnyAddress, 0)) return kBindFailed;
  // Bounded: a listener that never completes the handshake (its backlog
  // full) must not hold every logging thread of the process.
  if (!s.ConnectWithin(address, m_port, kConnectWaitMs)) return kConnectFailed;
  // Card data and the rest go only to the logging service, never to a
  // listener another user put on the port.
  if (!sys::PeerOwnerTrusted(s)) return kListenerNotTrusted;
  m_socket = std::move(s);
  return 0;
}

int LogConnection::Send(const std::string& line, std::uint32_t writableWaitMs) {
  if (!m_library.Started()) return kNotStarted;
  if (!m_socket.IsValid()) return kNoSocket;
  int ready = m_socket.WaitWritable(writableWaitMs);
  if (ready == 0) return kSendTimeout;
  if (ready < 0) {
    m_socket.Close();
    return kWaitFailed;
  }
  // Writable means some room, not room for the whole line: the send itself
  // is bounded the same way, so the caller is never held much longer.
  m_socket.SetSendTimeout(writableWaitMs);
  long n = m_socket.Send(line.data(), line.size());
  if (n < 0) {
    bool timedOut = sys::LastError() == sys::kWsaEwouldblock;
    m_socket.Close();
    return timedOut ? kSendTimeout : kSendFailed;
  }
  return static_cast<int>(n);
}

LogClient::LogClient(const LogSettings& settings) : m_settings(settings) {}

int LogClient::SendRecord(const LogRecord& record) {
  std::lock_guard<std::mutex> lock(m_lock);
  std::string line = FormatLine(record);
  const int rc = SendLine(line);
  // A line may hold a masked card's text: it is not left in freed memory.
  sys::SecureZero(line.data(), line.size());
  return rc;
}

int LogClient::SendLine(const std::string& line) {
  if (!m_connection) {
    auto c = std::make_unique<LogConnection>(m_settings.tcpPort);
    int rc = c->Connect();
    if (rc != 0) return rc;  // the line is dropped
    m_connection = std::move(c);
  }
  int rc = m_connection->Send(line);
  if (rc != static_cast<int>(line.size())) m_connection.reset();
  return rc;
}

void LogClient::Disconnect() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_connection.reset();
}

bool LogClient::Connected() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_connection != nullptr;
}

}  // namespace zollog
