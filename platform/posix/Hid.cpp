// The HID class on Linux: a provider library (interfaces/ZolHidProvider.h)
// bound by name from the folder of the library that links this code.
#include "platform/Hid.h"

#include <time.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "interfaces/ZolHidProvider.h"
#include "platform/DynamicLibrary.h"
#include "platform/Error.h"
#include "platform/ErrorNumbers.h"
#include "platform/Text.h"

namespace sys {
namespace {

using namespace errnum;

const char* const kExportNames[] = {ZOLHID_EXPORT_NAMES};
constexpr std::size_t kExportCount = sizeof(kExportNames) / sizeof(kExportNames[0]);

// The provider's functions, in the order of kExportNames.
struct ProviderFunctions {
  decltype(&ZolHid_EnumerateInterfaces) EnumerateInterfaces;
  decltype(&ZolHid_Open) Open;
  decltype(&ZolHid_Close) Close;
  decltype(&ZolHid_GetAttributes) GetAttributes;
  decltype(&ZolHid_GetCaps) GetCaps;
  decltype(&ZolHid_GetValueCaps) GetValueCaps;
  decltype(&ZolHid_GetSerialNumber) GetSerialNumber;
  decltype(&ZolHid_FlushQueue) FlushQueue;
  decltype(&ZolHid_SetNumInputBuffers) SetNumInputBuffers;
  decltype(&ZolHid_GetPollDescriptor) GetPollDescriptor;
  decltype(&ZolHid_ReadInputReport) ReadInputReport;
  decltype(&ZolHid_WriteOutputReport) WriteOutputReport;
  decltype(&ZolHid_GetFeature) GetFeature;
  decltype(&ZolHid_WatchOpen) WatchOpen;
  decltype(&ZolHid_WatchDescriptor) WatchDescriptor;
  decltype(&ZolHid_WatchNext) WatchNext;
  decltype(&ZolHid_WatchClose) WatchClose;
};
static_assert(sizeof(ProviderFunctions) == kExportCount * sizeof(void*));

// Library-wide binding of the library that links this file.
DynamicLibrary g_provider;
ProviderFunctions g_fn{};
bool g_bound = false;

// Sets the thread's last error from a provider result; true for success.
bool Ok(std::uint32_t rc) {
  if (rc == 0) return true;
  SetLastError(rc);
  return false;
}

bool NotBound() {
  SetLastError(kErrorInvalidHandle);
  return false;
}

// The provider is a file of the program's own folder: a name with a folder
// in it (absolute or relative) is refused, so the environment cannot make a
// service load a library from elsewhere. Empty when refused.
std::wstring ProviderPath(const void* anchor) {
  const char* name = std::getenv("ZOL_HID_PROVIDER");
  const std::wstring file = FromUtf8(name && *name ? name : "ZolHidRaw.so");
  if (file.find(L'/') != std::wstring::npos || file == L"." || file == L"..") return {};
  std::wstring folder = ModulePathOf(anchor);
  const std::size_t slash = folder.rfind(L'/');
  folder = slash == std::wstring::npos ? std::wstring(L".") : folder.substr(0, slash);
  return folder + L"/" + file;
}

std::int64_t ClockMs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// How far CLOCK_BOOTTIME (which counts suspend) is ahead of CLOCK_MONOTONIC.
std::int64_t SuspendedMs() { return ClockMs(CLOCK_BOOTTIME) - ClockMs(CLOCK_MONOTONIC); }

}  // namespace

bool HidBind(const void* anchor) {
  if (g_bound) return true;
  const std::wstring path = ProviderPath(anchor);
  if (path.empty()) {
    SetLastError(kErrorInvalidName);
    return false;
  }
  // Resolved from a plain load first, so a provider that lacks a function is
  // not kept; only a complete one is then pinned for the rest of the process.
  DynamicLibrary trial;
  if (!trial.Load(path)) return false;
  void* addresses[kExportCount];
  for (std::size_t i = 0; i < kExportCount; ++i) {
    addresses[i] = trial.Symbol(kExportNames[i]);
    if (!addresses[i]) return false;  // trial unloads it
  }
  if (!g_provider.Load(path, true)) return false;
  static_assert(sizeof(g_fn) == sizeof(addresses));
  std::memcpy(&g_fn, addresses, sizeof(addresses));
  g_bound = true;
  return true;
}

void HidUnbind() {
  // The provider stays mapped (it was loaded to be kept), so its functions
  // stay usable for closing what is still open after the unbinding.
  g_bound = false;
  g_provider = DynamicLibrary();
}

bool HidIsBound() { return g_bound; }

HidEnumResult HidEnumerateInterfaces(const std::function<void(const std::wstring&)>& onInterface,
                                     const std::function<void(HidEnumSkip, std::uint32_t)>& /*onSkip*/) {
  if (!g_bound) {
    NotBound();
    return HidEnumResult::NoInterfaceSet;
  }
  std::vector<char> buffer(4096);
  for (;;) {
    std::uint32_t needed = 0;
    const std::uint32_t rc =
        g_fn.EnumerateInterfaces(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &needed);
    if (rc == 0) break;
    if (rc != kErrorInsufficientBuffer || needed <= buffer.size()) {
      SetLastError(rc);
      return HidEnumResult::NoInterfaceSet;
    }
    buffer.resize(needed);
  }
  // A list of NUL-terminated strings ended by an empty one.
  std::vector<std::wstring> paths;
  for (std::size_t at = 0; at < buffer.size() && buffer[at] != '\0';) {
    std::size_t end = at;
    while (end < buffer.size() && buffer[end] != '\0') ++end;
    paths.push_back(FromUtf8(std::string(buffer.data() + at, end - at)));
    at = end + 1;
  }
  for (const std::wstring& p : paths) onInterface(p);
  SetLastError(kErrorNoMoreItems);
  return HidEnumResult::Done;
}

// ---------------------------------------------------------------------------

struct HidDevice::Impl {
  // Closed by the provider that opened it, also after HidUnbind: the
  // managers unload before their wrappers go.
  std::unique_ptr<ZolHidDevice, decltype(&ZolHid_Close)> device{nullptr, nullptr};
  Access access = Access::Query;
  int fd = -1;
  enum class Pending { None, Read, Write } pending = Pending::None;
  std::uint8_t* buffer = nullptr;
  std::uint32_t length = 0;
};

HidDevice::HidDevice() : m_impl(std::make_unique<Impl>()) {}
HidDevice::~HidDevice() { Close(); }

bool HidDevice::Open(const std::wstring& path, Access access) {
  Close();
  if (!g_bound) return NotBound();
  const std::uint32_t mode = access == Access::Read    ? ZOLHID_OPEN_READ
                             : access == Access::Write ? ZOLHID_OPEN_WRITE
                                                       : ZOLHID_OPEN_QUERY;
  ZolHidDevice* device = nullptr;
  if (!Ok(g_fn.Open(ToUtf8(path).c_str(), mode, &device))) return false;
  m_impl->device = {device, g_fn.Close};
  m_impl->access = access;
  if (access != Access::Query) {
    int fd = -1;
    if (!Ok(g_fn.GetPollDescriptor(device, &fd))) {
      const std::uint32_t error = LastError();
      Close();
      SetLastError(error);
      return false;
    }
    m_impl->fd = fd;
  }
  return true;
}

void HidDevice::Close() { *m_impl = Impl{}; }

bool HidDevice::IsOpen() const { return m_impl->device != nullptr; }

std::uint32_t HidDevice::LogValue() const {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(m_impl->device.get()));
}

bool HidDevice::GetAttributes(HidAttributes& attributes) const {
  if (!m_impl->device || !g_bound) return NotBound();
  ZolHidAttributes a{};
  a.size = sizeof(a);
  if (!Ok(g_fn.GetAttributes(m_impl->device.get(), &a))) return false;
  attributes.size = a.size;
  attributes.vendorId = a.vendorId;
  attributes.productId = a.productId;
  attributes.versionNumber = a.versionNumber;
  return true;
}

bool HidDevice::GetSerialNumber(std::wstring& serial, std::size_t maxChars) const {
  if (!m_impl->device || !g_bound) return NotBound();
  char text[1024] = {};
  if (!Ok(g_fn.GetSerialNumber(m_impl->device.get(), text, sizeof(text)))) return false;
  text[sizeof(text) - 1] = '\0';
  serial = FromUtf8(text);
  if (serial.size() > maxChars) serial.resize(maxChars);
  return true;
}

bool HidDevice::FlushQueue() {
  if (!m_impl->device || !g_bound) return NotBound();
  return Ok(g_fn.FlushQueue(m_impl->device.get()));
}

bool HidDevice::SetNumInputBuffers(std::uint32_t count) {
  if (!m_impl->device || !g_bound) return NotBound();
  return Ok(g_fn.SetNumInputBuffers(m_impl->device.get(), count));
}

bool HidDevice::GetFeature(void* buffer, std::uint32_t length) {
  if (!m_impl->device || !g_bound) return NotBound();
  return Ok(g_fn.GetFeature(m_impl->device.get(), static_cast<std::uint8_t*>(buffer), length));
}

IoStart HidDevice::Start(void* buffer, std::uint32_t length, std::uint32_t* transferred) {
  if (transferred) *transferred = 0;
  if (!m_impl->device || !g_bound || m_impl->access == Access::Query) return NotBound(), IoStart{IoState::Failed};
  m_impl->pending = Impl::Pending::None;
  const bool read = m_impl->access == Access::Read;
  std::uint32_t n = read ? 0 : length;
  ZolHidDevice* device = m_impl->device.get();
  const std::uint32_t rc = read ? g_fn.ReadInputReport(device, static_cast<std::uint8_t*>(buffer), length, &n)
                                : g_fn.WriteOutputReport(device, static_cast<const std::uint8_t*>(buffer), length);
  if (rc == 0) {
    if (transferred) *transferred = n;
    return {IoState::Done};
  }
  SetLastError(rc);
  if (rc != kErrorIoPending) return {IoState::Failed};
  m_impl->pending = read ? Impl::Pending::Read : Impl::Pending::Write;
  m_impl->buffer = static_cast<std::uint8_t*>(buffer);
  m_impl->length = length;
  return {IoState::Pending};
}

WaitItem HidDevice::Completion() {
  return WaitItem(NativeWaitable{m_impl->fd, m_impl->pending == Impl::Pending::Write});
}

bool HidDevice::Result(std::uint32_t* transferred) {
  if (transferred) *transferred = 0;
  if (!m_impl->device || !g_bound) return NotBound();
  std::uint32_t rc = 0;
  std::uint32_t n = m_impl->pending == Impl::Pending::Read ? 0 : m_impl->length;
  if (m_impl->pending == Impl::Pending::Read) {
    rc = g_fn.ReadInputReport(m_impl->device.get(), m_impl->buffer, m_impl->length, &n);
  } else if (m_impl->pending == Impl::Pending::Write) {
    rc = g_fn.WriteOutputReport(m_impl->device.get(), m_impl->buffer, m_impl->length);
  } else {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  if (rc == kErrorIoPending) {
    SetLastError(kErrorIoIncomplete);
    return false;
  }
  m_impl->pending = Impl::Pending::None;
  if (!Ok(rc)) return false;
  if (transferred) *transferred = n;
  return true;
}

// Nothing is in flight in the provider: the transfer happens in Result().
void HidDevice::Cancel() { m_impl->pending = Impl::Pending::None; }

bool HidDevice::IsPending() const { return m_impl->pending != Impl::Pending::None; }

// ---------------------------------------------------------------------------

struct HidPreparsedData::Impl {
  HidCaps caps;
  std::vector<HidValueCaps> values[3];
};

HidPreparsedData::HidPreparsedData() = default;
HidPreparsedData::~HidPreparsedData() = default;

bool HidPreparsedData::IsValid() const { return m_impl != nullptr; }

std::uint32_t HidPreparsedData::LogValue() const {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(m_impl.get()));
}

bool HidDevice::GetPreparsedData(HidPreparsedData& data) const {
  if (!m_impl->device || !g_bound) return NotBound();
  ZolHidCaps c{};
  if (!Ok(g_fn.GetCaps(m_impl->device.get(), &c))) return false;
  auto parsed = std::make_unique<HidPreparsedData::Impl>();
  HidCaps& caps = parsed->caps;
  caps.usage = c.usage;
  caps.usagePage = c.usagePage;
  caps.inputReportByteLength = c.inputReportByteLength;
  caps.outputReportByteLength = c.outputReportByteLength;
  caps.featureReportByteLength = c.featureReportByteLength;
  caps.numberLinkCollectionNodes = c.numberLinkCollectionNodes;
  caps.numberInputButtonCaps = c.numberInputButtonCaps;
  caps.numberInputValueCaps = c.numberInputValueCaps;
  caps.numberOutputButtonCaps = c.numberOutputButtonCaps;
  caps.numberOutputValueCaps = c.numberOutputValueCaps;
  caps.numberFeatureButtonCaps = c.numberFeatureButtonCaps;
  caps.numberFeatureValueCaps = c.numberFeatureValueCaps;
  const std::uint16_t counts[3] = {c.numberInputValueCaps, c.numberOutputValueCaps, c.numberFeatureValueCaps};
  for (std::uint32_t type = 0; type < 3; ++type) {
    if (counts[type] == 0) continue;
    std::vector<ZolHidValueCaps> raw(counts[type]);
    std::uint32_t count = counts[type];
    if (!Ok(g_fn.GetValueCaps(m_impl->device.get(), type, raw.data(), &count))) return false;
    for (std::uint32_t i = 0; i < count && i < raw.size(); ++i) {
      const ZolHidValueCaps& r = raw[i];
      parsed->values[type].push_back(HidValueCaps{r.usagePage, r.reportId, r.isRange != 0, r.bitSize, r.reportCount,
                                                  r.logicalMin, r.logicalMax, r.usageMin, r.usageMax});
    }
  }
  data.m_impl = std::move(parsed);
  return true;
}

bool HidPreparsedData::GetCaps(HidCaps& caps) const {
  if (!m_impl) return NotBound();
  caps = m_impl->caps;
  return true;
}

bool HidPreparsedData::GetValueCaps(HidReportType type, HidValueCaps* caps, std::uint16_t count) const {
  if (!m_impl) return NotBound();
  const std::vector<HidValueCaps>& values = m_impl->values[static_cast<int>(type)];
  for (std::uint16_t i = 0; i < count; ++i) caps[i] = i < values.size() ? values[i] : HidValueCaps{};
  return true;
}

// ---------------------------------------------------------------------------

struct HidNotifier::Impl {
  Event quit{Event::Reset::Manual, false};
  std::mutex lock;
  bool registered = false;
};

HidNotifier::HidNotifier() : m_impl(std::make_unique<Impl>()) {}
HidNotifier::~HidNotifier() = default;

int HidNotifier::Run(const std::wstring& /*name*/, const std::function<void()>& ready,
                     const std::function<void(const HidNotification&)>& deliver) {
  if (!g_bound || !m_impl->quit.IsValid()) return 1;
  ZolHidWatch* opened = nullptr;
  if (g_fn.WatchOpen(&opened) != 0) return 1;
  std::unique_ptr<ZolHidWatch, decltype(&ZolHid_WatchClose)> watch(opened, g_fn.WatchClose);
  int fd = -1;
  if (g_fn.WatchDescriptor(watch.get(), &fd) != 0) return 2;
  {
    std::lock_guard<std::mutex> guard(m_impl->lock);
    m_impl->registered = true;
  }
  ready();

  auto stillRegistered = [this] {
    std::lock_guard<std::mutex> guard(m_impl->lock);
    return m_impl->registered;
  };
  std::int64_t suspended = SuspendedMs();
  // The clock pair is compared at least once a second.
  constexpr std::uint32_t kClockCheckMs = 1000;
  for (;;) {
    const std::uint32_t rc = WaitAny({WaitItem(m_impl->quit), WaitItem(NativeWaitable{fd, false})}, kClockCheckMs);
    if (rc == 0) break;
    if (rc != 1 && rc != kWaitTimeout) break;
    const std::int64_t now = SuspendedMs();
    const bool resumed = now - suspended > 1000;
    suspended = now;
    if (resumed && stillRegistered()) deliver(HidNotification{HidNotificationKind::ResumeAutomatic, {}});
    if (rc != 1) continue;
    ZolHidEvent event{};
    while (g_fn.WatchNext(watch.get(), &event) == 0) {
      event.path[sizeof(event.path) - 1] = '\0';
      if (!stillRegistered()) continue;
      if (event.kind == ZOLHID_EVENT_ARRIVAL || event.kind == ZOLHID_EVENT_REMOVAL) {
        deliver(HidNotification{event.kind == ZOLHID_EVENT_ARRIVAL ? HidNotificationKind::Arrival
                                                                   : HidNotificationKind::Removal,
                                FromUtf8(event.path)});
      } else if (event.kind == ZOLHID_EVENT_RESUME) {
        deliver(HidNotification{HidNotificationKind::ResumeAutomatic, {}});
      }
      if (m_impl->quit.Test()) break;
    }
  }
  watch.reset();
  {
    std::lock_guard<std::mutex> guard(m_impl->lock);
    m_impl->registered = false;
  }
  return 0;
}

bool HidNotifier::Unregister() {
  std::lock_guard<std::mutex> guard(m_impl->lock);
  m_impl->registered = false;
  return true;
}

bool HidNotifier::IsRegistered() const {
  std::lock_guard<std::mutex> guard(m_impl->lock);
  return m_impl->registered;
}

void HidNotifier::Quit() { m_impl->quit.Set(); }

}  // namespace sys
