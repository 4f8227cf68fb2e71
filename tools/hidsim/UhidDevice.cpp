#include "tools/hidsim/UhidDevice.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace hidsim {
namespace {

void Append(Bytes& d, std::initializer_list<std::uint8_t> items) { d.insert(d.end(), items); }

// A field of `count` 8-bit values of the collection's usage 1; count 0 adds
// nothing. mainItem: 0x81 input, 0x91 output, 0xB1 feature (each Data,Var,Abs).
void Field(Bytes& d, std::size_t count, std::uint8_t mainItem) {
  if (count == 0) return;
  Append(d, {0x96, static_cast<std::uint8_t>(count & 0xFF), static_cast<std::uint8_t>(count >> 8), 0x09, 0x01, mainItem,
             0x02});
}

// Report lengths count the report id byte; the fields do not.
std::size_t Body(std::uint16_t length) { return length > 0 ? length - 1u : 0u; }

}  // namespace

Bytes UhidReportDescriptor(const SimIdentity& identity) {
  Bytes d;
  // Usage page (2 bytes), usage (2 bytes), application collection.
  Append(d, {0x06, static_cast<std::uint8_t>(identity.usagePage & 0xFF),
             static_cast<std::uint8_t>(identity.usagePage >> 8), 0x0A, static_cast<std::uint8_t>(identity.usage & 0xFF),
             static_cast<std::uint8_t>(identity.usage >> 8), 0xA1, 0x01});
  // Logical 0..255, 8-bit fields.
  Append(d, {0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08});
  Field(d, Body(identity.inputLength), 0x81);
  Field(d, Body(identity.outputLength), 0x91);
  Field(d, Body(identity.featureLength), 0xB1);
  d.push_back(0xC0);
  return d;
}

UhidDevice::~UhidDevice() {
  if (!m_created) return;
  uhid_event ev{};
  ev.type = UHID_DESTROY;
  Write(ev);
}

UhidDevice::OpenResult UhidDevice::Open() {
  m_fd.Reset(::open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK));
  if (m_fd.Valid()) return OpenResult::Ok;
  return errno == ENOENT || errno == ENODEV || errno == ENXIO ? OpenResult::Absent : OpenResult::Failed;
}

bool UhidDevice::Create(const std::string& name, const SimIdentity& identity) {
  const Bytes descriptor = UhidReportDescriptor(identity);
  uhid_event ev{};
  ev.type = UHID_CREATE2;
  auto copy = [](std::uint8_t* to, std::size_t room, const std::string& text) {
    std::memcpy(to, text.data(), std::min(room - 1, text.size()));
  };
  copy(ev.u.create2.name, sizeof(ev.u.create2.name), "hidsim " + name);
  copy(ev.u.create2.phys, sizeof(ev.u.create2.phys), "hidsim/" + name);
  copy(ev.u.create2.uniq, sizeof(ev.u.create2.uniq), identity.serial);
  ev.u.create2.rd_size = static_cast<std::uint16_t>(descriptor.size());
  ev.u.create2.bus = BUS_USB;
  ev.u.create2.vendor = identity.vendorId;
  ev.u.create2.product = identity.productId;
  ev.u.create2.version = identity.version;
  std::memcpy(ev.u.create2.rd_data, descriptor.data(), descriptor.size());
  m_created = Write(ev);
  return m_created;
}

bool UhidDevice::Read(uhid_event& event) {
  for (;;) {
    const ssize_t n = ::read(m_fd.Get(), &event, sizeof(event));
    if (n > 0) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

bool UhidDevice::Input(const std::uint8_t* data, std::size_t length) {
  uhid_event ev{};
  ev.type = UHID_INPUT2;
  if (length > sizeof(ev.u.input2.data)) return false;
  ev.u.input2.size = static_cast<std::uint16_t>(length);
  if (length > 0) std::memcpy(ev.u.input2.data, data, length);
  return Write(ev);
}

bool UhidDevice::ReplyGetReport(std::uint32_t id, const Bytes& report, std::uint16_t error) {
  uhid_event ev{};
  ev.type = UHID_GET_REPORT_REPLY;
  ev.u.get_report_reply.id = id;
  ev.u.get_report_reply.err = error;
  if (error == 0) {
    if (report.size() > sizeof(ev.u.get_report_reply.data)) return false;
    ev.u.get_report_reply.size = static_cast<std::uint16_t>(report.size());
    std::memcpy(ev.u.get_report_reply.data, report.data(), report.size());
  }
  const bool ok = Write(ev);
  sys::SecureZero(&ev, sizeof(ev));
  return ok;
}

bool UhidDevice::ReplySetReport(std::uint32_t id, std::uint16_t error) {
  uhid_event ev{};
  ev.type = UHID_SET_REPORT_REPLY;
  ev.u.set_report_reply.id = id;
  ev.u.set_report_reply.err = error;
  return Write(ev);
}

bool UhidDevice::Write(const uhid_event& event) {
  for (;;) {
    if (::write(m_fd.Get(), &event, sizeof(event)) == static_cast<ssize_t>(sizeof(event))) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace hidsim
