#pragma once
// The device side of the virtual serial driver: its interfaces, exclusive
// opening, overlapped-style reads and writes, and its three I/O controls.
// Windows: SetupAPI, CreateFile(FILE_FLAG_OVERLAPPED), ReadFile / WriteFile,
// DeviceIoControl on the kernel driver. Linux: the device sides of the kernel
// driver zolvcom where it is loaded, otherwise the interface sockets of
// vcomd, which hands the pty master to the one opener.
//
// Errors are Win32 numbers in sys::LastError(). A read or write fails with
// ERROR_BROKEN_PIPE while the application's side (COM<n>) is closed; data is
// never kept for a later opener of COM<n>.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Event.h"
#include "platform/Overlapped.h"
#include "vcom/DeviceClass.h"

namespace sys {

// Device-interface class of the driver's ports.
inline constexpr const wchar_t* VIRTUAL_SERIAL_CLASS_GUID = vcom::kClassGuidWide.text;

// I/O controls (device type 0x7001, METHOD_BUFFERED, read and write access).
inline constexpr std::uint32_t IOCTL_VIRTUAL_SERIAL_GET_ZOL_INFO = vcom::kGetZolInfo;
inline constexpr std::uint32_t IOCTL_VIRTUAL_SERIAL_SET_RCVRDY = vcom::kSetRcvRdy;
inline constexpr std::uint32_t IOCTL_VIRTUAL_SERIAL_CLR_RVCRDY = vcom::kClrRcvRdy;

// The state of the COM side, as GET_ZOL_INFO returns it.
struct ZOL_INFO {
  std::uint32_t connected;  // not 0 while an application has COM<n> open
  std::uint32_t hold;       // not 0 while the COM side cannot receive
  std::uint32_t reserved;   // ignored
};
static_assert(sizeof(ZOL_INFO) == vcom::kInfoSize);

// The present interfaces of the class, in member-index order.
struct VirtualSerialInterfaceList {
  enum class Status {
    Ok,
    SetFailed,   // the interface set could not be made (SetupDiGetClassDevs)
    EnumFailed,  // enumeration stopped with an error other than "no more items"
  };
  Status status = Status::Ok;
  std::uint32_t error = 0;  // the system error for SetFailed / EnumFailed
  std::vector<std::wstring> paths;  // the interfaces read before any failure
  // Interfaces whose path could not be read: detail stage (0: size query,
  // 1: the path itself) and the system error. They are not in paths.
  struct DetailFailure {
    int stage;
    std::uint32_t error;
  };
  std::vector<DetailFailure> detailFailures;
};

// Which driver serves the ports, for the log: on Linux the kernel driver
// zolvcom where it is loaded, vcomd otherwise.
std::wstring VirtualSerialDriverName();

// Lists the present interfaces. A driver with no ports gives Ok and no paths.
VirtualSerialInterfaceList ListVirtualSerialInterfaces();

class VirtualSerialIo;

// One opened interface (the device's end of COM<n>). Closing it frees COM<n>
// for the next opener. IoControl may be called from several threads.
class VirtualSerialPort {
 public:
  VirtualSerialPort();
  ~VirtualSerialPort();
  VirtualSerialPort(const VirtualSerialPort&) = delete;
  VirtualSerialPort& operator=(const VirtualSerialPort&) = delete;

  // Opens for reading and writing, without sharing, for overlapped I/O.
  // False with the system error in sys::LastError() (ERROR_FILE_NOT_FOUND,
  // ERROR_SHARING_VIOLATION when another opener has it, ...).
  bool Open(const std::wstring& path);
  bool IsOpen() const;
  // Closes the interface. No read or write may be in progress.
  void Close();
  // The handle's value, for log lines only.
  std::uintptr_t HandleValue() const;

  // DeviceIoControl without input. False with the system error.
  bool IoControl(std::uint32_t code, void* output, std::uint32_t outputSize,
                 std::uint32_t* returned);

  struct Impl;

 private:
  friend class VirtualSerialIo;
  std::unique_ptr<Impl> m_impl;
};

// One overlapped operation slot (an OVERLAPPED with its own event): one read
// or one write at a time on a port. A read may complete with 0 bytes; either
// fails with ERROR_BROKEN_PIPE while the application's side is closed.
class VirtualSerialIo final : public Overlapped {
 public:
  enum class Kind { Read, Write };
  VirtualSerialIo(VirtualSerialPort& port, Kind kind);
  // Cancels a pending operation and waits for its end first.
  ~VirtualSerialIo();
  VirtualSerialIo(const VirtualSerialIo&) = delete;
  VirtualSerialIo& operator=(const VirtualSerialIo&) = delete;

  // False when its event could not be made (system error in LastError()).
  bool IsValid() const;

  // ReadFile / WriteFile.
  IoStart Start(void* buffer, std::uint32_t length, std::uint32_t* transferred) override;
  WaitItem Completion() override;
  // GetOverlappedResult without waiting.
  bool Result(std::uint32_t* transferred) override;
  // CancelIoEx, then the wait for the end.
  void Cancel() override;
  bool IsPending() const override;

  struct Impl;

 private:
  std::unique_ptr<Impl> m_impl;
};

}  // namespace sys
