// The HID class on Windows: "hid.dll" bound by name, SetupAPI enumeration of
// the HID interface class, overlapped file I/O, and a hidden window for the
// device-interface and power broadcasts.
#include "platform/win32/WinHeaders.h"
// windows.h first: the others need its types.
#include <dbt.h>
#include <hidsdi.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "platform/Error.h"
#include "platform/Hid.h"
#include "platform/win32/DeviceInterfaces.h"

namespace sys {
namespace {

using GetHidGuidFn = void(__stdcall*)(LPGUID);
using GetPreparsedDataFn = BOOLEAN(__stdcall*)(HANDLE, PHIDP_PREPARSED_DATA*);
using FreePreparsedDataFn = BOOLEAN(__stdcall*)(PHIDP_PREPARSED_DATA);
using GetAttributesFn = BOOLEAN(__stdcall*)(HANDLE, PHIDD_ATTRIBUTES);
using FlushQueueFn = BOOLEAN(__stdcall*)(HANDLE);
using SetNumInputBuffersFn = BOOLEAN(__stdcall*)(HANDLE, ULONG);
using GetSerialNumberStringFn = BOOLEAN(__stdcall*)(HANDLE, PVOID, ULONG);
using GetFeatureFn = BOOLEAN(__stdcall*)(HANDLE, PVOID, ULONG);
using SetOutputReportFn = BOOLEAN(__stdcall*)(HANDLE, PVOID, ULONG);
using GetCapsFn = NTSTATUS(__stdcall*)(PHIDP_PREPARSED_DATA, PHIDP_CAPS);
using GetValueCapsFn = NTSTATUS(__stdcall*)(HIDP_REPORT_TYPE, PHIDP_VALUE_CAPS, PUSHORT, PHIDP_PREPARSED_DATA);

// The eleven functions, in the order they are resolved.
const char* const kExportNames[] = {
    "HidD_GetHidGuid",    "HidD_GetPreparsedData",      "HidD_FreePreparsedData", "HidD_GetAttributes",
    "HidD_FlushQueue",    "HidD_SetNumInputBuffers",    "HidD_GetSerialNumberString",
    "HidD_GetFeature",    "HidD_SetOutputReport",       "HidP_GetCaps",           "HidP_GetValueCaps",
};
constexpr std::size_t kExportCount = sizeof(kExportNames) / sizeof(kExportNames[0]);

struct HidFunctions {
  GetHidGuidFn GetHidGuid;
  GetPreparsedDataFn GetPreparsedData;
  FreePreparsedDataFn FreePreparsedData;
  GetAttributesFn GetAttributes;
  FlushQueueFn FlushQueue;
  SetNumInputBuffersFn SetNumInputBuffers;
  GetSerialNumberStringFn GetSerialNumberString;
  GetFeatureFn GetFeature;
  SetOutputReportFn SetOutputReport;
  GetCapsFn GetCaps;
  GetValueCapsFn GetValueCaps;
};
static_assert(sizeof(HidFunctions) == kExportCount * sizeof(void*));

HMODULE g_hidDll = nullptr;
HidFunctions g_fn{};
bool g_bound = false;

bool NotBound() {
  ::SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

GUID HidGuid() {
  GUID guid{};
  if (g_bound) g_fn.GetHidGuid(&guid);
  return guid;
}

}  // namespace

bool HidBind(const void* /*anchor*/) {
  if (g_bound) return true;
  HMODULE module = LoadLibraryW(L"hid.dll");
  if (!module) return false;
  void* addresses[kExportCount];
  for (std::size_t i = 0; i < kExportCount; ++i) {
    addresses[i] = reinterpret_cast<void*>(GetProcAddress(module, kExportNames[i]));
    if (!addresses[i]) {
      const DWORD error = GetLastError();
      FreeLibrary(module);
      ::SetLastError(error);
      return false;
    }
  }
  std::memcpy(&g_fn, addresses, sizeof(addresses));
  g_hidDll = module;
  g_bound = true;
  return true;
}

void HidUnbind() {
  if (g_hidDll) FreeLibrary(g_hidDll);
  g_hidDll = nullptr;
  g_bound = false;
}

bool HidIsBound() { return g_bound; }

HidEnumResult HidEnumerateInterfaces(const std::function<void(const std::wstring&)>& onInterface,
                                     const std::function<void(HidEnumSkip, std::uint32_t)>& onSkip) {
  if (!g_bound) {
    NotBound();
    return HidEnumResult::NoInterfaceSet;
  }
  const win32::InterfaceWalk walk = win32::WalkDeviceInterfaces(
      HidGuid(), [&](const wchar_t* path) { onInterface(path); },
      [&](win32::InterfaceSkip stage, DWORD error) {
        onSkip(stage == win32::InterfaceSkip::DetailSize ? HidEnumSkip::DetailSize : HidEnumSkip::Detail, error);
      });
  if (walk == win32::InterfaceWalk::NoSet) return HidEnumResult::NoInterfaceSet;
  return walk == win32::InterfaceWalk::Done ? HidEnumResult::Done : HidEnumResult::EnumFailed;
}

// ---------------------------------------------------------------------------

struct HidDevice::Impl {
  win32::UniqueHandle handle;
  Access access = Access::Query;
  win32::UniqueHandle event;  // the transfer's completion (Read and Write handles)
  OVERLAPPED overlapped{};
  bool pending = false;
};

HidDevice::HidDevice() : m_impl(std::make_unique<Impl>()) {}
HidDevice::~HidDevice() { Close(); }

bool HidDevice::Open(const std::wstring& path, Access access) {
  Close();
  const DWORD rights = access == Access::Read ? GENERIC_READ : access == Access::Write ? GENERIC_WRITE : 0;
  const DWORD flags = access == Access::Query ? 0 : FILE_FLAG_OVERLAPPED;
  win32::UniqueHandle h(CreateFileW(path.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, flags, nullptr));
  if (!h) return false;
  if (access != Access::Query) {
    m_impl->event.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_impl->event) {
      const DWORD error = GetLastError();
      h.Reset();
      ::SetLastError(error);
      return false;
    }
  }
  m_impl->handle = std::move(h);
  m_impl->access = access;
  return true;
}

void HidDevice::Close() {
  if (!m_impl->handle) return;
  Cancel();
  *m_impl = Impl{};
}

bool HidDevice::IsOpen() const { return m_impl->handle.IsValid(); }

std::uint32_t HidDevice::LogValue() const {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(m_impl->handle.Get()));
}

bool HidDevice::GetAttributes(HidAttributes& attributes) const {
  if (!g_bound || !IsOpen()) return NotBound();
  HIDD_ATTRIBUTES a{};
  a.Size = sizeof(a);
  if (!g_fn.GetAttributes(m_impl->handle.Get(), &a)) return false;
  attributes.size = a.Size;
  attributes.vendorId = a.VendorID;
  attributes.productId = a.ProductID;
  attributes.versionNumber = a.VersionNumber;
  return true;
}

bool HidDevice::GetSerialNumber(std::wstring& serial, std::size_t maxChars) const {
  if (!g_bound || !IsOpen()) return NotBound();
  wchar_t text[128] = {};
  if (!g_fn.GetSerialNumberString(m_impl->handle.Get(), text, sizeof(text))) return false;
  text[127] = L'\0';
  serial = text;
  if (serial.size() > maxChars) serial.resize(maxChars);
  return true;
}

bool HidDevice::FlushQueue() {
  if (!g_bound || !IsOpen()) return NotBound();
  return g_fn.FlushQueue(m_impl->handle.Get()) != FALSE;
}

bool HidDevice::SetNumInputBuffers(std::uint32_t count) {
  if (!g_bound || !IsOpen()) return NotBound();
  return g_fn.SetNumInputBuffers(m_impl->handle.Get(), count) != FALSE;
}

bool HidDevice::GetFeature(void* buffer, std::uint32_t length) {
  if (!g_bound || !IsOpen()) return NotBound();
  return g_fn.GetFeature(m_impl->handle.Get(), buffer, length) != FALSE;
}

IoStart HidDevice::Start(void* buffer, std::uint32_t length, std::uint32_t* transferred) {
  if (transferred) *transferred = 0;
  if (!IsOpen() || m_impl->access == Access::Query) return NotBound(), IoStart{IoState::Failed};
  ResetEvent(m_impl->event.Get());
  m_impl->overlapped = OVERLAPPED{};
  m_impl->overlapped.hEvent = m_impl->event.Get();
  DWORD n = 0;
  const BOOL ok = m_impl->access == Access::Read ? ReadFile(m_impl->handle.Get(), buffer, length, &n, &m_impl->overlapped)
                                                 : WriteFile(m_impl->handle.Get(), buffer, length, &n, &m_impl->overlapped);
  if (ok) {
    if (transferred) *transferred = n;
    return {IoState::Done};
  }
  if (GetLastError() != ERROR_IO_PENDING) return {IoState::Failed};
  m_impl->pending = true;
  return {IoState::Pending};
}

WaitItem HidDevice::Completion() {
  return WaitItem(NativeWaitable{reinterpret_cast<std::intptr_t>(m_impl->event.Get()), false});
}

bool HidDevice::Result(std::uint32_t* transferred) {
  if (transferred) *transferred = 0;
  DWORD n = 0;
  if (GetOverlappedResult(m_impl->handle.Get(), &m_impl->overlapped, &n, FALSE)) {
    m_impl->pending = false;
    if (transferred) *transferred = n;
    return true;
  }
  const DWORD error = GetLastError();
  if (error != ERROR_IO_INCOMPLETE) m_impl->pending = false;
  ::SetLastError(error);
  return false;
}

void HidDevice::Cancel() {
  if (!m_impl->pending || !m_impl->handle) return;
  const DWORD error = GetLastError();
  ::CancelIo(m_impl->handle.Get());
  // The transfer's buffer and record must outlive it: wait for the cancel.
  DWORD n = 0;
  GetOverlappedResult(m_impl->handle.Get(), &m_impl->overlapped, &n, TRUE);
  m_impl->pending = false;
  ::SetLastError(error);
}

bool HidDevice::IsPending() const { return m_impl->pending; }

// ---------------------------------------------------------------------------

struct HidPreparsedData::Impl {
  PHIDP_PREPARSED_DATA data = nullptr;
  ~Impl() {
    if (data && g_bound) g_fn.FreePreparsedData(data);
  }
};

HidPreparsedData::HidPreparsedData() = default;
HidPreparsedData::~HidPreparsedData() = default;

bool HidPreparsedData::IsValid() const { return m_impl && m_impl->data; }

std::uint32_t HidPreparsedData::LogValue() const {
  return m_impl ? static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(m_impl->data)) : 0;
}

bool HidDevice::GetPreparsedData(HidPreparsedData& data) const {
  if (!g_bound || !IsOpen()) return NotBound();
  PHIDP_PREPARSED_DATA parsed = nullptr;
  if (!g_fn.GetPreparsedData(m_impl->handle.Get(), &parsed)) return false;
  data.m_impl = std::make_unique<HidPreparsedData::Impl>();
  data.m_impl->data = parsed;
  return true;
}

bool HidPreparsedData::GetCaps(HidCaps& caps) const {
  if (!g_bound || !IsValid()) return NotBound();
  HIDP_CAPS c{};
  if (g_fn.GetCaps(m_impl->data, &c) != HIDP_STATUS_SUCCESS) return false;
  caps.usage = c.Usage;
  caps.usagePage = c.UsagePage;
  caps.inputReportByteLength = c.InputReportByteLength;
  caps.outputReportByteLength = c.OutputReportByteLength;
  caps.featureReportByteLength = c.FeatureReportByteLength;
  caps.numberLinkCollectionNodes = c.NumberLinkCollectionNodes;
  caps.numberInputButtonCaps = c.NumberInputButtonCaps;
  caps.numberInputValueCaps = c.NumberInputValueCaps;
  caps.numberOutputButtonCaps = c.NumberOutputButtonCaps;
  caps.numberOutputValueCaps = c.NumberOutputValueCaps;
  caps.numberFeatureButtonCaps = c.NumberFeatureButtonCaps;
  caps.numberFeatureValueCaps = c.NumberFeatureValueCaps;
  return true;
}

bool HidPreparsedData::GetValueCaps(HidReportType type, HidValueCaps* caps, std::uint16_t count) const {
  if (!g_bound || !IsValid()) return NotBound();
  std::vector<HIDP_VALUE_CAPS> raw(count);
  USHORT n = count;
  if (g_fn.GetValueCaps(static_cast<HIDP_REPORT_TYPE>(type), raw.data(), &n, m_impl->data) != HIDP_STATUS_SUCCESS) {
    return false;
  }
  for (USHORT i = 0; i < count; ++i) {
    HidValueCaps out{};
    if (i < n) {
      const HIDP_VALUE_CAPS& r = raw[i];
      out.usagePage = r.UsagePage;
      out.reportId = r.ReportID;
      out.isRange = r.IsRange != FALSE;
      out.bitSize = r.BitSize;
      out.reportCount = r.ReportCount;
      out.logicalMin = r.LogicalMin;
      out.logicalMax = r.LogicalMax;
      out.usageMin = r.IsRange ? r.Range.UsageMin : r.NotRange.Usage;
      out.usageMax = r.IsRange ? r.Range.UsageMax : r.NotRange.Usage;
    }
    caps[i] = out;
  }
  return true;
}

// ---------------------------------------------------------------------------

struct HidNotifier::Impl {
  std::mutex lock;
  HWND window = nullptr;
  HDEVNOTIFY registration = nullptr;
  bool quitRequested = false;
  const std::function<void(const HidNotification&)>* deliver = nullptr;

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};

LRESULT CALLBACK HidNotifier::Impl::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  auto deliver = [self](HidNotificationKind kind, std::wstring path = {}) {
    if (self && self->deliver) (*self->deliver)(HidNotification{kind, std::move(path)});
  };
  switch (message) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 1;
    case WM_POWERBROADCAST:
      switch (wParam) {
        case PBT_APMSUSPEND: deliver(HidNotificationKind::Suspend); break;
        case PBT_APMRESUMESUSPEND: deliver(HidNotificationKind::ResumeSuspend); break;
        case PBT_APMPOWERSTATUSCHANGE: deliver(HidNotificationKind::PowerStatusChange); break;
        case PBT_APMRESUMEAUTOMATIC: deliver(HidNotificationKind::ResumeAutomatic); break;
        default: break;
      }
      return 1;
    case WM_DEVICECHANGE:
      if ((wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) && lParam) {
        const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
        if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
          const auto* iface = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
          deliver(wParam == DBT_DEVICEARRIVAL ? HidNotificationKind::Arrival : HidNotificationKind::Removal,
                  iface->dbcc_name);
        }
      }
      return 1;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

HidNotifier::HidNotifier() : m_impl(std::make_unique<Impl>()) {}
HidNotifier::~HidNotifier() = default;

int HidNotifier::Run(const std::wstring& name, const std::function<void()>& ready,
                     const std::function<void(const HidNotification&)>& deliver) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW wc{};
  wc.lpfnWndProc = &Impl::WindowProc;
  wc.hInstance = instance;
  wc.lpszClassName = name.c_str();
  RegisterClassW(&wc);  // already registered by an earlier start: fine
  HWND window = CreateWindowExW(0, name.c_str(), name.c_str(), 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
  if (!window) return 1;
  m_impl->deliver = &deliver;
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(m_impl.get()));

  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = HidGuid();
  HDEVNOTIFY registration = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (!registration) {
    DestroyWindow(window);
    return 2;
  }
  bool quitEarly;
  {
    std::lock_guard<std::mutex> guard(m_impl->lock);
    m_impl->window = window;
    m_impl->registration = registration;
    quitEarly = m_impl->quitRequested;
  }
  ready();
  if (quitEarly) PostMessageW(window, WM_QUIT, 0, 0);

  MSG msg;
  while (GetMessageW(&msg, window, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  {
    std::lock_guard<std::mutex> guard(m_impl->lock);
    m_impl->window = nullptr;
  }
  SetWindowLongPtrW(window, GWLP_USERDATA, 0);
  DestroyWindow(window);
  m_impl->deliver = nullptr;
  return 0;
}

bool HidNotifier::Unregister() {
  std::lock_guard<std::mutex> guard(m_impl->lock);
  if (!m_impl->registration) return true;
  if (!UnregisterDeviceNotification(m_impl->registration)) return false;
  m_impl->registration = nullptr;
  return true;
}

bool HidNotifier::IsRegistered() const {
  std::lock_guard<std::mutex> guard(m_impl->lock);
  return m_impl->registration != nullptr;
}

void HidNotifier::Quit() {
  std::lock_guard<std::mutex> guard(m_impl->lock);
  m_impl->quitRequested = true;
  if (m_impl->window) PostMessageW(m_impl->window, WM_QUIT, 0, 0);
}

}  // namespace sys
