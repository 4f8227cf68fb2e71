#include "vcom/KernelDevice.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "drivers/vcom/kernel/zolvcom_ioctl.h"
#include "platform/ErrorNumbers.h"
#include "vcom/DeviceClass.h"

namespace vcom {

using namespace sys::errnum;

namespace {

// The device side's errors as the driver's: a second opener is a sharing
// violation, a port removed under us a device that is gone.
Failure KernelError(int e) {
  switch (e) {
    case EBUSY: return Failure::Status(kErrorSharingViolation);
    case ENODEV:
    case ENXIO: return Failure::Status(kErrorDeviceNotConnected);
    default: return Failure::Errno(e);
  }
}

}  // namespace

bool KernelDriverChosen() {
  const char* choice = ::getenv("ZOL_VCOM_DRIVER");
  if (choice && std::strcmp(choice, "vcomd") == 0) return false;
  struct stat st {};
  return ::stat(ZOLVCOM_CLASS_DIR, &st) == 0;
}

std::size_t KernelDriverPorts() {
  if (!KernelDriverChosen()) return 0;
  std::size_t count = 0;
  if (DIR* dir = ::opendir(ZOLVCOM_CLASS_DIR)) {
    while (dirent* entry = ::readdir(dir))
      if (std::strncmp(entry->d_name, "ZOL_COM", 7) == 0) ++count;
    ::closedir(dir);
  }
  return count;
}

std::string KernelDeviceFolder() { return ZOLVCOM_DEV_DIR; }

bool IsCharDevice(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

bool KernelDevice::Open(const std::string& path, Failure& why) {
  m_fd.Reset(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (m_fd) return true;
  why = KernelError(errno);
  return false;
}

bool KernelDevice::Control(std::uint32_t code, void* output, std::uint32_t outputSize, std::uint32_t* returned,
                           Failure& why) {
  switch (code) {
    case kGetZolInfo: {
      if (!output || outputSize < kInfoSize) {
        why = Failure::Status(kErrorInsufficientBuffer);
        return false;
      }
      zolvcom_info info{};
      if (::ioctl(m_fd.Get(), ZOLVCOM_IOC_INFO, &info) != 0) {
        why = KernelError(errno);
        return false;
      }
      const std::uint32_t out[3] = {info.connected, info.hold, 0};
      std::memcpy(output, out, sizeof(out));
      if (returned) *returned = sizeof(out);
      return true;
    }
    case kSetRcvRdy:
    case kClrRcvRdy:
      if (::ioctl(m_fd.Get(), code == kSetRcvRdy ? ZOLVCOM_IOC_SET_RCVRDY : ZOLVCOM_IOC_CLR_RCVRDY) != 0) {
        why = KernelError(errno);
        return false;
      }
      return true;
    default:
      why = Failure::Status(kErrorInvalidFunction);
      return false;
  }
}

// The driver keeps openings apart itself: a transfer is the call.
int KernelDevice::Read(void* buffer, std::uint32_t length, std::uint32_t& done, Failure& why) {
  ssize_t n = ::read(m_fd.Get(), buffer, length);
  if (n >= 0) {
    done = static_cast<std::uint32_t>(n);
    return 1;
  }
  if (errno == EAGAIN || errno == EINTR) return 0;
  why = KernelError(errno);
  return -1;
}

int KernelDevice::Write(const void* buffer, std::uint32_t length, std::uint32_t& done, Failure& why) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  while (done < length) {
    ssize_t n = ::write(m_fd.Get(), bytes + done, length - done);
    if (n > 0) {
      done += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    why = KernelError(n < 0 ? errno : EIO);
    return -1;
  }
  return 1;
}

}  // namespace vcom
