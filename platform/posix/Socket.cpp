// BSD sockets behind platform/Socket.h. Errors are stored as Winsock numbers
// so portable code sees the same codes on both platforms.
#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <optional>

#include "platform/Error.h"

namespace sys {
namespace {

using namespace errnum;

std::uint32_t WsaFromErrno(int e) {
  switch (e) {
    case EINTR: return kWsaEintr;
    case EBADF: return kWsaEbadf;
    case EACCES: return kWsaEacces;
    case EFAULT: return kWsaEfault;
    case EINVAL: return kWsaEinval;
    case EMFILE:
    case ENFILE: return kWsaEmfile;
    case EAGAIN: return kWsaEwouldblock;
    case EINPROGRESS: return kWsaEinprogress;
    case EALREADY: return kWsaEalready;
    case ENOTSOCK: return kWsaEnotsock;
    case EMSGSIZE: return kWsaEmsgsize;
    case EPROTONOSUPPORT: return kWsaEprotonosupport;
    case EOPNOTSUPP: return kWsaEopnotsupp;
    case EAFNOSUPPORT: return kWsaEafnosupport;
    case EADDRINUSE: return kWsaEaddrinuse;
    case EADDRNOTAVAIL: return kWsaEaddrnotavail;
    case ENETDOWN: return kWsaEnetdown;
    case ENETUNREACH: return kWsaEnetunreach;
    case ECONNABORTED: return kWsaEconnaborted;
    case ECONNRESET: return kWsaEconnreset;
    case ENOBUFS:
    case ENOMEM: return kWsaEnobufs;
    case EISCONN: return kWsaEisconn;
    case ENOTCONN: return kWsaEnotconn;
    case EPIPE: return kWsaEshutdown;
    case ETIMEDOUT: return kWsaEtimedout;
    case ECONNREFUSED: return kWsaEconnrefused;
    case EHOSTUNREACH: return kWsaEhostunreach;
    case EPROTO: return kWsaEconnaborted;
    default: return kWsaEinval;
  }
}

void Fail(int e) { SetLastError(WsaFromErrno(e)); }

std::uint64_t TickCountMsNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(address);
  return sa;
}

// A new local stream socket and the address of path for it; -1 with the
// error set when the path does not fit or no socket could be made.
int NewLocalSocket(const std::string& path, sockaddr_un& sa) {
  sa = sockaddr_un{};
  sa.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof sa.sun_path) {
    SetLastError(kWsaEinval);
    return -1;
  }
  std::memcpy(sa.sun_path, path.data(), path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail(errno);
  return fd;
}

// The group the system's services share, if the system has one.
std::optional<gid_t> ZolGroup() {
  group gr{};
  group* found = nullptr;
  char buf[4096];
  if (::getgrnam_r("zol", &gr, buf, sizeof buf, &found) != 0 || found == nullptr) return std::nullopt;
  return found->gr_gid;
}

// Gives path the mode and, where the system has it, the group zol. A group
// that is not ours to give leaves it the owner's alone.
bool ForOwnerAndGroup(const std::string& path, mode_t mode) {
  if (::chmod(path.c_str(), mode) != 0) return false;
  if (auto gid = ZolGroup()) {
    if (::chown(path.c_str(), static_cast<uid_t>(-1), *gid) != 0) {
      // Not a member of the group.
    }
  }
  return true;
}

// Makes folder (mode 0750, group zol) and its missing parents (0755). An
// existing folder is left as it is (systemd may have made it).
bool MakeLocalFolder(const std::string& folder) {
  for (std::size_t slash = folder.find('/', 1); slash != std::string::npos; slash = folder.find('/', slash + 1)) {
    if (::mkdir(folder.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  if (::mkdir(folder.c_str(), 0750) != 0) return errno == EEXIST;
  ForOwnerAndGroup(folder, 0750);  // the umask may have taken bits
  return true;
}

}  // namespace

void IgnoreBrokenPipe() {
  static std::once_flag once;
  std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

SocketLibrary::SocketLibrary() : m_started(true) { IgnoreBrokenPipe(); }
SocketLibrary::~SocketLibrary() = default;

void SocketHandleTraits::Close(Handle h) { ::close(static_cast<int>(h)); }

void Socket::ShutdownBoth() {
  if (IsValid()) ::shutdown(static_cast<int>(m_handle.Get()), SHUT_RDWR);
}

Socket Socket::CreateTcp() {
  IgnoreBrokenPipe();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    Fail(errno);
    return Socket();
  }
  return Socket(fd);
}

bool Socket::Bind(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa = MakeAddress(address, port);
  if (::bind(static_cast<int>(m_handle.Get()), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    Fail(errno);
    return false;
  }
  return true;
}

bool Socket::Connect(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa = MakeAddress(address, port);
  int rc;
  do {
    rc = ::connect(static_cast<int>(m_handle.Get()), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    Fail(errno);
    return false;
  }
  return true;
}

bool Socket::ConnectWithin(std::uint32_t address, std::uint16_t port, std::uint32_t timeoutMs) {
  const int fd = static_cast<int>(m_handle.Get());
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    Fail(errno);
    return false;
  }
  sockaddr_in sa = MakeAddress(address, port);
  int error = 0;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    error = errno;
    if (error == EINPROGRESS || error == EINTR) {
      // The connection goes on in the background; writable means it ended.
      pollfd p{fd, POLLOUT, 0};
      const auto deadline = TickCountMsNow() + timeoutMs;
      int rc;
      for (;;) {
        const std::uint64_t now = TickCountMsNow();
        rc = now >= deadline ? 0 : ::poll(&p, 1, static_cast<int>(deadline - now));
        if (rc < 0 && errno == EINTR) continue;
        break;
      }
      if (rc < 0) {
        error = errno;
      } else if (rc == 0) {
        error = ETIMEDOUT;
      } else {
        socklen_t len = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
      }
    }
  }
  ::fcntl(fd, F_SETFL, flags);
  if (error != 0) {
    Fail(error);
    return false;
  }
  return true;
}

bool Socket::Listen() {
  if (::listen(static_cast<int>(m_handle.Get()), SOMAXCONN) != 0) {
    Fail(errno);
    return false;
  }
  return true;
}

Socket Socket::Accept() {
  int fd = ::accept4(static_cast<int>(m_handle.Get()), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    Fail(errno);
    return Socket();
  }
  return Socket(fd);
}

long Socket::Send(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  std::size_t sent = 0;
  // A blocking send returns early only on a signal or the send time-out.
  while (sent < size) {
    ssize_t n = ::send(static_cast<int>(m_handle.Get()), p + sent, size - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      if ((e == EAGAIN || e == EWOULDBLOCK) && sent > 0) break;
      Fail(e);
      return -1;
    }
    sent += static_cast<std::size_t>(n);
  }
  return static_cast<long>(sent);
}

long Socket::Receive(void* data, std::size_t size) {
  ssize_t n;
  do {
    n = ::recv(static_cast<int>(m_handle.Get()), data, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    Fail(errno);
    return -1;
  }
  return static_cast<long>(n);
}

long Socket::ReceiveNow(void* data, std::size_t size) {
  ssize_t n;
  do {
    n = ::recv(static_cast<int>(m_handle.Get()), data, size, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    Fail(errno);
    return -1;
  }
  return static_cast<long>(n);
}

bool Socket::SetSendTimeout(std::uint32_t ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  if (::setsockopt(static_cast<int>(m_handle.Get()), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
    Fail(errno);
    return false;
  }
  return true;
}

std::uint16_t Socket::LocalPort() const {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(static_cast<int>(m_handle.Get()), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    Fail(errno);
    return 0;
  }
  return ntohs(sa.sin_port);
}

int Socket::WaitWritable(std::uint32_t timeoutMs) const {
  pollfd p{static_cast<int>(m_handle.Get()), POLLOUT, 0};
  int timeout = timeoutMs > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(timeoutMs);
  for (;;) {
    int rc = ::poll(&p, 1, timeout);
    if (rc < 0 && errno == EINTR) continue;  // the bound restarts; a rare signal only lengthens it
    if (rc < 0) {
      Fail(errno);
      return -1;
    }
    if (rc == 0) return 0;
    if (p.revents & (POLLERR | POLLNVAL)) {
      Fail(p.revents & POLLNVAL ? EBADF : ECONNRESET);
      return -1;
    }
    return 1;
  }
}

int Socket::WaitReadable(Event* wake, std::uint32_t timeoutMs) const {
  pollfd p[2] = {{static_cast<int>(m_handle.Get()), POLLIN, 0}, {-1, POLLIN, 0}};
  nfds_t count = 1;
  if (wake != nullptr) {
    p[1].fd = static_cast<int>(wake->Waitable().handle);
    count = 2;
  }
  int timeout = timeoutMs > static_cast<std::uint32_t>(INT_MAX) ? -1 : static_cast<int>(timeoutMs);
  for (;;) {
    int rc = ::poll(p, count, timeout);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) {
      Fail(errno);
      return -1;
    }
    if (rc == 0) return 0;
    if (count == 2 && (p[1].revents & POLLIN)) return 2;
    return 1;  // data, a connection, the peer's close or an error: the next call tells
  }
}

bool Socket::SetListenerReuse() {
  int one = 1;
  if (::setsockopt(static_cast<int>(m_handle.Get()), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    Fail(errno);
    return false;
  }
  return true;
}

Socket Socket::ListenLocal(const std::string& path) {
  IgnoreBrokenPipe();
  const std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeLocalFolder(path.substr(0, slash))) {
    Fail(errno);
    return Socket();
  }
  const std::string temp = path + "." + std::to_string(::getpid()) + ".new";
  sockaddr_un sa{};
  Socket s(NewLocalSocket(temp, sa));
  if (!s.IsValid()) return Socket();
  const int fd = static_cast<int>(s.m_handle.Get());
  ::unlink(temp.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    Fail(errno);
    return Socket();
  }
  // Connecting takes write permission: the owner and the group, no one else.
  const bool ok = ForOwnerAndGroup(temp, 0660) && ::listen(fd, SOMAXCONN) == 0 &&
                  ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    const int e = errno;
    ::unlink(temp.c_str());
    Fail(e);
    return Socket();
  }
  return s;
}

Socket Socket::ConnectLocal(const std::string& path, std::uint32_t timeoutMs) {
  IgnoreBrokenPipe();
  sockaddr_un sa{};
  Socket s(NewLocalSocket(path, sa));
  if (!s.IsValid()) return Socket();
  const int fd = static_cast<int>(s.m_handle.Get());
  // A blocking connect waits for room in a full backlog as long as the send
  // time-out allows (a non-blocking one would give up at once).
  timeval tv{};
  tv.tv_sec = timeoutMs / 1000;
  tv.tv_usec = (timeoutMs % 1000) * 1000;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    const int e = errno;
    Fail(e == EAGAIN || e == EINPROGRESS ? ETIMEDOUT : e);
    return Socket();
  }
  tv = timeval{};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return s;
}

void Socket::RemoveLocal(const std::string& path) { ::unlink(path.c_str()); }

bool ResolveHostIPv4(const char* host, std::uint32_t& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  int rc = ::getaddrinfo(host, nullptr, &hints, &result);
  if (rc != 0 || result == nullptr) {
    SetLastError(rc == EAI_NONAME ? kWsaHostNotFound : kWsaTryAgain);
    return false;
  }
  address = ntohl(reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr);
  ::freeaddrinfo(result);
  return true;
}

}  // namespace sys
