#pragma once
// TCP sockets over IPv4 (Winsock 2.2 / BSD sockets). Errors are the Winsock
// numbers on both platforms (WSAECONNREFUSED 10061, WSAEADDRINUSE 10048, ...),
// stored in sys::LastError() and returned where a call says so.
// Sends never raise SIGPIPE: a peer that went away is an error code.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ErrorNumbers.h"
#include "platform/Event.h"
#include "platform/ScopedHandle.h"

namespace sys {

// The Winsock numbers this interface names in its contracts.
using errnum::kWsaEintr;
using errnum::kWsaEmfile;
using errnum::kWsaEwouldblock;
using errnum::kWsaEaddrinuse;
using errnum::kWsaEconnaborted;
using errnum::kWsaEconnreset;
using errnum::kWsaEnobufs;
using errnum::kWsaEtimedout;
using errnum::kWsaEconnrefused;

// WSAStartup(2.2) / WSACleanup; nothing to do on Linux.
class SocketLibrary {
 public:
  SocketLibrary();
  ~SocketLibrary();
  SocketLibrary(const SocketLibrary&) = delete;
  SocketLibrary& operator=(const SocketLibrary&) = delete;
  // Version 2.2 was granted.
  bool Started() const { return m_started; }
  std::uint32_t Error() const { return m_error; }

 private:
  bool m_started = false;
  std::uint32_t m_error = 0;
};

// A socket's handle: closed by close() / closesocket().
struct SocketHandleTraits {
  using Handle = std::intptr_t;
  static constexpr Handle Invalid() { return -1; }  // INVALID_SOCKET as well
  static void Close(Handle h);
};

// One socket; closed by the destructor.
class Socket {
 public:
  Socket() = default;

  bool IsValid() const { return m_handle.IsValid(); }
  void Close() { m_handle.Reset(); }
  // shutdown() in both directions: wakes a thread blocked on the socket.
  void ShutdownBoth();
  NativeWaitable Waitable(bool forWrite = false) const;

  // An IPv4 stream socket with protocol TCP.
  static Socket CreateTcp();
  // bind() to an IPv4 address (host byte order) and port.
  bool Bind(std::uint32_t address, std::uint16_t port);
  bool Connect(std::uint32_t address, std::uint16_t port);
  // As Connect, but gives up after timeoutMs (kWsaEtimedout): a listener that
  // never completes the handshake cannot hold the caller longer. The socket is
  // blocking again afterwards.
  bool ConnectWithin(std::uint32_t address, std::uint16_t port, std::uint32_t timeoutMs);
  // listen() with the largest backlog the system allows.
  bool Listen();
  // The next connection, or an invalid socket with the error in LastError().
  Socket Accept();
  // Bytes sent (possibly fewer than size after the send time-out), or -1.
  long Send(const void* data, std::size_t size);
  // Bytes received, 0 when the peer closed, or -1.
  long Receive(void* data, std::size_t size);
  // As Receive, but never blocks: -1 with kWsaEwouldblock when nothing waits.
  long ReceiveNow(void* data, std::size_t size);
  // A send that blocks longer than ms fails or returns what was sent.
  bool SetSendTimeout(std::uint32_t ms);
  // The local port (after bind), 0 on failure.
  std::uint16_t LocalPort() const;

  // 1 writable, 0 time-out, -1 failure (error in LastError()).
  int WaitWritable(std::uint32_t timeoutMs) const;
  // Waits until the socket has data, a connection to accept or the peer's
  // close (1), the wake event is set (2), or timeoutMs passes (0); -1 failure.
  int WaitReadable(Event* wake, std::uint32_t timeoutMs) const;
  // For a listener: a restarted server can bind its port again at once, and
  // (Windows) no other socket can bind it while this one has it.
  bool SetListenerReuse();

  // Local (Unix) stream sockets, Linux only: on Windows each call fails with
  // WSAEAFNOSUPPORT.
  // A listener at path, with the largest backlog: bound and listening under a
  // temporary name, given mode 0660 and the group "zol" where it exists, then
  // renamed into place (over a stale one). A missing folder is made with
  // mode 0750 (its parent 0755), with the group "zol" as well.
  static Socket ListenLocal(const std::string& path);
  // Connected to the listener at path; a full backlog is waited for at most
  // timeoutMs (kWsaEtimedout).
  static Socket ConnectLocal(const std::string& path, std::uint32_t timeoutMs);
  // Removes the name a local listener was given.
  static void RemoveLocal(const std::string& path);

 private:
  explicit Socket(std::intptr_t handle) : m_handle(handle) {}
  ScopedHandle<SocketHandleTraits> m_handle;
};

inline constexpr std::uint32_t kLoopbackAddress = 0x7F000001u;  // 127.0.0.1
inline constexpr std::uint32_t kAnyAddress = 0;

// The first IPv4 address of a host name (host byte order); false on failure
// with the error in LastError().
bool ResolveHostIPv4(const char* host, std::uint32_t& address);

// An accept failure after which accepting can go on (too many open files,
// a connection aborted before it was accepted, an interrupted call, ...).
bool IsTransientAcceptError(std::uint32_t error);

// SIGPIPE ignored process-wide (nothing on Windows). Called by every program
// and by the socket calls themselves.
void IgnoreBrokenPipe();

}  // namespace sys
