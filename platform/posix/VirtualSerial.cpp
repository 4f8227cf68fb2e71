// Two drivers serve the virtual serial ports on Linux. Where the kernel
// driver zolvcom is loaded, each interface is its device side
// /dev/zolvcom/ZOL_COM<n>, a character device that answers the three I/O
// controls itself and fails reads and writes with EPIPE while the COM side
// is closed: the adapter below only translates. Otherwise it is vcomd.
//
// vcomd: each interface is a
// SOCK_SEQPACKET socket in the device folder. Opening it makes us its one
// opener and hands us the pty master (the data path); the socket itself then
// carries the I/O controls.
//
// A pty master accepts writes while the slave is closed and keeps them for
// the next opener, so every write checks for the hang-up first and again
// after writing, and drops what the application can no longer read.
//
// The port asks for the COM side's state before every read and write. While
// the master shows an open, writable COM side, vcomd's state page shows no
// hold and no close in progress, and the application has neither opened nor
// closed the COM side since vcomd last answered, the answer is known here
// without a round trip; otherwise vcomd answers, after its own events (it
// drops what a closed opening left unread). A readiness vcomd already has is
// not sent again.
//
// Every wait on vcomd is bounded (a connect to a full backlog, each answer).
// When vcomd ends, the interface is opened again once it is back and the
// opening it served is over. What a closed opening left unread is dropped
// here too, as soon as this side learns of the close (its own watch of the
// slave), and always before the first write into the next opening.
#include "platform/VirtualSerial.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "drivers/vcom/kernel/zolvcom_ioctl.h"
#include "interfaces/VcomProtocol.h"
#include "interfaces/VcomPty.h"
#include "platform/Error.h"
#include "platform/ErrorNumbers.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/UniqueFd.h"

namespace sys {

namespace {

using namespace errnum;
using posix::UniqueFd;

// vcomd answers within microseconds; one that has not answered in this time
// is stuck, and the caller hears so instead of waiting for ever.
constexpr int kAnswerLimitMs = 2000;

constexpr std::uint32_t kSlaveEvents = IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE;

std::string DeviceFolder() {
  return ToUtf8(GetFixedPath(FixedPath::RunFolder)) + "/devices/" + ToUtf8(VIRTUAL_SERIAL_CLASS_GUID);
}

// The kernel driver serves the ports when it is loaded, unless
// ZOL_VCOM_DRIVER=vcomd asks for vcomd (a machine with both, under test).
bool KernelDriver() {
  const char* choice = ::getenv("ZOL_VCOM_DRIVER");
  if (choice && std::strcmp(choice, "vcomd") == 0) return false;
  struct stat st {};
  return ::stat(ZOLVCOM_CLASS_DIR, &st) == 0;
}

bool IsCharDevice(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// The device side's errors as the driver's: a second opener is a sharing
// violation, a port removed under us a device that is gone.
std::uint32_t KernelError(int e) {
  switch (e) {
    case EBUSY: return kErrorSharingViolation;
    case ENODEV:
    case ENXIO: return kErrorDeviceNotConnected;
    default: return posix::Win32FromErrno(e);
  }
}

bool FailKernel(int e) {
  SetLastError(KernelError(e));
  return false;
}

// The application's side is closed (or was never opened since the last close).
bool ComSideClosed(int master) {
  pollfd p{master, POLLOUT, 0};
  return ::poll(&p, 1, 0) >= 0 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

// Before a broken pipe is reported, vcomd has discarded what the closed
// application's side held, so whoever hears of the close can rely on it.
std::uint32_t BrokenPipe() {
  SetLastError(kErrorBrokenPipe);
  return kErrorBrokenPipe;
}

int WatchSlave(int inotify, int master) {
  char slave[128];
  if (inotify < 0 || ::ptsname_r(master, slave, sizeof(slave)) != 0) return -1;
  return ::inotify_add_watch(inotify, slave, kSlaveEvents);
}

// What vcomd hands an opener.
struct Opening {
  UniqueFd control;
  UniqueFd master;
  UniqueFd page;
};

// Connects to the interface and takes vcomd's answer; false with the error set.
bool OpenInterface(const std::string& path, Opening& out) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) {
    SetLastError(posix::kErrorInvalidParameter);
    return false;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd) {
    posix::SetLastErrorFromErrno(errno);
    return false;
  }
  // The send limit also bounds a connect to a backlog nobody takes from.
  timeval limit{kAnswerLimitMs / 1000, (kAnswerLimitMs % 1000) * 1000};
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    int e = errno;
    if (e == EAGAIN) {
      SetLastError(kErrorTimeout);
      return false;
    }
    // A socket nobody listens on any more is an interface that is gone.
    posix::SetLastErrorFromErrno(e == ECONNREFUSED ? ENOENT : e);
    return false;
  }
  vcom::OpenReply reply{};
  char control[CMSG_SPACE(2 * sizeof(int))] = {};
  iovec iov{&reply, sizeof(reply)};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);
  ssize_t got;
  do {
    got = ::recvmsg(fd.Get(), &msg, MSG_CMSG_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  bool timedOut = got < 0 && errno == EAGAIN;
  UniqueFd master, page;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); got > 0 && c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    // The buffer holds two: the kernel closes any more than that itself.
    std::size_t count = std::min<std::size_t>((c->cmsg_len - CMSG_LEN(0)) / sizeof(int), 2);
    int fds[2] = {-1, -1};
    std::memcpy(fds, CMSG_DATA(c), count * sizeof(int));
    master.Reset(fds[0]);
    page.Reset(fds[1]);
  }
  if (got != static_cast<ssize_t>(sizeof(reply)) || reply.magic != vcom::kMagic ||
      reply.status != 0 || !master) {
    std::uint32_t error = (got == static_cast<ssize_t>(sizeof(reply)) && reply.status != 0)
                              ? reply.status
                              : timedOut ? kErrorTimeout : kErrorDeviceNotConnected;
    SetLastError(error == 0 ? kErrorSharingViolation : error);
    return false;
  }
  ::fcntl(master.Get(), F_SETFL, ::fcntl(master.Get(), F_GETFL) | O_NONBLOCK);
  out = Opening{std::move(fd), std::move(master), std::move(page)};
  return true;
}

}  // namespace

std::wstring VirtualSerialDriverName() { return KernelDriver() ? L"zolvcom (kernel)" : L"vcomd"; }

VirtualSerialInterfaceList ListVirtualSerialInterfaces() {
  VirtualSerialInterfaceList list;
  const bool kernel = KernelDriver();
  std::string folder = kernel ? std::string(ZOLVCOM_DEV_DIR) : DeviceFolder();
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) {
    int e = errno;
    // No folder: the driver shows no interfaces, which is not a failure.
    if (e == ENOENT || e == ENOTDIR) return list;
    list.status = VirtualSerialInterfaceList::Status::SetFailed;
    list.error = posix::SetLastErrorFromErrno(e);
    return list;
  }
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;  // temporary names and . ..
    struct stat st {};
    if (::stat((folder + "/" + name).c_str(), &st) != 0 || !(kernel ? S_ISCHR(st.st_mode) : S_ISSOCK(st.st_mode)))
      continue;
    names.push_back(name);
  }
  dir.reset();
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) list.paths.push_back(FromUtf8(folder + "/" + name));
  return list;
}

struct VirtualSerialPort::Impl {
  bool kernel = false;  // master is zolvcom's device side, not a pty master
  std::string path;
  UniqueFd control;  // the interface socket
  UniqueFd master;   // the pty master: the data path
  const vcom::SharedState* state = nullptr;  // vcomd's state page, read-only
  std::atomic<bool> pageCurrent{true};  // the page is the serving vcomd's
  UniqueFd openings;  // inotify: the application's opens and closes of the COM side
  int openingsWatch = -1;
  UniqueFd closes;  // the data path's own watch of the same, under dataLock
  int closesWatch = -1;
  std::atomic<bool> vcomdAnswered{false};  // vcomd has settled what came before the watch
  std::atomic<int> askingVcomd{0};  // GET_ZOL_INFO questions on their way to vcomd
  int rcvrdySent = -1;  // the readiness vcomd has from us; -1 unknown
  int unanswered = 0;   // answers still to come to questions given up on
  bool lost = false;    // vcomd closed the interface: it ended
  std::mutex ioctlLock;  // one request and its answer at a time
  std::mutex dataLock;   // writes, and the drops of what a closed opening left

  // GET_ZOL_INFO answered here: connected, no hold. False when vcomd must
  // answer (a hang-up, a full COM side, a hold, a close being settled).
  bool LocalInfo(ZOL_INFO& info) const {
    if (!state || !openings || !pageCurrent.load() || !vcomdAnswered.load() || state->hold.load() != 0 ||
        state->closePending.load() != 0)
      return false;
    pollfd p[3] = {{master.Get(), POLLOUT, 0}, {control.Get(), 0, 0}, {openings.Get(), POLLIN, 0}};
    if (::poll(p, 3, 0) < 0 || p[0].revents != POLLOUT || p[1].revents != 0 || p[2].revents != 0) return false;
    // Checked after the watch: a question on its way may have taken the
    // events that vcomd has not settled yet.
    if (askingVcomd.load() != 0) return false;
    info = ZOL_INFO{1, 0, 0};
    return true;
  }

  // Before vcomd is asked: what happened until now is its to settle first.
  void ForgetOpenings() const {
    alignas(inotify_event) char buf[4096];
    while (openings && ::read(openings.Get(), buf, sizeof(buf)) > 0) {
    }
  }

  // Without the page or the watch every question goes to vcomd: slower, never wrong.
  void WatchState(UniqueFd page) {
    void* at = ::mmap(nullptr, vcom::kSharedStateSize, PROT_READ, MAP_SHARED, page.Get(), 0);
    page.Reset();
    if (at == MAP_FAILED) return;
    auto* mapped = static_cast<const vcom::SharedState*>(at);
    openings.Reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    openingsWatch = WatchSlave(openings.Get(), master.Get());
    if (mapped->magic.load() != vcom::kMagic || openingsWatch < 0) {
      ::munmap(at, vcom::kSharedStateSize);
      openings.Reset();
      openingsWatch = -1;
      return;
    }
    state = mapped;
  }

  // A restarted vcomd's page takes the old one's place at the same address,
  // so that a LocalInfo running meanwhile reads one or the other.
  void ReplaceState(UniqueFd page) {
    void* at = page ? ::mmap(nullptr, vcom::kSharedStateSize, PROT_READ, MAP_SHARED, page.Get(), 0) : MAP_FAILED;
    page.Reset();
    if (!state) {
      if (at != MAP_FAILED) ::munmap(at, vcom::kSharedStateSize);
      return;
    }
    bool moved = at != MAP_FAILED && static_cast<const vcom::SharedState*>(at)->magic.load() == vcom::kMagic &&
                 ::mremap(at, vcom::kSharedStateSize, vcom::kSharedStateSize, MREMAP_MAYMOVE | MREMAP_FIXED,
                          const_cast<vcom::SharedState*>(state)) != MAP_FAILED;
    if (!moved && at != MAP_FAILED) ::munmap(at, vcom::kSharedStateSize);
    ::inotify_rm_watch(openings.Get(), openingsWatch);
    openingsWatch = WatchSlave(openings.Get(), master.Get());
    pageCurrent.store(moved && openingsWatch >= 0);
  }

  // Under dataLock: reads the data path's watch. True when an opening ended
  // since the last look (its close left the COM side closed, or a new
  // opening followed); nothing has been written since, so all the COM side
  // holds unread is that opening's.
  bool OpeningEnded() {
    if (!closes) return false;
    alignas(inotify_event) char buf[4096];
    bool closed = false, reopened = false;
    ssize_t got;
    while ((got = ::read(closes.Get(), buf, sizeof(buf))) > 0) {
      for (ssize_t off = 0; off < got;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
        if (ev->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE | IN_Q_OVERFLOW)) {
          closed = true;
          reopened = false;
        } else if ((ev->mask & IN_OPEN) && closed) {
          reopened = true;
        }
        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      }
    }
    return closed && (reopened || ComSideClosed(master.Get()));
  }

  // The read side saw the close: what the opening left unread goes now.
  void DropClosedOpening() {
    std::lock_guard<std::mutex> lock(dataLock);
    if (OpeningEnded() || ComSideClosed(master.Get())) vcom::DropSlaveInput(master.Get());
  }

  // Under ioctlLock: one request and its answer. The answers of questions
  // given up on come first and are passed over (vcomd answers in order).
  ssize_t Exchange(const vcom::IoRequest& req, unsigned char* buf, std::size_t size) {
    if (::send(control.Get(), &req, sizeof(req), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(req))) {
      int e = errno;
      if (e == EAGAIN) {
        SetLastError(kErrorTimeout);  // vcomd takes no more questions
        return -1;
      }
      lost = e == EPIPE || e == ECONNRESET || e == ENOTCONN;
      if (lost) SetLastError(kErrorDeviceNotConnected);
      else posix::SetLastErrorFromErrno(e);
      return -1;
    }
    for (;;) {
      ssize_t got = ::recv(control.Get(), buf, size, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && errno == EAGAIN) {
        ++unanswered;
        SetLastError(kErrorTimeout);
        return -1;
      }
      if (got <= 0) {
        lost = true;
        SetLastError(kErrorDeviceNotConnected);
        return -1;
      }
      if (unanswered > 0) {
        --unanswered;
        continue;
      }
      return got;
    }
  }

  // Under ioctlLock: vcomd ended. Its restart is opened once it is there and
  // the opening the old one served is over (until then it still carries data).
  bool Reopen() {
    if (!ComSideClosed(master.Get())) {
      SetLastError(kErrorDeviceNotConnected);
      return false;
    }
    Opening next;
    if (!OpenInterface(path, next)) return false;
    {
      // The descriptors keep their numbers: a wait on them, or a transfer,
      // in another thread goes on with the new driver's.
      std::lock_guard<std::mutex> lock(dataLock);
      ::dup3(next.control.Get(), control.Get(), O_CLOEXEC);
      ::dup3(next.master.Get(), master.Get(), O_CLOEXEC);
      next.control.Reset();
      next.master.Reset();
      if (closes) {
        ::inotify_rm_watch(closes.Get(), closesWatch);
        closesWatch = WatchSlave(closes.Get(), master.Get());
        OpeningEnded();  // the old watch's last events
      }
    }
    vcomdAnswered.store(false);
    ReplaceState(std::move(next.page));
    rcvrdySent = -1;
    unanswered = 0;
    lost = false;
    return true;
  }

  // Sent as a request whose answer is then read and dropped.
  void Purge() {
    std::lock_guard<std::mutex> lock(ioctlLock);
    if (!control || lost) return;
    vcom::IoRequest req{vcom::kMagic, vcom::kPurge, 0};
    unsigned char buf[sizeof(vcom::IoReply) + vcom::kMaxOutput];
    Exchange(req, buf, sizeof(buf));
  }

  // The kernel driver's three controls.
  bool KernelControl(std::uint32_t code, void* output, std::uint32_t outputSize, std::uint32_t* returned) {
    switch (code) {
      case IOCTL_VIRTUAL_SERIAL_GET_ZOL_INFO: {
        if (!output || outputSize < sizeof(ZOL_INFO)) {
          SetLastError(kErrorInsufficientBuffer);
          return false;
        }
        zolvcom_info info{};
        if (::ioctl(master.Get(), ZOLVCOM_IOC_INFO, &info) != 0) return FailKernel(errno);
        ZOL_INFO out{info.connected, info.hold, 0};
        std::memcpy(output, &out, sizeof(out));
        if (returned) *returned = sizeof(out);
        return true;
      }
      case IOCTL_VIRTUAL_SERIAL_SET_RCVRDY:
      case IOCTL_VIRTUAL_SERIAL_CLR_RVCRDY: {
        unsigned long request =
            code == IOCTL_VIRTUAL_SERIAL_SET_RCVRDY ? ZOLVCOM_IOC_SET_RCVRDY : ZOLVCOM_IOC_CLR_RCVRDY;
        if (::ioctl(master.Get(), request) != 0) return FailKernel(errno);
        return true;
      }
      default:
        SetLastError(kErrorInvalidFunction);
        return false;
    }
  }

  void Close() {
    kernel = false;
    if (state) ::munmap(const_cast<vcom::SharedState*>(state), vcom::kSharedStateSize);
    openings.Reset();
    closes.Reset();
    master.Reset();
    control.Reset();
    state = nullptr;
    openingsWatch = closesWatch = -1;
    rcvrdySent = -1;
    unanswered = 0;
    lost = false;
    pageCurrent.store(true);
    vcomdAnswered.store(false);
  }
};

VirtualSerialPort::VirtualSerialPort() : m_impl(std::make_unique<Impl>()) {}
VirtualSerialPort::~VirtualSerialPort() { Close(); }

bool VirtualSerialPort::IsOpen() const { return m_impl->master.IsValid(); }
std::uintptr_t VirtualSerialPort::HandleValue() const {
  return static_cast<std::uintptr_t>(m_impl->control.Get());
}
void VirtualSerialPort::Close() {
  std::lock_guard<std::mutex> lock(m_impl->ioctlLock);
  m_impl->Close();
}

bool VirtualSerialPort::Open(const std::wstring& path) {
  Close();
  Opening opening;
  std::string p = ToUtf8(path);
  if (IsCharDevice(p)) {
    UniqueFd device(::open(p.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!device) return FailKernel(errno);
    m_impl->path = p;
    m_impl->master = std::move(device);
    m_impl->kernel = true;
    return true;
  }
  if (!OpenInterface(p, opening)) return false;
  m_impl->path = p;
  m_impl->control = std::move(opening.control);
  m_impl->master = std::move(opening.master);
  // Without the watch only vcomd drops what a closed opening left.
  UniqueFd closes(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  int watch = WatchSlave(closes.Get(), m_impl->master.Get());
  if (watch >= 0) {
    m_impl->closes = std::move(closes);
    m_impl->closesWatch = watch;
  }
  if (opening.page) m_impl->WatchState(std::move(opening.page));
  return true;
}

bool VirtualSerialPort::IoControl(std::uint32_t code, void* output, std::uint32_t outputSize,
                                  std::uint32_t* returned) {
  if (returned) *returned = 0;
  if (m_impl->kernel) return m_impl->KernelControl(code, output, outputSize, returned);
  // Without the lock: the read and the write thread ask at the same moment,
  // and a wait for the lock costs more than the answer.
  if (code == IOCTL_VIRTUAL_SERIAL_GET_ZOL_INFO && output && outputSize >= sizeof(ZOL_INFO)) {
    ZOL_INFO info;
    if (m_impl->LocalInfo(info)) {
      std::memcpy(output, &info, sizeof(info));
      if (returned) *returned = sizeof(info);
      return true;
    }
  }
  std::lock_guard<std::mutex> lock(m_impl->ioctlLock);
  if (!m_impl->control) {
    SetLastError(posix::kErrorInvalidHandle);
    return false;
  }
  if (m_impl->lost && !m_impl->Reopen()) return false;
  struct Asking {
    std::atomic<int>* count;
    ~Asking() {
      if (count) --*count;
    }
  } asking{code == IOCTL_VIRTUAL_SERIAL_GET_ZOL_INFO ? &m_impl->askingVcomd : nullptr};
  if (asking.count) {
    ++*asking.count;
    m_impl->ForgetOpenings();
  }
  int readiness = code == IOCTL_VIRTUAL_SERIAL_SET_RCVRDY ? 1 : code == IOCTL_VIRTUAL_SERIAL_CLR_RVCRDY ? 0 : -1;
  if (readiness >= 0 && readiness == m_impl->rcvrdySent) return true;
  vcom::IoRequest req{vcom::kMagic, code, outputSize};
  unsigned char buf[sizeof(vcom::IoReply) + vcom::kMaxOutput];
  ssize_t got = m_impl->Exchange(req, buf, sizeof(buf));
  if (got < 0) return false;
  if (got < static_cast<ssize_t>(sizeof(vcom::IoReply))) {
    SetLastError(kErrorDeviceNotConnected);
    return false;
  }
  vcom::IoReply reply;
  std::memcpy(&reply, buf, sizeof(reply));
  if (reply.magic != vcom::kMagic || reply.size > static_cast<std::uint32_t>(got) - sizeof(reply)) {
    SetLastError(kErrorDeviceNotConnected);
    return false;
  }
  if (reply.status != 0) {
    SetLastError(reply.status);
    return false;
  }
  std::uint32_t n = std::min(reply.size, outputSize);
  if (n && output) std::memcpy(output, buf + sizeof(reply), n);
  if (returned) *returned = n;
  if (readiness >= 0) m_impl->rcvrdySent = readiness;
  if (code == IOCTL_VIRTUAL_SERIAL_GET_ZOL_INFO) m_impl->vcomdAnswered.store(true);
  return true;
}

struct VirtualSerialIo::Impl {
  VirtualSerialPort::Impl* port;
  Kind kind;
  bool pending = false;
  unsigned char* buffer = nullptr;
  std::uint32_t length = 0;
  std::uint32_t done = 0;  // bytes of a pending write already written

  // The opening ended: what it left unread is gone before anyone hears of it.
  int Ended() {
    port->Purge();
    BrokenPipe();
    return -1;
  }

  // The kernel driver keeps openings apart itself: a transfer is the call.
  int KernelAttempt(int fd) {
    if (kind == Kind::Read) {
      ssize_t n = ::read(fd, buffer, length);
      if (n >= 0) {
        done = static_cast<std::uint32_t>(n);
        return 1;
      }
      if (errno == EAGAIN || errno == EINTR) return 0;
      return FailKernel(errno), -1;
    }
    while (done < length) {
      ssize_t n = ::write(fd, buffer + done, length - done);
      if (n > 0) {
        done += static_cast<std::uint32_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
      return FailKernel(n < 0 ? errno : EIO), -1;
    }
    return 1;
  }

  // One attempt at the transfer: 1 finished, 0 would block, -1 failed.
  int Attempt() {
    int fd = port->master.Get();
    if (fd < 0) {
      SetLastError(posix::kErrorInvalidHandle);
      return -1;
    }
    if (port->kernel) return KernelAttempt(fd);
    if (kind == Kind::Read) {
      ssize_t n = ::read(fd, buffer, length);
      if (n >= 0) {
        done = static_cast<std::uint32_t>(n);
        return 1;
      }
      if (errno == EAGAIN || errno == EINTR) return 0;
      // EIO: the application's side was closed.
      if (errno == EIO) return port->DropClosedOpening(), Ended();
      posix::SetLastErrorFromErrno(errno);
      return -1;
    }
    int r = Write(fd);
    return r == -2 ? Ended() : r;
  }

  // As Attempt; -2 when the opening ended (its unread input already dropped).
  int Write(int fd) {
    std::lock_guard<std::mutex> lock(port->dataLock);
    pollfd p[2] = {{fd, POLLOUT, 0}, {port->closes.Get(), POLLIN, 0}};
    ::poll(p, port->closes ? 2 : 1, 0);
    if (p[1].revents != 0 && port->OpeningEnded()) {
      // Before the first byte for the next opening, or instead of the rest
      // of a write that was meant for the one that ended.
      vcom::DropSlaveInput(fd);
      if (done > 0) return -2;
    }
    if (p[0].revents & (POLLHUP | POLLERR)) return vcom::DropSlaveInput(fd), -2;
    while (done < length) {
      ssize_t n = ::write(fd, buffer + done, length - done);
      if (n > 0) {
        done += static_cast<std::uint32_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
      if (n < 0 && errno == EIO) return vcom::DropSlaveInput(fd), -2;
      posix::SetLastErrorFromErrno(n < 0 ? errno : EIO);
      return -1;
    }
    // Closed while we wrote: what it did not read is not kept for the next opener.
    if (ComSideClosed(fd)) return vcom::DropSlaveInput(fd), -2;
    return 1;
  }
};

VirtualSerialIo::VirtualSerialIo(VirtualSerialPort& port, Kind kind)
    : m_impl(std::make_unique<Impl>()) {
  m_impl->port = port.m_impl.get();
  m_impl->kind = kind;
}

VirtualSerialIo::~VirtualSerialIo() { Cancel(); }

bool VirtualSerialIo::IsValid() const { return true; }
bool VirtualSerialIo::IsPending() const { return m_impl->pending; }

IoStart VirtualSerialIo::Start(void* buffer, std::uint32_t length, std::uint32_t* transferred) {
  if (transferred) *transferred = 0;
  if (m_impl->pending) {
    SetLastError(posix::kErrorInvalidParameter);
    return {IoState::Failed};
  }
  m_impl->buffer = static_cast<unsigned char*>(buffer);
  m_impl->length = length;
  m_impl->done = 0;
  int r = m_impl->Attempt();
  if (r == 1) {
    if (transferred) *transferred = m_impl->done;
    return {IoState::Done};
  }
  if (r < 0) return {IoState::Failed};
  m_impl->pending = true;
  SetLastError(kErrorIoPending);
  return {IoState::Pending};
}

WaitItem VirtualSerialIo::Completion() {
  return WaitItem(NativeWaitable{m_impl->port->master.Get(), m_impl->kind == Kind::Write});
}

bool VirtualSerialIo::Result(std::uint32_t* transferred) {
  if (transferred) *transferred = 0;
  if (!m_impl->pending) {
    SetLastError(posix::kErrorInvalidParameter);
    return false;
  }
  int r = m_impl->Attempt();
  if (r == 0) {
    SetLastError(kErrorIoIncomplete);
    return false;
  }
  m_impl->pending = false;
  if (r < 0) return false;
  if (transferred) *transferred = m_impl->done;
  return true;
}

void VirtualSerialIo::Cancel() {
  // Nothing is in flight in the kernel: the transfer happens in Result().
  if (m_impl->pending) {
    m_impl->pending = false;
    SetLastError(kErrorOperationAborted);
  }
}

}  // namespace sys
