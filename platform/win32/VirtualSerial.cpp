// The kernel virtual serial driver: SetupAPI for its interfaces, an
// overlapped handle for the data, DeviceIoControl for its controls.
#include <mutex>

#include "platform/VirtualSerial.h"
#include "platform/win32/DeviceInterfaces.h"
#include "platform/win32/WinHeaders.h"

namespace sys {

namespace {

constexpr unsigned Hex(const char* text, int digits) {
  unsigned value = 0;
  for (int i = 0; i < digits; ++i) {
    const char c = text[i];
    value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
  }
  return value;
}

// The class's GUID from its text, {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
constexpr GUID GuidOf(const char* text) {
  GUID g{Hex(text + 1, 8), static_cast<unsigned short>(Hex(text + 10, 4)),
         static_cast<unsigned short>(Hex(text + 15, 4)), {}};
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<unsigned char>(Hex(text + (i < 2 ? 20 : 21) + 2 * i, 2));
  return g;
}

const GUID kClassGuid = GuidOf(vcom::kClassGuid);

}  // namespace

std::wstring VirtualSerialDriverName() { return L"kernel driver"; }

VirtualSerialInterfaceList ListVirtualSerialInterfaces() {
  VirtualSerialInterfaceList list;
  const win32::InterfaceWalk walk = win32::WalkDeviceInterfaces(
      kClassGuid, [&](const wchar_t* path) { list.paths.emplace_back(path); },
      [&](win32::InterfaceSkip stage, DWORD error) {
        const int at = stage == win32::InterfaceSkip::DetailSize ? 0 : 1;
        list.detailFailures.push_back({at, static_cast<std::uint32_t>(error)});
      });
  if (walk == win32::InterfaceWalk::NoSet) {
    list.error = GetLastError();
    list.status = VirtualSerialInterfaceList::Status::SetFailed;
  } else if (walk == win32::InterfaceWalk::EnumFailed) {
    list.error = GetLastError();
    list.status = VirtualSerialInterfaceList::Status::EnumFailed;
  }
  return list;
}

struct VirtualSerialPort::Impl {
  win32::UniqueHandle handle;
  std::mutex ioctlLock;
};

VirtualSerialPort::VirtualSerialPort() : m_impl(std::make_unique<Impl>()) {}
VirtualSerialPort::~VirtualSerialPort() { Close(); }

bool VirtualSerialPort::Open(const std::wstring& path) {
  Close();
  // On failure the last error stays as CreateFile left it.
  m_impl->handle.Reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr));
  return m_impl->handle.IsValid();
}

bool VirtualSerialPort::IsOpen() const { return m_impl->handle.IsValid(); }

void VirtualSerialPort::Close() { m_impl->handle.Reset(); }

std::uintptr_t VirtualSerialPort::HandleValue() const {
  // A closed port logs as INVALID_HANDLE_VALUE, as it always has.
  return reinterpret_cast<std::uintptr_t>(m_impl->handle ? m_impl->handle.Get() : INVALID_HANDLE_VALUE);
}

bool VirtualSerialPort::IoControl(std::uint32_t code, void* output, std::uint32_t outputSize,
                                  std::uint32_t* returned) {
  if (returned) *returned = 0;
  // The handle is overlapped: each control gets its own OVERLAPPED and waits.
  win32::UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!done) return false;
  OVERLAPPED ov{};
  ov.hEvent = done.Get();
  DWORD got = 0;
  BOOL ok = DeviceIoControl(m_impl->handle.Get(), code, nullptr, 0, output, outputSize, &got, &ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(m_impl->handle.Get(), &ov, &got, TRUE);
  DWORD e = GetLastError();
  done.Reset();
  if (!ok) {
    SetLastError(e);
    return false;
  }
  if (returned) *returned = got;
  return true;
}

struct VirtualSerialIo::Impl {
  VirtualSerialPort::Impl* port;
  Kind kind;
  OVERLAPPED ov{};
  win32::UniqueHandle event;
  bool pending = false;
};

VirtualSerialIo::VirtualSerialIo(VirtualSerialPort& port, Kind kind) : m_impl(std::make_unique<Impl>()) {
  m_impl->port = port.m_impl.get();
  m_impl->kind = kind;
  m_impl->event.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

VirtualSerialIo::~VirtualSerialIo() { Cancel(); }

bool VirtualSerialIo::IsValid() const { return m_impl->event.IsValid(); }
bool VirtualSerialIo::IsPending() const { return m_impl->pending; }

IoStart VirtualSerialIo::Start(void* buffer, std::uint32_t length, std::uint32_t* transferred) {
  if (transferred) *transferred = 0;
  ResetEvent(m_impl->event.Get());
  m_impl->ov = OVERLAPPED{};
  m_impl->ov.hEvent = m_impl->event.Get();
  DWORD n = 0;
  BOOL ok = m_impl->kind == Kind::Read
                ? ReadFile(m_impl->port->handle.Get(), buffer, length, &n, &m_impl->ov)
                : WriteFile(m_impl->port->handle.Get(), buffer, length, &n, &m_impl->ov);
  if (ok) {
    if (transferred) *transferred = n;
    return {IoState::Done};
  }
  DWORD e = GetLastError();
  m_impl->pending = e == ERROR_IO_PENDING;
  SetLastError(e);
  return {m_impl->pending ? IoState::Pending : IoState::Failed};
}

WaitItem VirtualSerialIo::Completion() {
  return WaitItem(NativeWaitable{reinterpret_cast<std::intptr_t>(m_impl->event.Get()), false});
}

bool VirtualSerialIo::Result(std::uint32_t* transferred) {
  if (transferred) *transferred = 0;
  DWORD n = 0;
  BOOL ok = GetOverlappedResult(m_impl->port->handle.Get(), &m_impl->ov, &n, FALSE);
  DWORD e = GetLastError();
  if (ok || e != ERROR_IO_INCOMPLETE) m_impl->pending = false;
  if (!ok) {
    SetLastError(e);
    return false;
  }
  if (transferred) *transferred = n;
  return true;
}

void VirtualSerialIo::Cancel() {
  if (!m_impl->pending) return;
  DWORD e = GetLastError();
  CancelIoEx(m_impl->port->handle.Get(), &m_impl->ov);
  DWORD n = 0;
  // The buffer and the OVERLAPPED must outlive the operation.
  GetOverlappedResult(m_impl->port->handle.Get(), &m_impl->ov, &n, TRUE);
  m_impl->pending = false;
  SetLastError(e);
}

}  // namespace sys
