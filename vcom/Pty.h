#pragma once
// What vcomd and its opener both do to a pty master and its slave.
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>

namespace vcom {

// Drops what the slave holds unread: the master's own output still on the way,
// and the slave's input through a termios call with flush (applied to the
// slave, as termios calls on a master are).
void DropSlaveInput(int master);

// The application's side is closed (or was never opened since the last close).
bool ComSideClosed(int master);

// The application's opens and closes of the master's slave, watched on the
// inotify descriptor; the watch, or -1.
inline constexpr std::uint32_t kSlaveEvents = IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE;
int WatchSlave(int inotify, int master);

// Reads the inotify descriptor until it is empty, each event to
// take(wd, mask).
template <class Take>
void ReadEvents(int inotify, Take take) {
  alignas(inotify_event) char buf[4096];
  ssize_t got;
  while ((got = ::read(inotify, buf, sizeof(buf))) > 0) {
    for (ssize_t off = 0; off < got;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
      take(ev->wd, ev->mask);
      off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
  }
}

}  // namespace vcom
