#pragma once
// A kernel HID device made through /dev/uhid: what hidsim --uhid plugs in.
// Its report descriptor declares one vendor collection with the identity's
// usage and report lengths (8-bit fields, no report ids), so the kernel's
// hidraw node reports exactly those lengths.
#include <linux/uhid.h>

#include <cstdint>
#include <string>

#include "drivers/hid/sim/SimSocket.h"

namespace hidsim {

// The report descriptor of a device with this identity.
Bytes UhidReportDescriptor(const SimIdentity& identity);

class UhidDevice {
 public:
  enum class OpenResult { Ok, Absent, Failed };

  UhidDevice() = default;
  // Destroys the kernel device: the host sees it unplugged.
  ~UhidDevice();
  UhidDevice(const UhidDevice&) = delete;
  UhidDevice& operator=(const UhidDevice&) = delete;

  // Opens /dev/uhid (errno set on failure; Absent when there is no such node).
  OpenResult Open();
  // Creates the device; true once the kernel took it.
  bool Create(const std::string& name, const SimIdentity& identity);
  int Descriptor() const { return m_fd.Get(); }

  // The next event, read without blocking; false when none is queued (errno
  // EAGAIN) or on an error.
  bool Read(uhid_event& event);
  // Sends an input report (without a report id, as the descriptor has none).
  bool Input(const std::uint8_t* data, std::size_t length);
  // Answers GET_REPORT: the report with its id byte first, or an errno.
  bool ReplyGetReport(std::uint32_t id, const Bytes& report, std::uint16_t error);
  bool ReplySetReport(std::uint32_t id, std::uint16_t error);

 private:
  bool Write(const uhid_event& event);
  Fd m_fd;
  bool m_created = false;
};

}  // namespace hidsim
