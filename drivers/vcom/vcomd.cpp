// vcomd: the virtual serial driver on Linux. Each COM<n> is a pty pair: the
// application opens the slave through /dev/ttyZOL<n>, the port service opens
// the interface socket ZOL_COM<n> and receives the master. One poll loop
// serves every socket; nothing here blocks.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "drivers/vcom/VcomArgs.h"
#include "drivers/vcom/VcomControl.h"
#include "platform/ErrorNumbers.h"
#include "platform/Paths.h"
#include "platform/posix/UniqueFd.h"
#include "vcom/Handover.h"
#include "vcom/Interfaces.h"
#include "vcom/KernelDevice.h"
#include "vcom/Protocol.h"
#include "vcom/Pty.h"
#include "vcom/Requests.h"
#include "vcom/StatePage.h"

namespace {

using sys::errnum::kErrorSharingViolation;
using Fd = sys::posix::UniqueFd;

bool MakeDirs(const std::string& path) {
  std::string partial;
  std::stringstream ss(path);
  std::string part;
  if (!path.empty() && path[0] == '/') partial = "";
  while (std::getline(ss, part, '/')) {
    if (part.empty()) continue;
    partial += "/" + part;
    if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

struct Port {
  unsigned n = 0;
  Fd master;
  std::string slavePath;
  std::string linkPath;
  std::string socketPath;
  Fd listener;
  Fd opener;  // the one connection that has the interface open
  int watch = -1;
  vcom::StatePage page;  // what openers read of ctlHold and closeSeen
  bool rcvrdy = false;
  bool ctlHold = false;
  // Application openings of the slave that are still open (inotify events).
  int appOpen = 0;
  // Our own descriptor of the slave while an application has it open: it
  // holds the exclusive flag, which a pty slave keeps after its last close,
  // so it is also how the flag comes off. Its opens and closes are counted
  // here so that their events are not taken for an application's (it opens
  // read-only: its close does not merge with that of a read-write opening).
  Fd exclusive;
  int ownOpens = 0;
  int ownCloses = 0;
  // Our own descriptor was refused while the application had the slave
  // open: it set the flag itself before we came, and without root nobody can
  // take it off after its close (see RenewIfLocked).
  bool holdRefused = false;
  // A close of the slave was seen; the check for the end of the opening
  // waits until the tty shows it (the close event comes before the release).
  bool closeSeen = false;
  int closeChecks = 0;
  // The application's receive buffer is full (the master takes no more)
  // since fullSince; watched until it drains.
  bool full = false;
  std::chrono::steady_clock::time_point fullSince;
};

// A buffer that is full only for a moment is the normal state of a busy
// port; the application holds the device side off when it stays full.
constexpr std::chrono::milliseconds kFullHold{50};

struct CtlClient {
  Fd fd;
  vcom::CtlLines lines;
};

class Daemon {
 public:
  // Each port's pty slave gets this group and mode, so the application's
  // users (not only root) open it.
  Daemon(gid_t slaveGroup, mode_t slaveMode) : m_slaveGroup(slaveGroup), m_slaveMode(slaveMode) {}
  int Run(const std::vector<unsigned>& ports);

 private:
  bool SetUpPort(unsigned n);
  bool MakePty(Port& port);
  bool RenewIfLocked(Port& port);
  bool BindListening(const std::string& finalPath, int type, mode_t mode, Fd& out);
  bool WriteRegistry(std::size_t count);
  void Loop();
  void AcceptOpener(Port& port);
  void ServeOpener(Port& port);
  void AcceptCtl();
  bool ServeCtl(CtlClient& client);
  std::string CtlCommand(const std::string& line);
  void SlaveEvents();
  void SlaveEvent(int wd, std::uint32_t mask);
  void HoldExclusive(Port& port);
  void ReleaseExclusive(Port& port);
  void Recheck(Port& port);
  void CheckClosed(Port& port);
  void Drain(Port& port);
  void DropClosedInput(Port& port);
  bool AnyCloseSeen() const;
  bool SlaveOpen(const Port& port) const;
  void ComState(Port& port, bool& connected, bool& hold);
  void Cleanup();

  gid_t m_slaveGroup;
  mode_t m_slaveMode;
  std::string m_root;
  std::string m_deviceDir;
  std::string m_ctlPath;
  std::vector<Port> m_ports;
  Fd m_ctl;
  Fd m_signals;
  Fd m_inotify;
  std::vector<CtlClient> m_ctlClients;
  bool m_stop = false;
};

bool Daemon::BindListening(const std::string& finalPath, int type, mode_t mode, Fd& out) {
  // Bound under a temporary name and renamed into place, so whoever sees the
  // name can connect at once.
  std::string slash = finalPath.substr(0, finalPath.rfind('/') + 1);
  std::string tmp = slash + ".tmp." + std::to_string(::getpid()) + "." +
                    finalPath.substr(finalPath.rfind('/') + 1);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (tmp.size() >= sizeof(addr.sun_path) || finalPath.size() >= sizeof(addr.sun_path)) {
    std::fprintf(stderr, "vcomd: socket path too long: %s\n", finalPath.c_str());
    return false;
  }
  std::memcpy(addr.sun_path, tmp.c_str(), tmp.size() + 1);
  Fd fd(::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.IsValid()) return false;
  ::unlink(tmp.c_str());
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::chmod(tmp.c_str(), mode) != 0 || ::listen(fd.Get(), 8) != 0 ||
      ::rename(tmp.c_str(), finalPath.c_str()) != 0) {
    std::fprintf(stderr, "vcomd: cannot create %s: %s\n", finalPath.c_str(), std::strerror(errno));
    ::unlink(tmp.c_str());
    return false;
  }
  out = std::move(fd);
  return true;
}

// A new pty pair for the port: its slave gets the ports' group and mode and
// raw mode, is watched, and is linked as /dev/ttyZOL<n>.
bool Daemon::MakePty(Port& port) {
  Fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (!master.IsValid() || ::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0) {
    std::fprintf(stderr, "vcomd: cannot open a pty pair: %s\n", std::strerror(errno));
    return false;
  }
  char name[128];
  if (::ptsname_r(master.Get(), name, sizeof(name)) != 0) return false;
  {
    // Until the slave has been opened once, the master shows no hang-up.
    Fd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave.IsValid()) {
      std::fprintf(stderr, "vcomd: cannot open %s: %s\n", name, std::strerror(errno));
      return false;
    }
    if (::fchown(slave.Get(), static_cast<uid_t>(-1), m_slaveGroup) != 0 || ::fchmod(slave.Get(), m_slaveMode) != 0) {
      std::fprintf(stderr, "vcomd: cannot give %s group %u and mode %04o: %s\n", name,
                   static_cast<unsigned>(m_slaveGroup), static_cast<unsigned>(m_slaveMode), std::strerror(errno));
      return false;
    }
    termios tio{};
    if (::tcgetattr(slave.Get(), &tio) == 0) {
      ::cfmakeraw(&tio);
      ::tcsetattr(slave.Get(), TCSANOW, &tio);
    }
  }
  // Our own opening above is over before the watch starts: every event is an
  // application's or our own hold's (counted).
  const int watch = vcom::WatchSlave(m_inotify.Get(), master.Get());
  std::string tmpLink = port.linkPath + ".tmp";
  ::unlink(tmpLink.c_str());
  if (::symlink(name, tmpLink.c_str()) != 0 || ::rename(tmpLink.c_str(), port.linkPath.c_str()) != 0) {
    std::fprintf(stderr, "vcomd: cannot link %s: %s\n", port.linkPath.c_str(), std::strerror(errno));
    ::inotify_rm_watch(m_inotify.Get(), watch);
    return false;
  }
  port.master = std::move(master);
  port.slavePath = name;
  port.watch = watch;
  return true;
}

bool Daemon::SetUpPort(unsigned n) {
  Port port;
  port.n = n;
  if (!port.page.Create("vcomd-COM" + std::to_string(n))) {
    std::fprintf(stderr, "vcomd: cannot create the state page of COM%u: %s\n", n, std::strerror(errno));
    return false;
  }
  port.linkPath = m_root + "/dev/ttyZOL" + std::to_string(n);
  if (!MakePty(port)) return false;
  port.socketPath = m_deviceDir + "/ZOL_COM" + std::to_string(n);
  if (!BindListening(port.socketPath, SOCK_SEQPACKET, 0600, port.listener)) {
    ::unlink(port.linkPath.c_str());
    return false;
  }
  m_ports.push_back(std::move(port));
  return true;
}

bool Daemon::WriteRegistry(std::size_t count) {
  std::string path = m_root + "/etc/halvern/registry.reg";
  if (!MakeDirs(m_root + "/etc/halvern")) return false;
  char value[16];
  std::snprintf(value, sizeof(value), "%08zx", count);
  std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\HALVERN\\Quillmere]\r\n"
      "\"NUMBER_OF_REQ_COM_PORTS\"=dword:" + std::string(value) + "\r\n";
  // Readable by all, writable by vcomd alone whatever the umask: the port
  // service trusts the count it holds. A planted link is never followed.
  std::string tmp = path + ".tmp";
  ::unlink(tmp.c_str());
  Fd f(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!f.IsValid()) return false;
  bool ok = ::fchmod(f.Get(), 0644) == 0 &&
            ::write(f.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
  f.Reset();
  return ok && ::rename(tmp.c_str(), path.c_str()) == 0;
}

bool Daemon::SlaveOpen(const Port& port) const { return !vcom::ComSideClosed(port.master.Get()); }

void Daemon::ComState(Port& port, bool& connected, bool& hold) {
  pollfd p{port.master.Get(), POLLIN | POLLOUT, 0};
  ::poll(&p, 1, 0);
  bool open = (p.revents & POLLHUP) == 0;
  // A closed opening whose bytes the device side has not read yet still
  // counts as connected: its data is offered before the close shows (a read
  // returns it, then the broken pipe). Without a device side nothing is kept.
  connected = open || (port.opener.IsValid() && (p.revents & POLLIN) != 0);
  auto now = std::chrono::steady_clock::now();
  if (!open || (p.revents & POLLOUT) != 0) {
    port.full = false;
  } else if (!port.full) {
    port.full = true;
    port.fullSince = now;
  }
  hold = port.ctlHold || (port.full && now - port.fullSince >= kFullHold);
}

void Daemon::AcceptOpener(Port& port) {
  Fd conn(::accept4(port.listener.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (!conn.IsValid()) return;
  SlaveEvents();
  // The last opener may have closed after this round's poll: what it sent
  // and its close are taken first, so a reopen right after is served (an
  // opener that keeps sending is served a bounded number of times here).
  for (int served = 0; port.opener.IsValid() && served < 64; ++served) {
    pollfd p{port.opener.Get(), POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0 || p.revents == 0) break;
    ServeOpener(port);
  }
  if (port.opener.IsValid()) {
    vcom::SendRefusal(conn.Get(), kErrorSharingViolation);
    return;
  }
  // What a closed opening wrote with no device side there is not handed to
  // this one.
  if (!SlaveOpen(port)) DropClosedInput(port);
  if (!vcom::SendOpening(conn.Get(), port.master.Get(), port.page.Handle())) return;
  port.opener = std::move(conn);
  port.rcvrdy = false;
}

void Daemon::ServeOpener(Port& port) {
  unsigned char buf[256];
  ssize_t got = ::recv(port.opener.Get(), buf, sizeof(buf), MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (got <= 0) {
    // The device side closed the interface: the next opener starts afresh.
    port.opener.Reset();
    port.rcvrdy = false;
    if (!SlaveOpen(port)) DropClosedInput(port);
    return;
  }
  vcom::IoRequest req{};
  if (!vcom::ParseIoRequest(buf, static_cast<std::size_t>(got), req)) {
    port.opener.Reset();  // malformed: drop the connection
    port.rcvrdy = false;
    return;
  }
  unsigned char out[sizeof(vcom::IoReply) + vcom::kMaxOutput] = {};
  std::uint32_t status = 0;
  std::uint32_t info[3] = {0, 0, 0};
  vcom::IoAction action = vcom::ActionOf(req, status);
  // An application's close is queued before its close() returns: taken
  // first, it has released our own hold on the slave before the answer.
  if (action == vcom::IoAction::GetInfo || action == vcom::IoAction::Purge) {
    SlaveEvents();
    CheckClosed(port);
    if (!port.opener.IsValid()) return;  // a new pty: the opener opens it again
  }
  switch (action) {
    case vcom::IoAction::GetInfo: {
      bool connected = false, hold = false;
      ComState(port, connected, hold);
      info[0] = connected ? 1u : 0u;
      info[1] = hold ? 1u : 0u;
      break;
    }
    case vcom::IoAction::SetRcvRdy:
      port.rcvrdy = true;
      break;
    case vcom::IoAction::ClrRcvRdy:
      port.rcvrdy = false;
      break;
    case vcom::IoAction::Purge:
      // The device side wrote after the application closed: drop it.
      if (!SlaveOpen(port)) Drain(port);
      break;
    case vcom::IoAction::Refuse:
      break;
  }
  std::size_t size = vcom::BuildIoReply(action, status, info, out);
  ::send(port.opener.Get(), out, size, MSG_NOSIGNAL);
}

void Daemon::AcceptCtl() {
  Fd conn(::accept4(m_ctl.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (!conn.IsValid()) return;
  if (m_ctlClients.size() >= 32) return;  // refuse a flood of idle clients
  m_ctlClients.push_back(CtlClient{std::move(conn), vcom::CtlLines{}});
}

std::string Daemon::CtlCommand(const std::string& line) {
  vcom::CtlCommand command = vcom::ParseCtlLine(line);
  switch (command.kind) {
    case vcom::CtlCommand::Kind::Status: {
      SlaveEvents();
      std::string out;
      for (Port& p : m_ports) {
        CheckClosed(p);
        bool connected = false, hold = false;
        ComState(p, connected, hold);
        out += "COM" + std::to_string(p.n) + " connected=" + (connected ? "1" : "0") +
               " hold=" + (hold ? "1" : "0") + " rcvrdy=" + (p.rcvrdy ? "1" : "0") + "\n";
      }
      return out.empty() ? "no ports\n" : out;
    }
    case vcom::CtlCommand::Kind::Hold:
      for (Port& p : m_ports) {
        if (p.n == command.port) {
          p.ctlHold = command.on;
          p.page.SetHold(p.ctlHold);
          return "OK\n";
        }
      }
      return "ERR no COM" + std::to_string(command.port) + "\n";
    case vcom::CtlCommand::Kind::HoldUsage:
      return "ERR usage: hold <n> <0|1>\n";
    case vcom::CtlCommand::Kind::Unknown:
      break;
  }
  return "ERR unknown command\n";
}

bool Daemon::ServeCtl(CtlClient& client) {
  char buf[512];
  ssize_t got = ::recv(client.fd.Get(), buf, sizeof(buf), MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  if (got <= 0) return false;
  std::vector<std::string> lines;
  bool bounded = client.lines.Append(buf, static_cast<std::size_t>(got), lines);
  for (const std::string& line : lines) {
    std::string answer = CtlCommand(line);
    if (::send(client.fd.Get(), answer.data(), answer.size(), MSG_NOSIGNAL) < 0) return false;
  }
  return bounded;  // an endless line closes the connection
}

// The close event of an opening comes before the tty's release, and the
// next opener may already be in when we read it: the unread input is
// dropped at the event itself when the last opening closed, so a quick
// reopen does not find it. The release is then awaited to settle the count.
void Daemon::SlaveEvent(int wd, std::uint32_t mask) {
  for (Port& p : m_ports) {
    if (p.watch != wd && !(mask & IN_Q_OVERFLOW)) continue;
    if (mask & IN_Q_OVERFLOW) {
      // Whose events were lost is unknown: start again from what the tty shows.
      p.ownOpens = p.ownCloses = 0;
      Recheck(p);
    }
    if (mask & IN_OPEN) {
      if (p.ownOpens > 0) {
        --p.ownOpens;
      } else {
        ++p.appOpen;
        HoldExclusive(p);
      }
    }
    if (mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
      if (p.ownCloses > 0) {
        --p.ownCloses;
      } else {
        if (p.appOpen > 0) --p.appOpen;
        if (p.appOpen == 0) Drain(p);
        Recheck(p);
      }
    }
    if (mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE | IN_Q_OVERFLOW)) {
      p.closeSeen = true;
      p.page.SetClosePending(true);
      p.closeChecks = 0;
      CheckClosed(p);
    }
  }
}

// Like a Windows COM port, one application at a time: the kernel refuses
// every other open of the slave (EBUSY) while the flag is on, but for root.
void Daemon::HoldExclusive(Port& port) {
  if (port.exclusive.IsValid()) return;
  // Refused when the application set the flag itself before we came: then
  // only root takes it off.
  Fd slave(::open(port.slavePath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!slave.IsValid()) {
    if (errno == EBUSY) port.holdRefused = true;
    return;
  }
  ++port.ownOpens;
  ::ioctl(slave.Get(), TIOCEXCL);
  port.exclusive = std::move(slave);
}

void Daemon::ReleaseExclusive(Port& port) {
  if (!port.exclusive.IsValid()) return;
  ::ioctl(port.exclusive.Get(), TIOCNXCL);
  port.exclusive.Reset();
  ++port.ownCloses;
}

// Events merge and our own come between the application's, so the count of
// openings is a guess: whether one is left (root's, or one that came in
// before the flag) shows once our own descriptor is gone, and it keeps the
// port then.
void Daemon::Recheck(Port& port) {
  ReleaseExclusive(port);
  if (!SlaveOpen(port)) return;
  if (port.appOpen == 0) port.appOpen = 1;
  HoldExclusive(port);
}

void Daemon::SlaveEvents() {
  vcom::ReadEvents(m_inotify.Get(), [this](int wd, std::uint32_t mask) { SlaveEvent(wd, mask); });
}

void Daemon::CheckClosed(Port& port) {
  if (!port.closeSeen) return;
  if (!SlaveOpen(port)) {
    port.appOpen = 0;
    Drain(port);
    if (!port.opener.IsValid()) DropClosedInput(port);
    // While the close is still pending on the page, openers ask us, and
    // the probe's opening (or the new pty) is never taken for an application's.
    RenewIfLocked(port);
    port.closeSeen = false;
    port.page.SetClosePending(false);
  } else if (++port.closeChecks > 100) {
    port.closeSeen = false;  // another opener still has it open
    port.page.SetClosePending(false);
  }
}

// The flag an application set before our own descriptor came stays on the
// slave after its close, and only root opens the slave then. A new pty
// serves the port instead; its opener, dropped, takes the new master when it
// opens the interface again (as after a restart of vcomd). True when renewed.
bool Daemon::RenewIfLocked(Port& port) {
  if (!port.holdRefused) return false;
  port.holdRefused = false;
  Fd probe(::open(port.slavePath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (probe.IsValid()) {
    // The application took the flag off itself.
    ++port.ownOpens;
    ++port.ownCloses;
    return false;
  }
  if (errno != EBUSY) return false;
  const int oldWatch = port.watch;
  if (!MakePty(port)) return false;
  ::inotify_rm_watch(m_inotify.Get(), oldWatch);
  port.appOpen = port.ownOpens = port.ownCloses = 0;
  port.full = false;
  if (port.opener.IsValid()) {
    port.opener.Reset();
    port.rcvrdy = false;
  }
  std::fprintf(stderr, "vcomd: COM%u was left exclusive by its last application: %s serves it now\n", port.n,
               port.slavePath.c_str());
  return true;
}

// What the application left unread is not kept for the next opener.
void Daemon::Drain(Port& port) { vcom::DropSlaveInput(port.master.Get()); }

// What a closed opening wrote and no device side can take is dropped.
void Daemon::DropClosedInput(Port& port) { ::tcflush(port.master.Get(), TCIFLUSH); }

bool Daemon::AnyCloseSeen() const {
  for (const Port& p : m_ports)
    if (p.closeSeen) return true;
  return false;
}

// One round's poll list: each descriptor is known by the slot Add gave it.
class PollRound {
 public:
  using Slot = std::size_t;
  Slot Add(int fd, short events) {
    m_fds.push_back({fd, events, 0});  // -1 is ignored by poll
    return m_fds.size() - 1;
  }
  int Wait(int timeoutMs) { return ::poll(m_fds.data(), m_fds.size(), timeoutMs); }
  bool Ready(Slot slot) const { return m_fds[slot].fd >= 0 && m_fds[slot].revents != 0; }
  int Fd(Slot slot) const { return m_fds[slot].fd; }

 private:
  std::vector<pollfd> m_fds;
};

void Daemon::Loop() {
  struct PortSlots {
    PollRound::Slot listener, opener, master;
  };
  while (!m_stop) {
    PollRound round;
    const PollRound::Slot signals = round.Add(m_signals.Get(), POLLIN);
    const PollRound::Slot inotify = round.Add(m_inotify.Get(), POLLIN);
    const PollRound::Slot ctl = round.Add(m_ctl.Get(), POLLIN);
    std::vector<PortSlots> portSlots;
    for (const Port& p : m_ports) {
      portSlots.push_back({round.Add(p.listener.Get(), POLLIN), round.Add(p.opener.Get(), POLLIN),
                           round.Add(p.full ? p.master.Get() : -1, POLLOUT)});
    }
    std::vector<PollRound::Slot> ctlClientSlots;
    for (const CtlClient& c : m_ctlClients) ctlClientSlots.push_back(round.Add(c.fd.Get(), POLLIN));
    if (round.Wait(AnyCloseSeen() ? 2 : -1) < 0) {
      if (errno == EINTR) continue;
      std::perror("vcomd: poll");
      return;
    }
    if (round.Ready(signals)) {
      signalfd_siginfo si;
      if (::read(m_signals.Get(), &si, sizeof(si)) > 0) m_stop = true;
    }
    if (round.Ready(inotify)) SlaveEvents();
    for (Port& p : m_ports) CheckClosed(p);
    for (std::size_t k = 0; k < m_ports.size(); ++k) {
      Port& p = m_ports[k];
      const PortSlots& slots = portSlots[k];
      // The opener first: its close frees the interface for a waiting one.
      if (round.Ready(slots.opener) && p.opener.Get() == round.Fd(slots.opener)) ServeOpener(p);
      if (round.Ready(slots.listener)) AcceptOpener(p);
      if (round.Ready(slots.master)) p.full = false;  // drained, or closed
    }
    std::vector<CtlClient> kept;
    for (std::size_t c = 0; c < m_ctlClients.size(); ++c) {
      bool keep = true;
      if (round.Ready(ctlClientSlots[c])) keep = ServeCtl(m_ctlClients[c]);
      if (keep) kept.push_back(std::move(m_ctlClients[c]));
    }
    m_ctlClients = std::move(kept);
    // Accepted last: a new client has no entry in this round's list.
    if (round.Ready(ctl)) AcceptCtl();
  }
}

void Daemon::Cleanup() {
  for (Port& p : m_ports) {
    ::unlink(p.socketPath.c_str());
    ::unlink(p.linkPath.c_str());
  }
  ::unlink(m_ctlPath.c_str());
}

int Daemon::Run(const std::vector<unsigned>& ports) {
  m_root = sys::SysRootNarrow();
  // The kernel driver serves the ports: the port service only needs their count.
  if (std::size_t driverPorts = vcom::KernelDriverPorts()) {
    if (!MakeDirs(m_root + "/etc/halvern") || !WriteRegistry(driverPorts)) {
      std::fprintf(stderr, "vcomd: cannot write the registry file under %s/etc/halvern\n", m_root.c_str());
      return 1;
    }
    std::fprintf(stderr, "vcomd: zolvcom serves %zu port(s); vcomd is not needed\n", driverPorts);
    return 0;
  }
  m_deviceDir = vcom::InterfaceFolder(m_root + "/run/zol");
  m_ctlPath = m_root + "/run/zol/vcomd.ctl";

  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  m_signals = Fd(::signalfd(-1, &set, SFD_CLOEXEC));
  m_inotify = Fd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (!m_signals.IsValid() || !m_inotify.IsValid()) {
    std::perror("vcomd: signalfd/inotify");
    return 1;
  }
  if (!MakeDirs(m_deviceDir) || !MakeDirs(m_root + "/dev")) {
    std::fprintf(stderr, "vcomd: cannot create %s: %s\n", m_deviceDir.c_str(), std::strerror(errno));
    return 1;
  }
  if (!WriteRegistry(ports.size())) {
    std::fprintf(stderr, "vcomd: cannot write the registry file under %s/etc/halvern\n", m_root.c_str());
    return 1;
  }
  for (unsigned n : ports) {
    if (!SetUpPort(n)) {
      Cleanup();
      return 1;
    }
  }
  // Last: once the control socket is there, every port is in place.
  if (!BindListening(m_ctlPath, SOCK_STREAM, 0600, m_ctl)) {
    Cleanup();
    return 1;
  }
  std::fprintf(stderr, "vcomd: serving %zu port(s)\n", m_ports.size());
  Loop();
  Cleanup();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  vcom::Options options;
  std::string error;
  if (!vcom::ParseArgs(args, options, error)) {
    std::fprintf(stderr,
                 "vcomd: %s\nusage: vcomd --ports N[,N...] [--group NAME] [--mode OCTAL]\n"
                 "  COM numbers 1..%u, each once; the ports' group (default dialout) and mode (default 0660)\n",
                 error.c_str(), vcom::kMaxPort);
    return 2;
  }
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  int rc = ::getgrnam_r(options.group.c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (found == nullptr) {
    std::fprintf(stderr, "vcomd: unknown group '%s'%s%s (--group names the group whose users may open the ports)\n",
                 options.group.c_str(), rc != 0 ? ": " : "", rc != 0 ? std::strerror(rc) : "");
    return 2;
  }
  Daemon daemon(found->gr_gid, static_cast<mode_t>(options.mode));
  return daemon.Run(options.ports);
}
