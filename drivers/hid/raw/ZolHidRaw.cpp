// ZolHidRaw.so: the HID provider for real devices through hidraw. One hidraw
// node is one USB interface; its identity and report descriptor come from
// sysfs (readable without access to the node), transfers from the node.
#include <errno.h>
#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "interfaces/ZolHidProvider.h"
#include "drivers/hid/raw/HidDescriptor.h"
#include "platform/ErrorNumbers.h"
#include "platform/SecureZero.h"

namespace {

using namespace sys::errnum;

// errno of a transfer on a hidraw node: a node whose device is gone answers
// ENODEV, EIO or ENXIO (and POLLHUP/POLLERR to poll).
std::uint32_t TransferError(int error) {
  switch (error) {
    case EAGAIN: return kErrorIoPending;
    case ENODEV:
    case EIO:
    case ENXIO:
    case ESHUTDOWN: return kErrorDeviceNotConnected;
    case ETIMEDOUT: return kErrorTimeout;
    case EINVAL: return kErrorInvalidParameter;
    case ENOMEM: return kErrorNotEnoughMemory;
    default: return kErrorGenFailure;
  }
}

std::uint32_t OpenError(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO: return kErrorFileNotFound;
    case EACCES:
    case EPERM: return kErrorAccessDenied;
    default: return kErrorGenFailure;
  }
}

bool ReadFile(const std::string& path, std::string& content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// "hidraw3" from "/dev/hidraw3"; empty for anything but a hidraw node path,
// so identity (from sysfs) and transfers (from the node) are of one device.
std::string NodeName(const char* path) {
  static const char kPrefix[] = "/dev/hidraw";
  const std::size_t prefix = sizeof(kPrefix) - 1;
  if (std::strncmp(path, kPrefix, prefix) != 0) return {};
  const char* digits = path + prefix;
  if (*digits == '\0' || std::strlen(digits) > 6) return {};
  for (const char* p = digits; *p; ++p) {
    if (*p < '0' || *p > '9') return {};
  }
  return path + 5;
}

struct Identity {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  std::uint16_t version = 0;
  std::string serial;
  bool hasSerial = false;
  hiddesc::ParsedDescriptor parsed;
};

// Reads the node's identity from sysfs: the HID device's uevent (HID_ID,
// HID_UNIQ) and report_descriptor, the USB device's bcdDevice when there is one.
std::uint32_t LoadIdentity(const std::string& node, Identity& id) {
  const std::string name = NodeName(node.c_str());
  if (name.empty()) return kErrorFileNotFound;
  const std::string hid = "/sys/class/hidraw/" + name + "/device/";
  std::string uevent;
  if (!ReadFile(hid + "uevent", uevent)) return kErrorFileNotFound;
  std::size_t at = 0;
  while (at < uevent.size()) {
    std::size_t end = uevent.find('\n', at);
    if (end == std::string::npos) end = uevent.size();
    const std::string line = uevent.substr(at, end - at);
    unsigned bus = 0, vendor = 0, product = 0;
    if (line.rfind("HID_ID=", 0) == 0 && std::sscanf(line.c_str() + 7, "%x:%x:%x", &bus, &vendor, &product) == 3) {
      id.vendor = static_cast<std::uint16_t>(vendor);
      id.product = static_cast<std::uint16_t>(product);
    } else if (line.rfind("HID_UNIQ=", 0) == 0) {
      id.serial = line.substr(9);
      id.hasSerial = !id.serial.empty();
    }
    at = end + 1;
  }
  std::string descriptor;
  if (!ReadFile(hid + "report_descriptor", descriptor)) return kErrorFileNotFound;
  if (hiddesc::Parse(reinterpret_cast<const std::uint8_t*>(descriptor.data()), descriptor.size(), id.parsed) !=
      hiddesc::ParseResult::Ok) {
    return kErrorInvalidData;
  }
  // The USB device is a few levels up; uhid devices have none.
  udev* u = udev_new();
  if (u) {
    udev_device* dev = udev_device_new_from_subsystem_sysname(u, "hidraw", name.c_str());
    if (dev) {
      udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device");
      const char* bcd = usb ? udev_device_get_sysattr_value(usb, "bcdDevice") : nullptr;
      if (bcd) id.version = static_cast<std::uint16_t>(std::strtoul(bcd, nullptr, 16));
      udev_device_unref(dev);
    }
    udev_unref(u);
  }
  return 0;
}

}  // namespace

struct ZolHidDevice {
  int fd = -1;
  Identity id;
};

struct ZolHidWatch {
  udev* u = nullptr;
  udev_monitor* monitor = nullptr;
};

extern "C" {

ZOLHID_EXPORT uint32_t ZolHid_EnumerateInterfaces(char* buffer, uint32_t size, uint32_t* needed) {
  if (!needed || (size > 0 && !buffer)) return kErrorInvalidParameter;
  udev* u = udev_new();
  if (!u) return kErrorGenFailure;
  std::string list;
  udev_enumerate* e = udev_enumerate_new(u);
  if (e && udev_enumerate_add_match_subsystem(e, "hidraw") >= 0 && udev_enumerate_scan_devices(e) >= 0) {
    for (udev_list_entry* entry = udev_enumerate_get_list_entry(e); entry; entry = udev_list_entry_get_next(entry)) {
      udev_device* dev = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
      if (!dev) continue;
      const char* node = udev_device_get_devnode(dev);
      if (node) {
        list += node;
        list += '\0';
      }
      udev_device_unref(dev);
    }
  }
  if (e) udev_enumerate_unref(e);
  udev_unref(u);
  list += '\0';
  *needed = static_cast<uint32_t>(list.size());
  if (list.size() > size) return kErrorInsufficientBuffer;
  std::memcpy(buffer, list.data(), list.size());
  return 0;
}

ZOLHID_EXPORT uint32_t ZolHid_Open(const char* path, uint32_t mode, ZolHidDevice** device) {
  if (!path || !device || mode > ZOLHID_OPEN_WRITE) return kErrorInvalidParameter;
  *device = nullptr;
  auto* d = new (std::nothrow) ZolHidDevice;
  if (!d) return kErrorNotEnoughMemory;
  const std::uint32_t rc = LoadIdentity(path, d->id);
  if (rc != 0) {
    delete d;
    return rc;
  }
  if (mode != ZOLHID_OPEN_QUERY) {
    d->fd = ::open(path, (mode == ZOLHID_OPEN_READ ? O_RDONLY : O_WRONLY) | O_NONBLOCK | O_CLOEXEC);
    if (d->fd < 0) {
      const int error = errno;
      delete d;
      return OpenError(error);
    }
  }
  *device = d;
  return 0;
}

ZOLHID_EXPORT void ZolHid_Close(ZolHidDevice* device) {
  if (!device) return;
  if (device->fd >= 0) ::close(device->fd);
  delete device;
}

ZOLHID_EXPORT uint32_t ZolHid_GetAttributes(ZolHidDevice* device, ZolHidAttributes* attributes) {
  if (!device || !attributes) return kErrorInvalidParameter;
  attributes->size = sizeof(ZolHidAttributes);
  attributes->vendorId = device->id.vendor;
  attributes->productId = device->id.product;
  attributes->versionNumber = device->id.version;
  return 0;
}

ZOLHID_EXPORT uint32_t ZolHid_GetCaps(ZolHidDevice* device, ZolHidCaps* caps) {
  if (!device || !caps) return kErrorInvalidParameter;
  hiddesc::ToCaps(device->id.parsed, *caps);
  return 0;
}

ZOLHID_EXPORT uint32_t ZolHid_GetValueCaps(ZolHidDevice* device, uint32_t reportType, ZolHidValueCaps* caps,
                                           uint32_t* count) {
  if (!device || !count || reportType > ZOLHID_REPORT_FEATURE || (*count > 0 && !caps)) return kErrorInvalidParameter;
  const auto& values = device->id.parsed.valueCaps[reportType];
  const uint32_t n = *count < values.size() ? *count : static_cast<uint32_t>(values.size());
  if (n > 0) std::memcpy(caps, values.data(), n * sizeof(ZolHidValueCaps));
  if (n < values.size()) {
    *count = static_cast<uint32_t>(values.size());
    return kErrorInsufficientBuffer;
  }
  *count = n;
  return 0;
}

ZOLHID_EXPORT uint32_t ZolHid_GetSerialNumber(ZolHidDevice* device, char* buffer, uint32_t size) {
  if (!device || !buffer || size == 0) return kErrorInvalidParameter;
  if (!device->id.hasSerial) return kErrorNotSupported;
  const std::size_t n = device->id.serial.size() < size - 1 ? device->id.serial.size() : size - 1;
  std::memcpy(buffer, device->id.serial.data(), n);
  buffer[n] = '\0';
  return 0;
}

ZOLHID_EXPORT uint32_t ZolHid_FlushQueue(ZolHidDevice* device) {
  if (!device || device->fd < 0) return kErrorInvalidHandle;
  // Reports pass through here on their way to nowhere: wiped once read.
  std::uint8_t scratch[hiddesc::kMaxReportBytes + 1];
  for (;;) {
    if (::read(device->fd, scratch, sizeof(scratch)) >= 0) continue;
    const std::uint32_t rc = TransferError(errno);
    sys::SecureZero(scratch, sizeof(scratch));
    return rc == kErrorIoPending ? 0 : rc;
  }
}

ZOLHID_EXPORT uint32_t ZolHid_SetNumInputBuffers(ZolHidDevice* device, uint32_t count) {
  // The kernel keeps its own fixed queue per open node.
  if (!device || device->fd < 0 || count < 2) return kErrorInvalidParameter;
  return 0;
}

ZOLHID_EXPORT uint32_t ZolHid_GetPollDescriptor(ZolHidDevice* device, int* fd) {
  if (!device || !fd || device->fd < 0) return kErrorInvalidHandle;
  *fd = device->fd;
  return 0;
}

ZOLHID_EXPORT uint32_t ZolHid_ReadInputReport(ZolHidDevice* device, uint8_t* buffer, uint32_t size,
                                              uint32_t* transferred) {
  if (!device || device->fd < 0) return kErrorInvalidHandle;
  if (!buffer || !transferred || size == 0) return kErrorInvalidParameter;
  *transferred = 0;
  // Without report ids the node gives the report alone; Windows puts a 0 id
  // byte in front.
  const bool ids = device->id.parsed.usesReportIds;
  uint8_t* into = ids ? buffer : buffer + 1;
  const std::size_t room = ids ? size : size - 1;
  const ssize_t n = ::read(device->fd, into, room);
  if (n < 0) return TransferError(errno);
  if (!ids) buffer[0] = 0;
  *transferred = static_cast<uint32_t>(n) + (ids ? 0 : 1);
  return 0;
}

ZOLHID_EXPORT uint32_t ZolHid_WriteOutputReport(ZolHidDevice* device, const uint8_t* buffer, uint32_t size) {
  if (!device || device->fd < 0) return kErrorInvalidHandle;
  if (!buffer || size == 0) return kErrorInvalidParameter;
  // The node takes the report id byte first in both cases.
  const ssize_t n = ::write(device->fd, buffer, size);
  if (n < 0) return TransferError(errno);
  return static_cast<uint32_t>(n) == size ? 0 : kErrorGenFailure;
}

ZOLHID_EXPORT uint32_t ZolHid_GetFeature(ZolHidDevice* device, uint8_t* buffer, uint32_t size) {
  if (!device || device->fd < 0) return kErrorInvalidHandle;
  if (!buffer || size == 0 || size > hiddesc::kMaxReportBytes + 1) return kErrorInvalidParameter;
  if (::ioctl(device->fd, HIDIOCGFEATURE(size), buffer) < 0) return TransferError(errno);
  return 0;
}

ZOLHID_EXPORT uint32_t ZolHid_WatchOpen(ZolHidWatch** watch) {
  if (!watch) return kErrorInvalidParameter;
  *watch = nullptr;
  auto* w = new (std::nothrow) ZolHidWatch;
  if (!w) return kErrorNotEnoughMemory;
  w->u = udev_new();
  // Events from udevd come once the node is set up; without udevd (a
  // container) the kernel's own events are all there is.
  const char* source = ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
  if (w->u) w->monitor = udev_monitor_new_from_netlink(w->u, source);
  if (!w->monitor || udev_monitor_filter_add_match_subsystem_devtype(w->monitor, "hidraw", nullptr) < 0 ||
      udev_monitor_enable_receiving(w->monitor) < 0) {
    if (w->monitor) udev_monitor_unref(w->monitor);
    if (w->u) udev_unref(w->u);
    delete w;
    return kErrorGenFailure;
  }
  *watch = w;
  return 0;
}

ZOLHID_EXPORT uint32_t ZolHid_WatchDescriptor(ZolHidWatch* watch, int* fd) {
  if (!watch || !fd) return kErrorInvalidParameter;
  *fd = udev_monitor_get_fd(watch->monitor);
  return *fd >= 0 ? 0 : kErrorInvalidHandle;
}

ZOLHID_EXPORT uint32_t ZolHid_WatchNext(ZolHidWatch* watch, ZolHidEvent* event) {
  if (!watch || !event) return kErrorInvalidParameter;
  // The monitor socket is non-blocking: no queued device means no event.
  while (udev_device* dev = udev_monitor_receive_device(watch->monitor)) {
    const char* action = udev_device_get_action(dev);
    const char* node = udev_device_get_devnode(dev);
    uint32_t kind = 0;
    if (action && std::strcmp(action, "add") == 0) kind = ZOLHID_EVENT_ARRIVAL;
    if (action && std::strcmp(action, "remove") == 0) kind = ZOLHID_EVENT_REMOVAL;
    if (kind != 0 && node && std::strlen(node) < sizeof(event->path)) {
      event->kind = kind;
      std::strcpy(event->path, node);
      udev_device_unref(dev);
      return 0;
    }
    udev_device_unref(dev);
  }
  return kErrorNoMoreItems;
}

ZOLHID_EXPORT void ZolHid_WatchClose(ZolHidWatch* watch) {
  if (!watch) return;
  udev_monitor_unref(watch->monitor);
  udev_unref(watch->u);
  delete watch;
}

}  // extern "C"
