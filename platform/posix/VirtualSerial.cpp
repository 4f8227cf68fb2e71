// Two drivers serve the virtual serial ports on Linux: the kernel driver
// zolvcom where it is loaded, otherwise vcomd. Both ends of each one's
// protocol live in vcom/; this file only chooses the backend and turns its
// failures into the system's errors.
#include "platform/VirtualSerial.h"

#include <memory>

#include "platform/Error.h"
#include "platform/ErrorNumbers.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/posix/PosixError.h"
#include "vcom/Interfaces.h"
#include "vcom/KernelDevice.h"
#include "vcom/VcomdOpener.h"

namespace sys {

namespace {

using namespace errnum;

// Sets the last error to what the backend reports; false.
bool Fail(const vcom::Failure& why) {
  if (why.errnum != 0) posix::SetLastErrorFromErrno(why.errnum);
  else SetLastError(why.status);
  return false;
}

}  // namespace

std::wstring VirtualSerialDriverName() { return vcom::KernelDriverChosen() ? L"zolvcom (kernel)" : L"vcomd"; }

VirtualSerialInterfaceList ListVirtualSerialInterfaces() {
  VirtualSerialInterfaceList list;
  std::vector<std::string> paths;
  int e = 0;
  if (!vcom::ListInterfaces(ToUtf8(GetFixedPath(FixedPath::RunFolder)), paths, e)) {
    list.status = VirtualSerialInterfaceList::Status::SetFailed;
    list.error = posix::SetLastErrorFromErrno(e);
  }
  for (const std::string& path : paths) list.paths.push_back(FromUtf8(path));
  return list;
}

struct VirtualSerialPort::Impl {
  bool kernel = false;  // the port is zolvcom's device side, not vcomd's
  vcom::KernelDevice device;
  vcom::VcomdOpener vcomd;

  // The data path: the device side or the pty master.
  int Data() const { return kernel ? device.Fd() : vcomd.Master(); }
};

VirtualSerialPort::VirtualSerialPort() : m_impl(std::make_unique<Impl>()) {}
VirtualSerialPort::~VirtualSerialPort() { Close(); }

bool VirtualSerialPort::IsOpen() const { return m_impl->Data() >= 0; }
std::uintptr_t VirtualSerialPort::HandleValue() const {
  return static_cast<std::uintptr_t>(m_impl->vcomd.Control());
}
void VirtualSerialPort::Close() {
  m_impl->kernel = false;
  m_impl->device.Close();
  m_impl->vcomd.Close();
}

bool VirtualSerialPort::Open(const std::wstring& path) {
  Close();
  std::string p = ToUtf8(path);
  vcom::Failure why;
  m_impl->kernel = vcom::IsCharDevice(p);
  if (!(m_impl->kernel ? m_impl->device.Open(p, why) : m_impl->vcomd.Open(p, why))) {
    m_impl->kernel = false;
    return Fail(why);
  }
  return true;
}

bool VirtualSerialPort::IoControl(std::uint32_t code, void* output, std::uint32_t outputSize,
                                  std::uint32_t* returned) {
  if (returned) *returned = 0;
  vcom::Failure why;
  const bool done = m_impl->kernel ? m_impl->device.Control(code, output, outputSize, returned, why)
                                   : m_impl->vcomd.IoControl(code, output, outputSize, returned, why);
  return done || Fail(why);
}

struct VirtualSerialIo::Impl {
  VirtualSerialPort::Impl* port;
  Kind kind;
  bool pending = false;
  unsigned char* buffer = nullptr;
  std::uint32_t length = 0;
  std::uint32_t done = 0;  // bytes of a pending write already written

  // One attempt at the transfer: 1 finished, 0 would block, -1 failed.
  int Attempt() {
    if (port->Data() < 0) {
      SetLastError(posix::kErrorInvalidHandle);
      return -1;
    }
    vcom::Failure why;
    int r;
    if (port->kernel) {
      r = kind == Kind::Read ? port->device.Read(buffer, length, done, why)
                             : port->device.Write(buffer, length, done, why);
    } else {
      r = kind == Kind::Read ? port->vcomd.Read(buffer, length, done, why)
                             : port->vcomd.Write(buffer, length, done, why);
    }
    return r < 0 ? (Fail(why), -1) : r;
  }
};

VirtualSerialIo::VirtualSerialIo(VirtualSerialPort& port, Kind kind)
    : m_impl(std::make_unique<Impl>()) {
  m_impl->port = port.m_impl.get();
  m_impl->kind = kind;
}

VirtualSerialIo::~VirtualSerialIo() { Cancel(); }

bool VirtualSerialIo::IsValid() const { return true; }
bool VirtualSerialIo::IsPending() const { return m_impl->pending; }

IoStart VirtualSerialIo::Start(void* buffer, std::uint32_t length, std::uint32_t* transferred) {
  if (transferred) *transferred = 0;
  if (m_impl->pending) {
    SetLastError(posix::kErrorInvalidParameter);
    return {IoState::Failed};
  }
  m_impl->buffer = static_cast<unsigned char*>(buffer);
  m_impl->length = length;
  m_impl->done = 0;
  int r = m_impl->Attempt();
  if (r == 1) {
    if (transferred) *transferred = m_impl->done;
    return {IoState::Done};
  }
  if (r < 0) return {IoState::Failed};
  m_impl->pending = true;
  SetLastError(kErrorIoPending);
  return {IoState::Pending};
}

WaitItem VirtualSerialIo::Completion() {
  return WaitItem(NativeWaitable{m_impl->port->Data(), m_impl->kind == Kind::Write});
}

bool VirtualSerialIo::Result(std::uint32_t* transferred) {
  if (transferred) *transferred = 0;
  if (!m_impl->pending) {
    SetLastError(posix::kErrorInvalidParameter);
    return false;
  }
  int r = m_impl->Attempt();
  if (r == 0) {
    SetLastError(kErrorIoIncomplete);
    return false;
  }
  m_impl->pending = false;
  if (r < 0) return false;
  if (transferred) *transferred = m_impl->done;
  return true;
}

void VirtualSerialIo::Cancel() {
  // Nothing is in flight in the kernel: the transfer happens in Result().
  if (m_impl->pending) {
    m_impl->pending = false;
    SetLastError(kErrorOperationAborted);
  }
}

}  // namespace sys
