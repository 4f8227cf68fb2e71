#pragma once
// Who is at the other end of a loopback TCP or a local (Unix) connection.
// The log clients send only to a listener of a trusted user, and the logging
// service takes lines only from connections of trusted users: root, this
// process's effective user, and the system user "zol" where it exists.
//
// Linux, TCP: the peer's socket is looked up by the connection's two
// endpoints (socket diagnostics, else /proc/net/tcp, where a connection not
// accepted yet carries its listener's owner). A peer whose owner cannot be
// told (not found, or already closed and left in TIME_WAIT, which keeps no
// owner) is not trusted. Linux, local: the peer's credentials from the
// connection itself, kept after the peer closed.
// Windows has no cheap equivalent: every peer is trusted.
#include "platform/Socket.h"

namespace sys {

bool PeerOwnerTrusted(const Socket& connection);

}  // namespace sys
