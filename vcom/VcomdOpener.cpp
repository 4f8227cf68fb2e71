#include "vcom/VcomdOpener.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/ErrorNumbers.h"
#include "vcom/DeviceClass.h"
#include "vcom/Pty.h"
#include "vcom/Requests.h"

namespace vcom {

using namespace sys::errnum;
using sys::posix::UniqueFd;

namespace {

// vcomd answers within microseconds; one that has not answered in this time
// is stuck, and the caller hears so instead of waiting for ever.
constexpr int kAnswerLimitMs = 2000;

}  // namespace

bool VcomdOpener::Open(const std::string& path, Failure& why) {
  Opening opening;
  if (!OpenInterface(path, kAnswerLimitMs, opening, why)) return false;
  m_path = path;
  m_control = std::move(opening.control);
  m_master = std::move(opening.master);
  // Without the watch only vcomd drops what a closed opening left.
  UniqueFd closes(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  int watch = WatchSlave(closes.Get(), m_master.Get());
  if (watch >= 0) {
    m_closes = std::move(closes);
    m_closesWatch = watch;
  }
  if (opening.page) WatchState(std::move(opening.page));
  return true;
}

void VcomdOpener::Close() {
  std::lock_guard<std::mutex> lock(m_ioctlLock);
  m_page.Reset();
  m_openings.Reset();
  m_closes.Reset();
  m_master.Reset();
  m_control.Reset();
  m_openingsWatch = m_closesWatch = -1;
  m_rcvrdySent = -1;
  m_unanswered = 0;
  m_lost = false;
  m_pageCurrent.store(true);
  m_vcomdAnswered.store(false);
}

// GET_ZOL_INFO answered here: connected, no hold. False when vcomd must
// answer (a hang-up, a full COM side, a hold, a close being settled).
bool VcomdOpener::LocalInfo(std::uint32_t (&info)[3]) const {
  const SharedState* state = m_page.State();
  if (!state || !m_openings || !m_pageCurrent.load() || !m_vcomdAnswered.load() || state->hold.load() != 0 ||
      state->closePending.load() != 0)
    return false;
  pollfd p[3] = {{m_master.Get(), POLLOUT, 0}, {m_control.Get(), 0, 0}, {m_openings.Get(), POLLIN, 0}};
  if (::poll(p, 3, 0) < 0 || p[0].revents != POLLOUT || p[1].revents != 0 || p[2].revents != 0) return false;
  // Checked after the watch: a question on its way may have taken the
  // events that vcomd has not settled yet.
  if (m_askingVcomd.load() != 0) return false;
  info[0] = 1;
  info[1] = info[2] = 0;
  return true;
}

// Before vcomd is asked: what happened until now is its to settle first.
void VcomdOpener::ForgetOpenings() const {
  if (m_openings) ReadEvents(m_openings.Get(), [](int, std::uint32_t) {});
}

// Without the page or the watch every question goes to vcomd: slower, never wrong.
void VcomdOpener::WatchState(UniqueFd page) {
  if (!m_page.Map(std::move(page))) return;
  m_openings.Reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  m_openingsWatch = WatchSlave(m_openings.Get(), m_master.Get());
  if (m_openingsWatch < 0) {
    m_page.Reset();
    m_openings.Reset();
  }
}

// A restarted vcomd's page takes the old one's place at the same address,
// so that a LocalInfo running meanwhile reads one or the other.
void VcomdOpener::ReplaceState(UniqueFd page) {
  if (!m_page.State()) return;
  bool moved = m_page.Replace(std::move(page));
  ::inotify_rm_watch(m_openings.Get(), m_openingsWatch);
  m_openingsWatch = WatchSlave(m_openings.Get(), m_master.Get());
  m_pageCurrent.store(moved && m_openingsWatch >= 0);
}

// Under m_dataLock: reads the data path's watch. True when an opening ended
// since the last look (its close left the COM side closed, or a new opening
// followed); nothing has been written since, so all the COM side holds
// unread is that opening's.
bool VcomdOpener::OpeningEnded() {
  if (!m_closes) return false;
  bool closed = false, reopened = false;
  ReadEvents(m_closes.Get(), [&](int, std::uint32_t mask) {
    if (mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE | IN_Q_OVERFLOW)) {
      closed = true;
      reopened = false;
    } else if ((mask & IN_OPEN) && closed) {
      reopened = true;
    }
  });
  return closed && (reopened || ComSideClosed(m_master.Get()));
}

// The read side saw the close: what the opening left unread goes now.
void VcomdOpener::DropClosedOpening() {
  std::lock_guard<std::mutex> lock(m_dataLock);
  if (OpeningEnded() || ComSideClosed(m_master.Get())) DropSlaveInput(m_master.Get());
}

// Under m_ioctlLock: one request and its answer, its size or -1. The answers
// of questions given up on come first and are passed over (vcomd answers in
// order).
int VcomdOpener::Exchange(const IoRequest& req, unsigned char* buf, std::size_t size, Failure& why) {
  if (::send(m_control.Get(), &req, sizeof(req), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(req))) {
    int e = errno;
    if (e == EAGAIN) {
      why = Failure::Status(kErrorTimeout);  // vcomd takes no more questions
      return -1;
    }
    m_lost = e == EPIPE || e == ECONNRESET || e == ENOTCONN;
    why = m_lost ? Failure::Status(kErrorDeviceNotConnected) : Failure::Errno(e);
    return -1;
  }
  for (;;) {
    ssize_t got = ::recv(m_control.Get(), buf, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) {
      ++m_unanswered;
      why = Failure::Status(kErrorTimeout);
      return -1;
    }
    if (got <= 0) {
      m_lost = true;
      why = Failure::Status(kErrorDeviceNotConnected);
      return -1;
    }
    if (m_unanswered > 0) {
      --m_unanswered;
      continue;
    }
    return static_cast<int>(got);
  }
}

// Under m_ioctlLock: vcomd ended. Its restart is opened once it is there and
// the opening the old one served is over (until then it still carries data).
bool VcomdOpener::Reopen(Failure& why) {
  if (!ComSideClosed(m_master.Get())) {
    why = Failure::Status(kErrorDeviceNotConnected);
    return false;
  }
  Opening next;
  if (!OpenInterface(m_path, kAnswerLimitMs, next, why)) return false;
  {
    // The descriptors keep their numbers: a wait on them, or a transfer,
    // in another thread goes on with the new driver's.
    std::lock_guard<std::mutex> lock(m_dataLock);
    ::dup3(next.control.Get(), m_control.Get(), O_CLOEXEC);
    ::dup3(next.master.Get(), m_master.Get(), O_CLOEXEC);
    next.control.Reset();
    next.master.Reset();
    if (m_closes) {
      ::inotify_rm_watch(m_closes.Get(), m_closesWatch);
      m_closesWatch = WatchSlave(m_closes.Get(), m_master.Get());
      OpeningEnded();  // the old watch's last events
    }
  }
  m_vcomdAnswered.store(false);
  ReplaceState(std::move(next.page));
  m_rcvrdySent = -1;
  m_unanswered = 0;
  m_lost = false;
  return true;
}

// Sent as a request whose answer is then read and dropped.
void VcomdOpener::Purge() {
  std::lock_guard<std::mutex> lock(m_ioctlLock);
  if (!m_control || m_lost) return;
  IoRequest req{kMagic, kPurge, 0};
  unsigned char buf[sizeof(IoReply) + kMaxOutput];
  Failure ignored;
  Exchange(req, buf, sizeof(buf), ignored);
}

bool VcomdOpener::IoControl(std::uint32_t code, void* output, std::uint32_t outputSize, std::uint32_t* returned,
                            Failure& why) {
  // Without the lock: the read and the write thread ask at the same moment,
  // and a wait for the lock costs more than the answer.
  if (code == kGetZolInfo && output && outputSize >= kInfoSize) {
    std::uint32_t info[3];
    if (LocalInfo(info)) {
      std::memcpy(output, info, sizeof(info));
      if (returned) *returned = sizeof(info);
      return true;
    }
  }
  std::lock_guard<std::mutex> lock(m_ioctlLock);
  if (!m_control) {
    why = Failure::Status(kErrorInvalidHandle);
    return false;
  }
  if (m_lost && !Reopen(why)) return false;
  struct Asking {
    std::atomic<int>* count;
    ~Asking() {
      if (count) --*count;
    }
  } asking{code == kGetZolInfo ? &m_askingVcomd : nullptr};
  if (asking.count) {
    ++*asking.count;
    ForgetOpenings();
  }
  int readiness = code == kSetRcvRdy ? 1 : code == kClrRcvRdy ? 0 : -1;
  if (readiness >= 0 && readiness == m_rcvrdySent) return true;
  IoRequest req{kMagic, code, outputSize};
  unsigned char buf[sizeof(IoReply) + kMaxOutput];
  int got = Exchange(req, buf, sizeof(buf), why);
  if (got < 0 && m_lost) {
    // vcomd dropped us: it was restarted, or gave the port a new pty. When
    // the interface opens again at once, its answer is the answer.
    const Failure first = why;
    if (Reopen(why)) got = Exchange(req, buf, sizeof(buf), why);
    else why = first;
  }
  if (got < 0) return false;
  std::uint32_t copied = 0;
  if (std::uint32_t status = ReadIoReply(buf, static_cast<std::size_t>(got), output, outputSize, copied)) {
    why = Failure::Status(status);
    return false;
  }
  if (returned) *returned = copied;
  if (readiness >= 0) m_rcvrdySent = readiness;
  if (code == kGetZolInfo) m_vcomdAnswered.store(true);
  return true;
}

// The opening ended: what it left unread is gone before anyone hears of it.
int VcomdOpener::Ended(Failure& why) {
  Purge();
  why = Failure::Status(kErrorBrokenPipe);
  return -1;
}

int VcomdOpener::Read(void* buffer, std::uint32_t length, std::uint32_t& done, Failure& why) {
  ssize_t n = ::read(m_master.Get(), buffer, length);
  if (n >= 0) {
    done = static_cast<std::uint32_t>(n);
    return 1;
  }
  if (errno == EAGAIN || errno == EINTR) return 0;
  // EIO: the application's side was closed.
  if (errno == EIO) return DropClosedOpening(), Ended(why);
  why = Failure::Errno(errno);
  return -1;
}

int VcomdOpener::Write(const void* buffer, std::uint32_t length, std::uint32_t& done, Failure& why) {
  int r = WriteOnce(static_cast<const unsigned char*>(buffer), length, done, why);
  return r == -2 ? Ended(why) : r;
}

// As Write; -2 when the opening ended (its unread input already dropped).
int VcomdOpener::WriteOnce(const unsigned char* buffer, std::uint32_t length, std::uint32_t& done, Failure& why) {
  std::lock_guard<std::mutex> lock(m_dataLock);
  const int fd = m_master.Get();
  pollfd p[2] = {{fd, POLLOUT, 0}, {m_closes.Get(), POLLIN, 0}};
  ::poll(p, m_closes ? 2 : 1, 0);
  if (p[1].revents != 0 && OpeningEnded()) {
    // Before the first byte for the next opening, or instead of the rest
    // of a write that was meant for the one that ended.
    DropSlaveInput(fd);
    if (done > 0) return -2;
  }
  if (p[0].revents & (POLLHUP | POLLERR)) return DropSlaveInput(fd), -2;
  while (done < length) {
    ssize_t n = ::write(fd, buffer + done, length - done);
    if (n > 0) {
      done += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    if (n < 0 && errno == EIO) return DropSlaveInput(fd), -2;
    why = Failure::Errno(n < 0 ? errno : EIO);
    return -1;
  }
  // Closed while we wrote: what it did not read is not kept for the next opener.
  if (ComSideClosed(fd)) return DropSlaveInput(fd), -2;
  return 1;
}

}  // namespace vcom
