#include "platform/SocketOwner.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

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

std::string ReadProcFile(const char* path) {
  std::string text;
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
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
  sockaddr_in local{};
  sockaddr_in peer{};
  socklen_t len = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0 || local.sin_family != AF_INET) return false;
  len = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 || peer.sin_family != AF_INET) return false;
  // The peer's socket is the one whose local end is our peer and whose
  // remote end is us.
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
