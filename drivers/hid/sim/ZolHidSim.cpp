// ZolHidSim.so: the HID provider for devices simulated by hidsim. Each device
// is a SOCK_SEQPACKET socket in <ZOL_SYSROOT>/run/zol/hidsim/; the wire is
// described in SimProtocol.h.
#define ZOLHID_BUILDING_PROVIDER 1
#include "interfaces/ZolHidProvider.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "drivers/hid/sim/SimProtocol.h"
#include "drivers/hid/sim/SimSocket.h"
#include "platform/WinTypes.h"

using hidsim::Bytes;
using hidsim::Fd;
using hidsim::MsgType;

namespace {

constexpr int kReplyTimeoutMs = 5000;
// Open's questions: a simulator answers at once, so one that does not is
// given up on well before a caller's own limits.
constexpr int kOpenReplyTimeoutMs = 2000;
constexpr std::uint32_t kDefaultInputBuffers = 32;
constexpr std::uint32_t kMinInputBuffers = 2;
constexpr std::uint32_t kMaxInputBuffers = 512;

// A path names a device when it is <device folder>/<device entry name>.
bool SplitDevicePath(const std::string& path, std::string* name) {
  const std::string folder = hidsim::DeviceFolder() + "/";
  if (path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0) return false;
  *name = path.substr(folder.size());
  return name->find('/') == std::string::npos && hidsim::IsDeviceEntryName(*name);
}

std::uint32_t AskIdentity(int fd, hidsim::SimIdentity* identity) {
  std::uint32_t error = 0;
  if (!hidsim::SendMessage(fd, hidsim::Message(MsgType::GetIdentity), false, &error)) return error;
  Bytes reply;
  if (!hidsim::ReceiveMessage(fd, &reply, kOpenReplyTimeoutMs, &error)) return error;
  if (reply[0] != static_cast<std::uint8_t>(MsgType::Identity)) return ERROR_GEN_FAILURE;
  const auto decoded = hidsim::DecodeIdentity(reply.data() + 1, reply.size() - 1);
  if (!decoded) return ERROR_GEN_FAILURE;
  *identity = *decoded;
  return ERROR_SUCCESS;
}

// Queued reports may carry card data: wiped as they leave the queue.
void DropFront(std::deque<Bytes>& queue) {
  hidsim::WipeBytes(queue.front());
  queue.pop_front();
}

void DropAll(std::deque<Bytes>& queue) {
  while (!queue.empty()) DropFront(queue);
}

// A device that is not there to connect to is a path not present.
std::uint32_t OpenError(std::uint32_t error) {
  return error == ERROR_DEVICE_NOT_CONNECTED ? ERROR_FILE_NOT_FOUND : error;
}

}  // namespace

struct ZolHidDevice {
  std::string path;
  std::uint32_t mode = ZOLHID_OPEN_QUERY;
  hidsim::SimIdentity identity;
  Fd fd;  // READ: subscribed to input reports; WRITE: output reports; QUERY: none

  std::mutex lock;  // the input queue and the gone flag
  std::deque<Bytes> queue;
  std::uint32_t maxQueued = kDefaultInputBuffers;
  bool gone = false;

  ~ZolHidDevice() { DropAll(queue); }

  // Moves what the socket holds into the queue, oldest dropped beyond the
  // limit. Called with the lock held; false once the device has gone.
  bool Drain() {
    if (gone) return false;
    Bytes msg(hidsim::kMaxMessage);
    const hidsim::WipeOnExit wipe(msg);
    for (;;) {
      const ssize_t n = ::recv(fd.Get(), msg.data(), msg.size(), MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return true;
        gone = true;
        return false;
      }
      if (n == 0) {
        gone = true;
        return false;
      }
      if (msg[0] != static_cast<std::uint8_t>(MsgType::Input)) continue;
      queue.emplace_back(msg.begin() + 1, msg.begin() + n);
      while (queue.size() > maxQueued) DropFront(queue);
    }
  }
};

// A simulator killed outright leaves its socket's name behind, so inotify
// never reports the removal. The watch therefore keeps one idle connection
// per device and reports the removal when the device's end closes it.
struct ZolHidWatch {
  Fd inotify;
  Fd epoll;  // the watch's descriptor: inotify and every link
  std::string folder;
  std::mutex lock;
  std::deque<ZolHidEvent> events;
  std::map<std::string, Fd> links;  // device path -> idle connection
  // Removals already reported from a link whose name was still there: its
  // name's own removal, if it comes later, is not reported twice.
  std::set<std::string> reported;

  void Link(const std::string& path) {
    std::uint32_t error = 0;
    Fd fd = hidsim::ConnectDevice(path, &error);
    if (!fd.Valid()) return;
    epoll_event e{};
    e.events = EPOLLIN | EPOLLRDHUP;
    if (::epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, fd.Get(), &e) != 0) return;
    links[path] = std::move(fd);
  }

  void Queue(std::uint32_t kind, const std::string& path) {
    ZolHidEvent out{};
    out.kind = kind;
    if (path.size() >= sizeof(out.path)) return;
    std::memcpy(out.path, path.c_str(), path.size() + 1);
    events.push_back(out);
  }

  // Reports, and drops, every link whose device has gone.
  void CheckLinks() {
    for (auto it = links.begin(); it != links.end();) {
      if (LinkAlive(it->second.Get())) {
        ++it;
        continue;
      }
      Queue(ZOLHID_EVENT_REMOVAL, it->first);
      reported.insert(it->first);
      it = links.erase(it);  // closing it takes it out of the epoll set
    }
  }

  static bool LinkAlive(int fd) {
    for (;;) {
      pollfd p{fd, POLLIN | POLLRDHUP, 0};
      if (::poll(&p, 1, 0) < 0) return errno == EINTR;
      if ((p.revents & (POLLHUP | POLLERR | POLLRDHUP | POLLNVAL)) != 0) return false;
      if ((p.revents & POLLIN) == 0) return true;
      // Nothing is due on an idle connection; whatever comes is discarded.
      Bytes msg(hidsim::kMaxMessage);
      const hidsim::WipeOnExit wipe(msg);
      const ssize_t n = ::recv(fd, msg.data(), msg.size(), MSG_DONTWAIT);
      if (n == 0) return false;
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    }
  }
};

extern "C" {

ZOLHID_EXPORT uint32_t ZolHid_EnumerateInterfaces(char* buffer, uint32_t size, uint32_t* needed) {
  if (needed == nullptr) return ERROR_INVALID_PARAMETER;
  const std::string folder = hidsim::DeviceFolder();
  std::vector<std::string> paths;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (!hidsim::IsDeviceEntryName(name)) continue;
      const std::string path = folder + "/" + name;
      struct stat st {};
      if (::stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
      // A socket left behind by a simulator that was killed is not a device.
      std::uint32_t error = 0;
      if (!hidsim::ConnectDevice(path, &error).Valid()) continue;
      paths.push_back(path);
    }
    ::closedir(dir);
  } else if (errno != ENOENT) {
    return hidsim::Win32FromErrno(errno);
  }
  std::sort(paths.begin(), paths.end());
  std::size_t total = 1;
  for (const std::string& p : paths) total += p.size() + 1;
  *needed = static_cast<uint32_t>(total);
  if (buffer == nullptr || size < total) return ERROR_INSUFFICIENT_BUFFER;
  char* out = buffer;
  for (const std::string& p : paths) {
    std::memcpy(out, p.c_str(), p.size() + 1);
    out += p.size() + 1;
  }
  *out = '\0';
  return ERROR_SUCCESS;
}

ZOLHID_EXPORT uint32_t ZolHid_Open(const char* path, uint32_t mode, ZolHidDevice** device) {
  if (path == nullptr || device == nullptr || mode > ZOLHID_OPEN_WRITE) return ERROR_INVALID_PARAMETER;
  *device = nullptr;
  std::string name;
  if (!SplitDevicePath(path, &name)) return ERROR_FILE_NOT_FOUND;
  auto* dev = new (std::nothrow) ZolHidDevice;
  if (dev == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  dev->path = path;
  dev->mode = mode;
  std::uint32_t error = 0;
  Fd fd = hidsim::ConnectDevice(dev->path, &error);
  if (!fd.Valid()) {
    delete dev;
    return OpenError(error);
  }
  error = AskIdentity(fd.Get(), &dev->identity);
  if (error == ERROR_SUCCESS && mode == ZOLHID_OPEN_READ) {
    // Subscribed before Open returns: no answer to a later write is missed.
    if (!hidsim::SendMessage(fd.Get(), hidsim::Message(MsgType::Subscribe), false, &error)) {
      // error set
    } else {
      Bytes reply;
      if (hidsim::ReceiveMessage(fd.Get(), &reply, kOpenReplyTimeoutMs, &error)) {
        error = reply[0] == static_cast<std::uint8_t>(MsgType::Subscribed) ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
      }
    }
  }
  if (error != ERROR_SUCCESS) {
    delete dev;
    return OpenError(error);
  }
  if (mode != ZOLHID_OPEN_QUERY) dev->fd = std::move(fd);
  *device = dev;
  return ERROR_SUCCESS;
}

ZOLHID_EXPORT void ZolHid_Close(ZolHidDevice* device) { delete device; }

ZOLHID_EXPORT uint32_t ZolHid_GetAttributes(ZolHidDevice* device, ZolHidAttributes* attributes) {
  if (device == nullptr || attributes == nullptr) return ERROR_INVALID_PARAMETER;
  attributes->size = sizeof(ZolHidAttributes);
  attributes->vendorId = device->identity.vendorId;
  attributes->productId = device->identity.productId;
  attributes->versionNumber = device->identity.version;
  return ERROR_SUCCESS;
}

// A simulated report is one vendor-defined array of bytes after the report id:
// one value capability per report kind that has bytes.
static uint16_t ValueBytes(uint16_t reportLength) { return reportLength > 1 ? reportLength - 1 : 0; }

static uint16_t ReportLength(const hidsim::SimIdentity& id, uint32_t reportType) {
  switch (reportType) {
    case ZOLHID_REPORT_INPUT:
      return id.inputLength;
    case ZOLHID_REPORT_OUTPUT:
      return id.outputLength;
    default:
      return id.featureLength;
  }
}

ZOLHID_EXPORT uint32_t ZolHid_GetCaps(ZolHidDevice* device, ZolHidCaps* caps) {
  if (device == nullptr || caps == nullptr) return ERROR_INVALID_PARAMETER;
  const hidsim::SimIdentity& id = device->identity;
  *caps = ZolHidCaps{};
  caps->usage = id.usage;
  caps->usagePage = id.usagePage;
  caps->inputReportByteLength = id.inputLength;
  caps->outputReportByteLength = id.outputLength;
  caps->featureReportByteLength = id.featureLength;
  caps->numberLinkCollectionNodes = 1;
  caps->numberInputValueCaps = ValueBytes(id.inputLength) > 0 ? 1 : 0;
  caps->numberOutputValueCaps = ValueBytes(id.outputLength) > 0 ? 1 : 0;
  caps->numberFeatureValueCaps = ValueBytes(id.featureLength) > 0 ? 1 : 0;
  return ERROR_SUCCESS;
}

ZOLHID_EXPORT uint32_t ZolHid_GetValueCaps(ZolHidDevice* device, uint32_t reportType, ZolHidValueCaps* caps,
                                           uint32_t* count) {
  if (device == nullptr || count == nullptr || reportType > ZOLHID_REPORT_FEATURE) return ERROR_INVALID_PARAMETER;
  const uint16_t bytes = ValueBytes(ReportLength(device->identity, reportType));
  const uint32_t available = bytes > 0 ? 1 : 0;
  if (available == 0) {
    *count = 0;
    return ERROR_SUCCESS;
  }
  if (*count < available || caps == nullptr) {
    *count = available;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  caps[0] = ZolHidValueCaps{};
  caps[0].usagePage = device->identity.usagePage;
  caps[0].reportId = 0;
  caps[0].isRange = 0;
  caps[0].bitSize = 8;
  caps[0].reportCount = bytes;
  caps[0].logicalMin = 0;
  caps[0].logicalMax = 255;
  caps[0].usageMin = caps[0].usageMax = static_cast<uint16_t>(reportType + 1);
  *count = available;
  return ERROR_SUCCESS;
}

ZOLHID_EXPORT uint32_t ZolHid_GetSerialNumber(ZolHidDevice* device, char* buffer, uint32_t size) {
  if (device == nullptr || buffer == nullptr || size == 0) return ERROR_INVALID_PARAMETER;
  const std::string& serial = device->identity.serial;
  if (serial.empty()) return ERROR_NOT_SUPPORTED;
  const std::size_t n = std::min<std::size_t>(serial.size(), size - 1);
  std::memcpy(buffer, serial.data(), n);
  buffer[n] = '\0';
  return ERROR_SUCCESS;
}

ZOLHID_EXPORT uint32_t ZolHid_FlushQueue(ZolHidDevice* device) {
  if (device == nullptr || device->mode != ZOLHID_OPEN_READ) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(device->lock);
  const bool present = device->Drain();
  DropAll(device->queue);
  return present ? ERROR_SUCCESS : ERROR_DEVICE_NOT_CONNECTED;
}

ZOLHID_EXPORT uint32_t ZolHid_SetNumInputBuffers(ZolHidDevice* device, uint32_t count) {
  if (device == nullptr || count < kMinInputBuffers || count > kMaxInputBuffers) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(device->lock);
  device->maxQueued = count;
  while (device->queue.size() > count) DropFront(device->queue);
  return ERROR_SUCCESS;
}

ZOLHID_EXPORT uint32_t ZolHid_GetPollDescriptor(ZolHidDevice* device, int* fd) {
  if (device == nullptr || fd == nullptr || !device->fd.Valid()) return ERROR_INVALID_PARAMETER;
  *fd = device->fd.Get();
  return ERROR_SUCCESS;
}

ZOLHID_EXPORT uint32_t ZolHid_ReadInputReport(ZolHidDevice* device, uint8_t* buffer, uint32_t size,
                                              uint32_t* transferred) {
  if (device == nullptr || buffer == nullptr || transferred == nullptr || device->mode != ZOLHID_OPEN_READ) {
    return ERROR_INVALID_PARAMETER;
  }
  *transferred = 0;
  std::lock_guard<std::mutex> guard(device->lock);
  // Once gone, always gone, even with reports still queued: as a vanished
  // device's handle behaves.
  if (!device->Drain()) return ERROR_DEVICE_NOT_CONNECTED;
  if (device->queue.empty()) return ERROR_IO_PENDING;
  const Bytes& report = device->queue.front();
  const std::size_t n = std::min<std::size_t>(report.size(), size);
  std::memcpy(buffer, report.data(), n);
  DropFront(device->queue);
  *transferred = static_cast<uint32_t>(n);
  return ERROR_SUCCESS;
}

ZOLHID_EXPORT uint32_t ZolHid_WriteOutputReport(ZolHidDevice* device, const uint8_t* buffer, uint32_t size) {
  if (device == nullptr || buffer == nullptr || device->mode != ZOLHID_OPEN_WRITE) return ERROR_INVALID_PARAMETER;
  {
    std::lock_guard<std::mutex> guard(device->lock);
    if (device->gone) return ERROR_DEVICE_NOT_CONNECTED;
  }
  // Like the HID class driver: a report is exactly the device's output length.
  if (device->identity.outputLength == 0) return ERROR_NOT_SUPPORTED;
  if (size != device->identity.outputLength) return ERROR_INVALID_PARAMETER;
  std::uint32_t error = 0;
  if (hidsim::SendMessage(device->fd.Get(), hidsim::Message(MsgType::Output, buffer, size), true, &error)) {
    return ERROR_SUCCESS;
  }
  if (error == ERROR_DEVICE_NOT_CONNECTED) {
    std::lock_guard<std::mutex> guard(device->lock);
    device->gone = true;
  }
  return error;
}

ZOLHID_EXPORT uint32_t ZolHid_GetFeature(ZolHidDevice* device, uint8_t* buffer, uint32_t size) {
  if (device == nullptr || buffer == nullptr || size == 0 || device->mode == ZOLHID_OPEN_QUERY) {
    return ERROR_INVALID_PARAMETER;
  }
  {
    std::lock_guard<std::mutex> guard(device->lock);
    if (device->gone) return ERROR_DEVICE_NOT_CONNECTED;
  }
  const uint16_t length = device->identity.featureLength;
  if (length == 0) return ERROR_NOT_SUPPORTED;
  // The simulated devices use no report ids.
  if (buffer[0] != 0) return ERROR_INVALID_PARAMETER;
  if (size < length) return ERROR_INSUFFICIENT_BUFFER;
  // Asked on a connection of its own, so the answer never mixes with the
  // input reports queued on this handle.
  const std::uint8_t id = buffer[0];
  Bytes reply;
  const hidsim::WipeOnExit wipe(reply);
  std::uint32_t error = 0;
  if (!hidsim::Request(device->path, hidsim::Message(MsgType::GetFeature, &id, 1), MsgType::Feature, &reply,
                       kReplyTimeoutMs, &error)) {
    if (error == ERROR_DEVICE_NOT_CONNECTED) {
      std::lock_guard<std::mutex> guard(device->lock);
      device->gone = true;
    }
    return error;
  }
  const std::size_t n = std::min<std::size_t>(reply.size(), size);
  std::memcpy(buffer, reply.data(), n);
  return ERROR_SUCCESS;
}

ZOLHID_EXPORT uint32_t ZolHid_WatchOpen(ZolHidWatch** watch) {
  if (watch == nullptr) return ERROR_INVALID_PARAMETER;
  *watch = nullptr;
  auto* w = new (std::nothrow) ZolHidWatch;
  if (w == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  w->folder = hidsim::DeviceFolder();
  // The folder may not exist before the first simulator starts.
  if (!hidsim::MakeFolders(w->folder)) {
    const std::uint32_t error = hidsim::Win32FromErrno(errno);
    delete w;
    return error;
  }
  w->inotify.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  w->epoll.Reset(::epoll_create1(EPOLL_CLOEXEC));
  epoll_event e{};
  e.events = EPOLLIN;
  if (!w->inotify.Valid() || !w->epoll.Valid() ||
      ::inotify_add_watch(w->inotify.Get(), w->folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM) <
          0 ||
      ::epoll_ctl(w->epoll.Get(), EPOLL_CTL_ADD, w->inotify.Get(), &e) != 0) {
    const std::uint32_t error = hidsim::Win32FromErrno(errno);
    delete w;
    return error;
  }
  // Devices already present are linked, not reported.
  if (DIR* dir = ::opendir(w->folder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      if (hidsim::IsDeviceEntryName(entry->d_name)) w->Link(w->folder + "/" + entry->d_name);
    }
    ::closedir(dir);
  }
  *watch = w;
  return ERROR_SUCCESS;
}

ZOLHID_EXPORT uint32_t ZolHid_WatchDescriptor(ZolHidWatch* watch, int* fd) {
  if (watch == nullptr || fd == nullptr) return ERROR_INVALID_PARAMETER;
  *fd = watch->epoll.Get();
  return ERROR_SUCCESS;
}

ZOLHID_EXPORT uint32_t ZolHid_WatchNext(ZolHidWatch* watch, ZolHidEvent* event) {
  if (watch == nullptr || event == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(watch->lock);
  alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
  for (;;) {
    const ssize_t n = ::read(watch->inotify.Get(), buffer, sizeof(buffer));
    if (n <= 0) break;
    for (ssize_t pos = 0; pos < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buffer + pos);
      pos += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      if (e->len == 0) continue;
      const std::string name = e->name;
      const bool arrived = (e->mask & (IN_CREATE | IN_MOVED_TO)) != 0;
      if (name.rfind(hidsim::kResumeMarkerPrefix, 0) == 0) {
        if (arrived) watch->Queue(ZOLHID_EVENT_RESUME, "");
        continue;
      }
      if (!hidsim::IsDeviceEntryName(name)) continue;
      const std::string path = watch->folder + "/" + name;
      const auto link = watch->links.find(path);
      if (link != watch->links.end()) {
        // A device restarted over the name of one that was killed: the old
        // one's end is reported first.
        if (arrived && !ZolHidWatch::LinkAlive(link->second.Get())) watch->Queue(ZOLHID_EVENT_REMOVAL, path);
        watch->links.erase(link);
      }
      if (watch->reported.erase(path) != 0 && !arrived) continue;
      if (arrived) watch->Link(path);
      watch->Queue(arrived ? ZOLHID_EVENT_ARRIVAL : ZOLHID_EVENT_REMOVAL, path);
    }
  }
  // After the names, so a device unplugged in order is reported by its name.
  watch->CheckLinks();
  if (watch->events.empty()) return ERROR_NO_MORE_ITEMS;
  *event = watch->events.front();
  watch->events.pop_front();
  return ERROR_SUCCESS;
}

ZOLHID_EXPORT void ZolHid_WatchClose(ZolHidWatch* watch) { delete watch; }

}  // extern "C"
