#include "vcom/Pty.h"

#include <poll.h>
#include <stdlib.h>
#include <termios.h>

namespace vcom {

void DropSlaveInput(int master) {
  termios tio{};
  ::tcflush(master, TCOFLUSH);
  if (::tcgetattr(master, &tio) == 0) ::tcsetattr(master, TCSAFLUSH, &tio);
}

bool ComSideClosed(int master) {
  pollfd p{master, POLLOUT, 0};
  return ::poll(&p, 1, 0) >= 0 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

int WatchSlave(int inotify, int master) {
  char slave[128];
  if (inotify < 0 || ::ptsname_r(master, slave, sizeof(slave)) != 0) return -1;
  return ::inotify_add_watch(inotify, slave, kSlaveEvents);
}

}  // namespace vcom
