#pragma once
// The user-space side of the kernel driver zolvcom: which driver serves the
// ports, and one port's device side /dev/zolvcom/ZOL_COM<n>, a character
// device that answers the three I/O controls itself and fails reads and
// writes with EPIPE while the COM side is closed.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/posix/UniqueFd.h"
#include "vcom/Failure.h"

namespace vcom {

// The kernel driver serves the ports when it is loaded, unless
// ZOL_VCOM_DRIVER=vcomd asks for vcomd (a machine with both, under test).
bool KernelDriverChosen();
// Its ports (the entries of its class), or 0 when it is not chosen.
std::size_t KernelDriverPorts();
// The folder of its device sides.
std::string KernelDeviceFolder();
bool IsCharDevice(const std::string& path);

class KernelDevice {
 public:
  // Opens the device side (one opener at a time); false with why.
  bool Open(const std::string& path, Failure& why);
  void Close() { m_fd.Reset(); }
  bool IsOpen() const { return m_fd.IsValid(); }
  int Fd() const { return m_fd.Get(); }

  // DeviceIoControl without input, translated to the driver's controls.
  bool Control(std::uint32_t code, void* output, std::uint32_t outputSize, std::uint32_t* returned,
               Failure& why);
  // One attempt at a read or a whole write: 1 finished (done bytes), 0 would
  // block, -1 failed with why.
  int Read(void* buffer, std::uint32_t length, std::uint32_t& done, Failure& why);
  int Write(const void* buffer, std::uint32_t length, std::uint32_t& done, Failure& why);

 private:
  sys::posix::UniqueFd m_fd;
};

}  // namespace vcom
