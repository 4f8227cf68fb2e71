#pragma once
// What vcomd and its opener both do to a pty master.
#include <termios.h>

namespace vcom {

// Drops what the slave holds unread: the master's own output still on the way,
// and the slave's input through a termios call with flush (applied to the
// slave, as termios calls on a master are).
inline void DropSlaveInput(int master) {
  termios tio{};
  ::tcflush(master, TCOFLUSH);
  if (::tcgetattr(master, &tio) == 0) ::tcsetattr(master, TCSAFLUSH, &tio);
}

}  // namespace vcom
