#pragma once
// The system's HID class support as the HID code of the plug-ins needs it.
// Windows: "hid.dll" bound by name, SetupAPI enumeration, overlapped file I/O,
// a hidden window for device-interface and power notifications.
// Linux: the HID provider library named by ZOL_HID_PROVIDER (default
// ZolHidRaw.so) bound by name from the folder of the binding library, its
// enumeration, non-blocking transfers with a descriptor as completion, and its
// device-change watch plus a resume seen as CLOCK_BOOTTIME running ahead of
// CLOCK_MONOTONIC.
//
// The binding is library-wide state of the library that links this code.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Event.h"
#include "platform/Overlapped.h"

namespace sys {

struct HidAttributes {
  std::uint32_t size = 0;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t versionNumber = 0;
};

// The capabilities of the top-level collection; report lengths count the
// report id byte.
struct HidCaps {
  std::uint16_t usage = 0;
  std::uint16_t usagePage = 0;
  std::uint16_t inputReportByteLength = 0;
  std::uint16_t outputReportByteLength = 0;
  std::uint16_t featureReportByteLength = 0;
  std::uint16_t numberLinkCollectionNodes = 0;
  std::uint16_t numberInputButtonCaps = 0;
  std::uint16_t numberInputValueCaps = 0;
  std::uint16_t numberOutputButtonCaps = 0;
  std::uint16_t numberOutputValueCaps = 0;
  std::uint16_t numberFeatureButtonCaps = 0;
  std::uint16_t numberFeatureValueCaps = 0;
};

struct HidValueCaps {
  std::uint16_t usagePage = 0;
  std::uint8_t reportId = 0;
  bool isRange = false;
  std::uint16_t bitSize = 0;
  std::uint16_t reportCount = 0;
  std::int32_t logicalMin = 0;
  std::int32_t logicalMax = 0;
  std::uint16_t usageMin = 0;
  std::uint16_t usageMax = 0;
};

enum class HidReportType { Input = 0, Output = 1, Feature = 2 };

// Binds the HID library: loads it by name and resolves each of its functions
// by name in a fixed order; at the first one missing the library is unloaded
// again and false returned. anchor is an address inside the binding library
// (Linux: the provider is loaded from that library's folder and kept mapped,
// since threads may still run its code). Not thread-safe; call once at start.
bool HidBind(const void* anchor);
void HidUnbind();
bool HidIsBound();

// Walks the present HID interfaces in the system's order, calling
// onInterface with each path. An interface whose path cannot be had is
// skipped after onSkip (the stage and the system error). NoInterfaceSet: the
// set of interfaces cannot be had; EnumFailed: the walk stopped with an error
// (in sys::LastError() for both).
enum class HidEnumResult { Done, NoInterfaceSet, EnumFailed };
enum class HidEnumSkip { DetailSize, Detail };
HidEnumResult HidEnumerateInterfaces(const std::function<void(const std::wstring&)>& onInterface,
                                     const std::function<void(HidEnumSkip, std::uint32_t)>& onSkip);

class HidPreparsedData;

// One opened HID interface (RAII). Opened for Read or Write it is also the
// slot of its one overlapped transfer at a time: input reports on a Read
// handle, output reports on a Write handle.
class HidDevice final : public Overlapped {
 public:
  enum class Access { Query, Read, Write };

  HidDevice();
  ~HidDevice();
  HidDevice(const HidDevice&) = delete;
  HidDevice& operator=(const HidDevice&) = delete;

  // Opens the path (shared read and write; Read and Write overlapped, with
  // the transfer's completion event). On failure false with the system error
  // in sys::LastError().
  bool Open(const std::wstring& path, Access access);
  void Close();
  bool IsOpen() const;
  // The low 32 bits of the handle, for log lines.
  std::uint32_t LogValue() const;

  bool GetAttributes(HidAttributes& attributes) const;
  bool GetPreparsedData(HidPreparsedData& data) const;
  // At most maxChars characters.
  bool GetSerialNumber(std::wstring& serial, std::size_t maxChars) const;
  bool FlushQueue();
  bool SetNumInputBuffers(std::uint32_t count);
  // buffer[0] is the report id on entry; synchronous.
  bool GetFeature(void* buffer, std::uint32_t length);

  // The transfer: fails with ERROR_INVALID_HANDLE on a closed or Query handle.
  IoStart Start(void* buffer, std::uint32_t length, std::uint32_t* transferred) override;
  WaitItem Completion() override;
  bool Result(std::uint32_t* transferred) override;
  void Cancel() override;
  bool IsPending() const override;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// The parsed report descriptor of an interface (RAII).
class HidPreparsedData {
 public:
  HidPreparsedData();
  ~HidPreparsedData();
  HidPreparsedData(const HidPreparsedData&) = delete;
  HidPreparsedData& operator=(const HidPreparsedData&) = delete;

  bool IsValid() const;
  std::uint32_t LogValue() const;
  bool GetCaps(HidCaps& caps) const;
  // Fills exactly count records of a report type.
  bool GetValueCaps(HidReportType type, HidValueCaps* caps, std::uint16_t count) const;

 private:
  friend class HidDevice;
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// Device-interface and power notifications for the HID class.
enum class HidNotificationKind {
  Arrival,
  Removal,
  Suspend,            // Windows only
  ResumeSuspend,      // Windows only
  PowerStatusChange,  // Windows only
  ResumeAutomatic,
};

struct HidNotification {
  HidNotificationKind kind;
  std::wstring path;  // arrival and removal only
};

// The notification source of one library: Run on a thread of its own.
class HidNotifier {
 public:
  HidNotifier();
  ~HidNotifier();
  HidNotifier(const HidNotifier&) = delete;
  HidNotifier& operator=(const HidNotifier&) = delete;

  // Creates the hidden window named name (Windows) or opens the provider's
  // watch (Linux), registers for HID interface notifications, calls ready(),
  // then hands each notification to deliver, one at a time in arrival order,
  // until Quit. Returns the thread's exit code: 0 after Quit, 1 when the
  // window (the watch) cannot be made, 2 when registration fails.
  int Run(const std::wstring& name, const std::function<void()>& ready,
          const std::function<void(const HidNotification&)>& deliver);
  // Drops the registration; true when none is held afterwards.
  bool Unregister();
  bool IsRegistered() const;
  // Makes Run return (from any thread, before or during Run).
  void Quit();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace sys
