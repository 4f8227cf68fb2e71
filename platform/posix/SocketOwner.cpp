#include "platform/SocketOwner.h"

#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "platform/posix/UniqueFd.h"

namespace sys {
namespace {

// The system user the services run as, if the system has one.
std::optional<uid_t> ZolUser() {
  static const std::optional<uid_t> uid = [] () -> std::optional<uid_t> {
    passwd pw{};
    passwd* found = nullptr;
    char buf[4096];
    if (::getpwnam_r("zol", &pw, buf, sizeof buf, &found) != 0 || found == nullptr) return std::nullopt;
    return found->pw_uid;
  }();
  return uid;
}

bool Trusted(uid_t uid) { return uid == 0 || uid == ::geteuid() || (ZolUser() && *ZolUser() == uid); }

// What the kernel's socket diagnostics tell of a socket's owner.
struct DiagAnswer {
  bool answered = false;   // found, with an owner or known to keep none
  std::optional<uid_t> owner;
};

// The peer's socket asked of the kernel by its exact endpoints (sock_diag):
// cheap whatever the number of connections. Answered without an owner for
// TIME_WAIT (keeps none); not answered when not found or for a connection not
// accepted into a socket of its own yet (reported with owner 0).
DiagAnswer OwnerByDiag(const sockaddr_in& peer, const sockaddr_in& local) {
  DiagAnswer answer;
  const posix::UniqueFd diag(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!diag) return answer;
  const int fd = diag.Get();
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.request.sdiag_family = AF_INET;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  // The socket whose own end is our peer and whose other end is us.
  message.request.id.idiag_sport = peer.sin_port;
  message.request.id.idiag_dport = local.sin_port;
  message.request.id.idiag_src[0] = peer.sin_addr.s_addr;
  message.request.id.idiag_dst[0] = local.sin_addr.s_addr;
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  timeval limit{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  alignas(nlmsghdr) char buf[8192];
  if (::sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
      static_cast<ssize_t>(sizeof message)) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    const auto* h = reinterpret_cast<const nlmsghdr*>(buf);
    if (n > 0 && NLMSG_OK(h, static_cast<unsigned>(n)) && h->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
        h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
      const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
      if (m->idiag_timer == 3) {
        answer.answered = true;  // TIME_WAIT: /proc/net/tcp would not tell more
      } else if (m->idiag_state != TCP_SYN_RECV) {
        answer.answered = true;
        answer.owner = static_cast<uid_t>(m->idiag_uid);
      }
    }
  }
  return answer;
}

std::string ReadProcFile(const char* path) {
  std::string text;
  const posix::UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
  if (!file) return text;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(file.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  return text;
}

// /proc/net/tcp prints an endpoint as the address's 32 bits as stored (in
// network order) and the port as a number, both in upper-case hex.
std::string Endpoint(const sockaddr_in& sa) {
  char text[32];
  std::snprintf(text, sizeof text, "%08X:%04X", static_cast<unsigned>(sa.sin_addr.s_addr),
                static_cast<unsigned>(ntohs(sa.sin_port)));
  return text;
}

const char* NextField(const char* p) {
  while (*p != '\0' && *p != ' ' && *p != '\n') ++p;
  while (*p == ' ') ++p;
  return p;
}

}  // namespace

bool PeerOwnerTrusted(const Socket& connection) {
  const int fd = static_cast<int>(connection.Waitable().handle);
  sockaddr_storage name{};
  socklen_t len = sizeof name;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&name), &len) != 0) return false;
  if (name.ss_family == AF_UNIX) {
    // The credentials the peer had when it connected (or listened): kept
    // by the kernel for the connection's life, also after the peer closed.
    ucred cred{};
    len = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && Trusted(cred.uid);
  }
  if (name.ss_family != AF_INET) return false;
  sockaddr_in local{};
  std::memcpy(&local, &name, sizeof local);
  sockaddr_in peer{};
  len = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 || peer.sin_family != AF_INET) return false;
  const DiagAnswer diag = OwnerByDiag(peer, local);
  if (diag.answered) return diag.owner && Trusted(*diag.owner);
  // Not told that way: /proc/net/tcp names a not yet accepted connection
  // by its listener's owner.
  const std::string key = " " + Endpoint(peer) + " " + Endpoint(local) + " ";
  const std::string table = ReadProcFile("/proc/net/tcp");
  for (std::size_t at = table.find(key); at != std::string::npos; at = table.find(key, at + 1)) {
    // Then: st, tx_queue:rx_queue, tr:tm->when, retrnsmt, uid.
    const char* p = table.c_str() + at + key.size();
    p = NextField(p);                                        // tx:rx
    p = NextField(p);                                        // tr:when
    const bool timeWait = p[0] == '0' && p[1] == '3';        // timer 3: TIME_WAIT, no owner kept
    p = NextField(p);                                        // retrnsmt
    p = NextField(p);                                        // uid
    char* end = nullptr;
    const unsigned long uid = std::strtoul(p, &end, 10);
    if (end == p || timeWait) continue;
    return Trusted(static_cast<uid_t>(uid));
  }
  return false;
}

}  // namespace sys
