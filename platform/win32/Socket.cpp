// Winsock 2.2 behind platform/Socket.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "platform/Error.h"
#include "platform/Event.h"
#include "platform/Socket.h"

namespace sys {
namespace {

SOCKET S(std::intptr_t h) { return static_cast<SOCKET>(h); }
SOCKET S(const ScopedHandle<SocketHandleTraits>& h) { return S(h.Get()); }

void Fail() { SetLastError(static_cast<std::uint32_t>(::WSAGetLastError())); }

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(address);
  return sa;
}

}  // namespace

void IgnoreBrokenPipe() {}

SocketLibrary::SocketLibrary() {
  WSADATA data{};
  int rc = ::WSAStartup(MAKEWORD(2, 2), &data);
  if (rc != 0) {
    m_error = static_cast<std::uint32_t>(rc);
    return;
  }
  if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
    ::WSACleanup();
    m_error = WSAVERNOTSUPPORTED;
    return;
  }
  m_started = true;
}

SocketLibrary::~SocketLibrary() {
  if (m_started) ::WSACleanup();
}

void SocketHandleTraits::Close(Handle h) { ::closesocket(S(h)); }

void Socket::ShutdownBoth() {
  if (IsValid()) ::shutdown(S(m_handle), SD_BOTH);
}

Socket Socket::CreateTcp() {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    Fail();
    return Socket();
  }
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return Socket(static_cast<std::intptr_t>(s));
}

bool Socket::Bind(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa = MakeAddress(address, port);
  if (::bind(S(m_handle), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    Fail();
    return false;
  }
  return true;
}

bool Socket::Connect(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa = MakeAddress(address, port);
  if (::connect(S(m_handle), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    Fail();
    return false;
  }
  return true;
}

bool Socket::ConnectWithin(std::uint32_t address, std::uint16_t port, std::uint32_t timeoutMs) {
  u_long nonBlocking = 1;
  if (::ioctlsocket(S(m_handle), FIONBIO, &nonBlocking) != 0) {
    Fail();
    return false;
  }
  sockaddr_in sa = MakeAddress(address, port);
  int error = 0;
  if (::connect(S(m_handle), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      // Writable: connected; in the error set: refused or failed.
      fd_set writable;
      fd_set failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(S(m_handle), &writable);
      FD_SET(S(m_handle), &failed);
      timeval tv{static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
      int rc = ::select(0, nullptr, &writable, &failed, &tv);
      if (rc == SOCKET_ERROR) {
        error = ::WSAGetLastError();
      } else if (rc == 0) {
        error = WSAETIMEDOUT;
      } else if (FD_ISSET(S(m_handle), &failed)) {
        int len = sizeof error;
        if (::getsockopt(S(m_handle), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0 ||
            error == 0) {
          error = WSAECONNREFUSED;
        }
      } else {
        error = 0;
      }
    }
  }
  u_long blocking = 0;
  ::ioctlsocket(S(m_handle), FIONBIO, &blocking);
  if (error != 0) {
    SetLastError(static_cast<std::uint32_t>(error));
    return false;
  }
  return true;
}

bool Socket::Listen() {
  if (::listen(S(m_handle), SOMAXCONN) != 0) {
    Fail();
    return false;
  }
  return true;
}

Socket Socket::Accept() {
  SOCKET s = ::accept(S(m_handle), nullptr, nullptr);
  if (s == INVALID_SOCKET) {
    Fail();
    return Socket();
  }
  // A socket accepted from one in event-select mode inherits it: back to blocking.
  ::WSAEventSelect(s, nullptr, 0);
  u_long blocking = 0;
  ::ioctlsocket(s, FIONBIO, &blocking);
  return Socket(static_cast<std::intptr_t>(s));
}

long Socket::Send(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  std::size_t sent = 0;
  while (sent < size) {
    int chunk = size - sent > 0x40000000u ? 0x40000000 : static_cast<int>(size - sent);
    int n = ::send(S(m_handle), p + sent, chunk, 0);
    if (n == SOCKET_ERROR) {
      int e = ::WSAGetLastError();
      if ((e == WSAEWOULDBLOCK || e == WSAETIMEDOUT) && sent > 0) break;
      SetLastError(e == WSAETIMEDOUT ? kWsaEwouldblock : static_cast<std::uint32_t>(e));
      return -1;
    }
    sent += static_cast<std::size_t>(n);
  }
  return static_cast<long>(sent);
}

long Socket::Receive(void* data, std::size_t size) {
  for (;;) {
    int n = ::recv(S(m_handle), static_cast<char*>(data), static_cast<int>(size), 0);
    if (n != SOCKET_ERROR) return n;
    int e = ::WSAGetLastError();
    if (e == WSAEWOULDBLOCK) {
      // In event-select mode the socket is non-blocking: wait for it.
      fd_set set;
      FD_ZERO(&set);
      FD_SET(S(m_handle), &set);
      ::select(0, &set, nullptr, nullptr, nullptr);
      continue;
    }
    SetLastError(static_cast<std::uint32_t>(e));
    return -1;
  }
}

long Socket::ReceiveNow(void* data, std::size_t size) {
  // Readable without a wait means data, the peer's close or a reset: recv then
  // returns at once and tells which. Nothing buffered alone would not: a
  // closed connection has nothing buffered either, and its waits return at
  // once, so a caller that took it for "would block" would spin.
  fd_set set;
  FD_ZERO(&set);
  FD_SET(S(m_handle), &set);
  timeval now{0, 0};
  int rc = ::select(0, &set, nullptr, nullptr, &now);
  if (rc == SOCKET_ERROR) {
    Fail();
    return -1;
  }
  if (rc == 0) {
    SetLastError(kWsaEwouldblock);
    return -1;
  }
  return Receive(data, size);
}

bool Socket::SetSendTimeout(std::uint32_t ms) {
  DWORD v = ms;
  if (::setsockopt(S(m_handle), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&v), sizeof v) != 0) {
    Fail();
    return false;
  }
  return true;
}

std::uint16_t Socket::LocalPort() const {
  sockaddr_in sa{};
  int len = sizeof sa;
  if (::getsockname(S(m_handle), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    Fail();
    return 0;
  }
  return ntohs(sa.sin_port);
}

int Socket::WaitWritable(std::uint32_t timeoutMs) const {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(S(m_handle), &set);
  fd_set err;
  FD_ZERO(&err);
  FD_SET(S(m_handle), &err);
  timeval tv{static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
  int rc = ::select(0, nullptr, &set, &err, &tv);
  if (rc == SOCKET_ERROR) {
    Fail();
    return -1;
  }
  if (rc == 0) return 0;
  if (FD_ISSET(S(m_handle), &err)) {
    SetLastError(kWsaEconnreset);
    return -1;
  }
  return 1;
}

int Socket::WaitReadable(Event* wake, std::uint32_t timeoutMs) const {
  WSAEVENT ready = ::WSACreateEvent();
  if (ready == WSA_INVALID_EVENT) {
    Fail();
    return -1;
  }
  if (::WSAEventSelect(S(m_handle), ready, FD_READ | FD_ACCEPT | FD_CLOSE) != 0) {
    Fail();
    ::WSACloseEvent(ready);
    return -1;
  }
  HANDLE handles[2] = {ready, nullptr};
  DWORD count = 1;
  if (wake != nullptr) {
    handles[1] = reinterpret_cast<HANDLE>(wake->Waitable().handle);
    count = 2;
  }
  DWORD rc = ::WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
  ::WSAEventSelect(S(m_handle), nullptr, 0);
  ::WSACloseEvent(ready);
  u_long blocking = 0;
  ::ioctlsocket(S(m_handle), FIONBIO, &blocking);
  if (rc == WAIT_OBJECT_0) return 1;
  if (rc == WAIT_OBJECT_0 + 1) return 2;
  if (rc == WAIT_TIMEOUT) return 0;
  SetLastError(::GetLastError());
  return -1;
}

bool Socket::SetListenerReuse() {
  // No other socket may take the port while this one holds it.
  BOOL on = TRUE;
  if (::setsockopt(S(m_handle), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
    Fail();
    return false;
  }
  return true;
}

bool ResolveHostIPv4(const char* host, std::uint32_t& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  int rc = ::getaddrinfo(host, nullptr, &hints, &result);
  if (rc != 0 || result == nullptr) {
    SetLastError(static_cast<std::uint32_t>(rc ? rc : WSAHOST_NOT_FOUND));
    return false;
  }
  address = ntohl(reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr);
  ::freeaddrinfo(result);
  return true;
}

}  // namespace sys
