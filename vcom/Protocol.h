#pragma once
// The wire of vcomd's interface sockets (SOCK_SEQPACKET, one message each).
// On connect vcomd sends one OpenReply; with status 0 it carries the pty
// master and the port's state page as SCM_RIGHTS, in that order. Then each
// IoRequest gets one IoReply followed by `size` output bytes in the same
// message. Status values are Win32 errors.
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vcom {

inline constexpr std::uint32_t kMagic = 0x5A56434Fu;  // "ZVCO"

struct OpenReply {
  std::uint32_t magic;
  std::uint32_t status;  // 0, or ERROR_SHARING_VIOLATION for a second opener
};

struct IoRequest {
  std::uint32_t magic;
  std::uint32_t code;        // the I/O control code
  std::uint32_t outputSize;  // room the caller has for output
};

struct IoReply {
  std::uint32_t magic;
  std::uint32_t status;  // 0 or a Win32 error
  std::uint32_t size;    // output bytes that follow
};

inline constexpr std::uint32_t kMaxOutput = 64;

// The state page (a memfd, mapped by both): what vcomd alone knows about the
// port, so that an opener can answer GET_ZOL_INFO itself while both are 0 and
// the master shows an open, writable COM side. In every other case the
// question goes to vcomd, which then decides. vcomd writes; openers only read.
struct SharedState {
  std::atomic<std::uint32_t> magic;
  std::atomic<std::uint32_t> hold;          // a hold set through the control socket
  std::atomic<std::uint32_t> closePending;  // a close of the COM side not settled yet
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
inline constexpr std::size_t kSharedStateSize = 4096;
static_assert(sizeof(SharedState) <= kSharedStateSize);

// Private request of the Linux backend (not one of the driver's controls):
// discard what the application's side holds unread while it is closed.
inline constexpr std::uint32_t kPurge = 0x7001C0FCu;

}  // namespace vcom
