#include "drivers/hid/sim/SimSocket.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/Paths.h"
#include "platform/WinTypes.h"

namespace hidsim {

void Fd::Reset(int fd) {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = fd;
}

std::string DeviceFolder() {
  std::string path = sys::SysRootNarrow();
  path += "/run/zol/";
  path += kFolderName;
  return path;
}

bool MakeFolders(const std::string& path) {
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      const std::string part = path.substr(0, pos);
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string DevicePath(const std::string& name) { return DeviceFolder() + "/" + name; }

std::uint32_t Win32FromErrno(int err) {
  switch (err) {
    case ENOENT:
    case ECONNREFUSED:
    case ECONNRESET:
    case EPIPE:
    case ENOTCONN:
    case ENOTSOCK:
      return ERROR_DEVICE_NOT_CONNECTED;
    case EAGAIN:
      return ERROR_IO_PENDING;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
    case ENOBUFS:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EMSGSIZE:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_GEN_FAILURE;
  }
}

Fd ConnectDevice(const std::string& path, std::uint32_t* error, int timeoutMs) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return Fd();
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  Fd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) {
    *error = Win32FromErrno(errno);
    return Fd();
  }
  // A Unix socket's connect waits for room in the listener's backlog for as
  // long as the send timeout allows, then fails with EAGAIN.
  const timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  if (::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0) {
    *error = Win32FromErrno(errno);
    return Fd();
  }
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    const int err = errno;
    *error = err == EAGAIN || err == EINPROGRESS ? ERROR_TIMEOUT : Win32FromErrno(err);
    return Fd();
  }
  return fd;
}

bool SendMessage(int fd, const Bytes& message, bool nonBlocking, std::uint32_t* error) {
  const int flags = MSG_NOSIGNAL | (nonBlocking ? MSG_DONTWAIT : 0);
  for (;;) {
    const ssize_t n = ::send(fd, message.data(), message.size(), flags);
    if (n == static_cast<ssize_t>(message.size())) return true;
    if (n < 0 && errno == EINTR) continue;
    // A blocking send that ran out of its time limit.
    if (n < 0 && errno == EAGAIN && !nonBlocking) {
      *error = ERROR_TIMEOUT;
      return false;
    }
    *error = n < 0 ? Win32FromErrno(errno) : ERROR_WRITE_FAULT;
    return false;
  }
}

bool ReceiveMessage(int fd, Bytes* message, int timeoutMs, std::uint32_t* error) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, wait);
    if (r < 0) {
      if (errno == EINTR) continue;
      *error = Win32FromErrno(errno);
      return false;
    }
    if (r == 0) {
      *error = ERROR_TIMEOUT;
      return false;
    }
    WipeBytes(*message);
    message->resize(kMaxMessage);
    const ssize_t n = ::recv(fd, message->data(), message->size(), MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      *error = Win32FromErrno(errno);
      return false;
    }
    if (n == 0) {
      *error = ERROR_DEVICE_NOT_CONNECTED;
      return false;
    }
    message->resize(static_cast<std::size_t>(n));
    return true;
  }
}

bool Request(const std::string& path, const Bytes& request, MsgType expected, Bytes* replyPayload,
             int timeoutMs, std::uint32_t* error) {
  Fd fd = ConnectDevice(path, error);
  if (!fd.Valid()) return false;
  if (!SendMessage(fd.Get(), request, false, error)) return false;
  Bytes reply;
  const WipeOnExit wipe(reply);
  for (;;) {
    if (!ReceiveMessage(fd.Get(), &reply, timeoutMs, error)) return false;
    // Input reports cannot reach an unsubscribed connection; skip them anyway.
    if (reply[0] == static_cast<std::uint8_t>(MsgType::Input)) continue;
    break;
  }
  if (reply[0] == static_cast<std::uint8_t>(expected)) {
    WipeBytes(*replyPayload);
    replyPayload->assign(reply.begin() + 1, reply.end());
    return true;
  }
  if (reply[0] == static_cast<std::uint8_t>(MsgType::Error)) {
    const auto code = DecodeU32(reply.data() + 1, reply.size() - 1);
    *error = code ? *code : ERROR_INVALID_DATA;
    return false;
  }
  *error = ERROR_INVALID_DATA;
  return false;
}

}  // namespace hidsim
