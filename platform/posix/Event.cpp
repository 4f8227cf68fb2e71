#include "platform/Event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>

#include "platform/Error.h"
#include "platform/posix/PosixError.h"

// ThreadSanitizer does not see poll() on an eventfd as synchronisation: tell
// it that a Set happens before the wait that it ends.
#if defined(__SANITIZE_THREAD__)
#define ZOL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZOL_TSAN 1
#endif
#endif
#ifdef ZOL_TSAN
#include <sanitizer/tsan_interface.h>
#define ZOL_TSAN_RELEASE(p) __tsan_release(p)
#define ZOL_TSAN_ACQUIRE(p) __tsan_acquire(p)
#else
#define ZOL_TSAN_RELEASE(p) static_cast<void>(p)
#define ZOL_TSAN_ACQUIRE(p) static_cast<void>(p)
#endif

namespace sys {
namespace {

using namespace errnum;
constexpr std::size_t kMaximumWaitObjects = 64;

// The eventfd counter is the signalled state: non-zero means set. Reading it
// (non-blocking) clears it, which is how an auto-reset event is consumed; when
// two waiters race, only one read succeeds and the other waits on.
bool Consume(int fd) {
  std::uint64_t value = 0;
  for (;;) {
    if (read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value)) return true;
    if (errno != EINTR) return false;
  }
}

bool IsReady(short revents) { return (revents & (POLLIN | POLLOUT | POLLHUP | POLLERR)) != 0; }

}  // namespace

EventHandleTraits::Handle EventHandleTraits::Invalid() { return -1; }
bool EventHandleTraits::IsValid(Handle h) { return h >= 0; }
void EventHandleTraits::Close(Handle h) { close(static_cast<int>(h)); }

Event::Event(enum Event::Reset mode, bool initiallySet) : m_auto(mode == Reset::Auto) {
  const int fd = eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    posix::SetLastErrorFromErrno(errno);
    return;
  }
  m_handle.Reset(fd);
}

void Event::Set() {
  const int fd = static_cast<int>(m_handle.Get());
  if (fd < 0) return;
  ZOL_TSAN_RELEASE(this);
  const std::uint64_t one = 1;
  // EAGAIN means the counter is already at its maximum: still set.
  while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Event::Reset() {
  if (IsValid()) Consume(static_cast<int>(m_handle.Get()));
}

bool Event::Test() { return Wait(0) == 0; }

std::uint32_t Event::Wait(std::uint32_t timeoutMs) { return WaitAny({WaitItem(*this)}, timeoutMs); }


std::uint32_t WaitAny(std::span<const WaitItem> items, std::uint32_t timeoutMs) {
  if (items.empty() || items.size() > kMaximumWaitObjects) {
    SetLastError(posix::kErrorInvalidParameter);
    return kWaitFailed;
  }
  std::array<pollfd, kMaximumWaitObjects> fds{};  // no allocation on the I/O path
  for (std::size_t i = 0; i < items.size(); ++i) {
    const WaitItem& item = items[i];
    const std::intptr_t handle = item.event ? item.event->Waitable().handle : item.native.handle;
    if (handle < 0 || handle > INT_MAX) {
      SetLastError(posix::kErrorInvalidHandle);
      return kWaitFailed;
    }
    fds[i].fd = static_cast<int>(handle);
    fds[i].events = (!item.event && item.native.forWrite) ? POLLOUT : POLLIN;
  }

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int pollTimeout = -1;
    if (timeoutMs != kInfinite) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollTimeout = left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
    }
    const int n = poll(fds.data(), items.size(), pollTimeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      posix::SetLastErrorFromErrno(errno);
      return kWaitFailed;
    }
    for (std::size_t i = 0; n > 0 && i < items.size(); ++i) {
      if (fds[i].revents & POLLNVAL) {
        SetLastError(posix::kErrorInvalidHandle);
        return kWaitFailed;
      }
      if (!IsReady(fds[i].revents)) continue;
      Event* event = items[i].event;
      if (event && event->IsAuto() && !Consume(fds[i].fd)) continue;  // another waiter took it
      if (event) ZOL_TSAN_ACQUIRE(event);
      return static_cast<std::uint32_t>(i);
    }
    if (pollTimeout == 0) return kWaitTimeout;
  }
}

}  // namespace sys
