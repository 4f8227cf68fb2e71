#pragma once
// Socket helpers shared by the simulated-device provider and hidsim (Linux).
// Errors are reported as Win32 numbers, as the providers report them.
#include <cstdint>
#include <string>

#include "drivers/hid/sim/SimProtocol.h"
#include "platform/SecureZero.h"

namespace hidsim {

// An owned file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : m_fd(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : m_fd(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      m_fd = other.Release();
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int Get() const { return m_fd; }
  bool Valid() const { return m_fd >= 0; }
  int Release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int m_fd = -1;
};

// Messages may carry card data: their buffers are wiped before they are freed
// or reused.
inline void WipeBytes(Bytes& bytes) { sys::SecureZero(bytes.data(), bytes.size()); }
class WipeOnExit {
 public:
  explicit WipeOnExit(Bytes& bytes) : m_bytes(bytes) {}
  ~WipeOnExit() { WipeBytes(m_bytes); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  Bytes& m_bytes;
};

// <ZOL_SYSROOT>/run/zol/hidsim (no trailing separator).
std::string DeviceFolder();
// Creates a folder and its parents; true if it exists afterwards.
bool MakeFolders(const std::string& path);
// The socket path of the device NAME.
std::string DevicePath(const std::string& name);

// The Win32 number for an errno of a socket call towards a device: a device
// that is gone (no socket, refused, reset, closed) is ERROR_DEVICE_NOT_CONNECTED.
std::uint32_t Win32FromErrno(int err);

// How long a connect, and each blocking send on the connection, may wait for
// a device (one that never accepts must not hold up its caller).
inline constexpr int kConnectTimeoutMs = 2000;

// Connects to a device socket (close-on-exec, blocking with sends bounded by
// timeoutMs). On failure returns an invalid Fd and sets *error; a device that
// did not take the connection in time is ERROR_TIMEOUT.
Fd ConnectDevice(const std::string& path, std::uint32_t* error, int timeoutMs = kConnectTimeoutMs);

// Sends one message; never raises SIGPIPE. Non-blocking sends fail with
// ERROR_IO_PENDING when the peer's queue is full.
bool SendMessage(int fd, const Bytes& message, bool nonBlocking, std::uint32_t* error);

// Receives one message, waiting at most timeoutMs (-1: no limit). The buffer
// is wiped before it is resized or given up. A closed
// peer gives ERROR_DEVICE_NOT_CONNECTED, the time limit ERROR_TIMEOUT.
bool ReceiveMessage(int fd, Bytes* message, int timeoutMs, std::uint32_t* error);

// Connects, sends one request, waits for the reply and disconnects. The reply
// must be of the type expected, else 'E' carries the error and anything else
// is ERROR_INVALID_DATA.
bool Request(const std::string& path, const Bytes& request, MsgType expected, Bytes* replyPayload,
             int timeoutMs, std::uint32_t* error);

}  // namespace hidsim
