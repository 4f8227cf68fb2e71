#include "vcom/Handover.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/ErrorNumbers.h"
#include "vcom/Protocol.h"

namespace vcom {

using namespace sys::errnum;
using sys::posix::UniqueFd;

namespace {

// Room for the two descriptors of an opening: the kernel closes any more.
constexpr std::size_t kHandedOver = 2;

// One message of the reply, with room for the descriptors.
struct OpeningMessage {
  OpenReply reply{};
  alignas(cmsghdr) char control[CMSG_SPACE(kHandedOver * sizeof(int))] = {};
  iovec iov{&reply, sizeof(reply)};
  msghdr msg{};

  OpeningMessage() {
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
  }
};

}  // namespace

bool SendOpening(int connection, int master, int page) {
  OpeningMessage m;
  m.reply = {kMagic, 0};
  const int fds[kHandedOver] = {master, page};
  const std::size_t count = page >= 0 ? 2 : 1;
  m.msg.msg_controllen = CMSG_SPACE(count * sizeof(int));
  cmsghdr* c = CMSG_FIRSTHDR(&m.msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(count * sizeof(int));
  std::memcpy(CMSG_DATA(c), fds, count * sizeof(int));
  return ::sendmsg(connection, &m.msg, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof(m.reply));
}

void SendRefusal(int connection, std::uint32_t status) {
  const OpenReply reply{kMagic, status};
  ::send(connection, &reply, sizeof(reply), MSG_NOSIGNAL);
}

bool OpenInterface(const std::string& path, int answerLimitMs, Opening& out, Failure& why) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) {
    why = Failure::Status(kErrorInvalidParameter);
    return false;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd) {
    why = Failure::Errno(errno);
    return false;
  }
  // The send limit also bounds a connect to a backlog nobody takes from.
  timeval limit{answerLimitMs / 1000, (answerLimitMs % 1000) * 1000};
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    int e = errno;
    // A socket nobody listens on any more is an interface that is gone.
    why = e == EAGAIN ? Failure::Status(kErrorTimeout) : Failure::Errno(e == ECONNREFUSED ? ENOENT : e);
    return false;
  }
  OpeningMessage m;
  ssize_t got;
  do {
    got = ::recvmsg(fd.Get(), &m.msg, MSG_CMSG_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  bool timedOut = got < 0 && errno == EAGAIN;
  UniqueFd master, page;
  for (cmsghdr* c = CMSG_FIRSTHDR(&m.msg); got > 0 && c; c = CMSG_NXTHDR(&m.msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    std::size_t count = std::min<std::size_t>((c->cmsg_len - CMSG_LEN(0)) / sizeof(int), kHandedOver);
    int fds[kHandedOver] = {-1, -1};
    std::memcpy(fds, CMSG_DATA(c), count * sizeof(int));
    master.Reset(fds[0]);
    page.Reset(fds[1]);
  }
  const bool whole = got == static_cast<ssize_t>(sizeof(m.reply));
  if (!whole || m.reply.magic != kMagic || m.reply.status != 0 || !master) {
    std::uint32_t error = (whole && m.reply.status != 0) ? m.reply.status
                          : timedOut                     ? kErrorTimeout
                                                         : kErrorDeviceNotConnected;
    why = Failure::Status(error == 0 ? kErrorSharingViolation : error);
    return false;
  }
  ::fcntl(master.Get(), F_SETFL, ::fcntl(master.Get(), F_GETFL) | O_NONBLOCK);
  out = Opening{std::move(fd), std::move(master), std::move(page)};
  return true;
}

}  // namespace vcom
