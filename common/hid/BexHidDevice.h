#pragma once
// What the line-display and stripe-reader device wrappers share: identity,
// capabilities and report channel of one matching HID interface, and the
// report operations parameterised by each pair's names, messages and module.
#include <memory>
#include <string>
#include <vector>

#include "common/hid/HidIo.h"
#include "platform/Hid.h"
#include "platform/WinTypes.h"

// One supported device: compared with the interface's attributes (vendor,
// product) and its top-level collection (usage page, usage).
struct HidSupportedDevice {
  WORD vendorId;
  WORD productId;
  WORD usagePage;
  WORD usage;
};
using HidSupportedDeviceTable = std::vector<HidSupportedDevice>;

// What differs between the two pairs.
struct BexHidFlavor {
  DWORD logModule;
  const char* deviceClass;  // "BexHidLd"
  const char* listClass;    // "BexHidLdList"
  const char* deviceKind;   // "LD" in "Found supported LD"
  const char* commandOp;    // "SendLdCommand"
  const char* statusOp;     // "GetLdStatus"
  const char* statusTitle;  // "LD Status Bytes"
};

class BexHidDevice {
 public:
  explicit BexHidDevice(const BexHidFlavor& flavor);
  virtual ~BexHidDevice();
  BexHidDevice(const BexHidDevice&) = delete;
  BexHidDevice& operator=(const BexHidDevice&) = delete;

  // hidDev is the interface opened for queries, prepd its parsed descriptor;
  // both are used only during the call.
  bool Initialize(const sys::HidDevice& hidDev, const sys::HidPreparsedData& prepd,
                  std::wstring devicePath);
  // Closes the report channel and frees the value capabilities.
  void Terminate();
  std::wstring GetDevicePath() const { return m_DevicePath; }

  const std::wstring& SerialNumber() const { return m_SerialNumber; }
  const sys::HidAttributes& Attributes() const { return m_Attributes; }
  const sys::HidCaps& Caps() const { return m_Caps; }
  bool IsConnected() const { return m_HidIo.IsConnected(); }

 protected:
  // Sends n command bytes as one output report, zero-filled to the output
  // report length; 1 when written, 0 when not (refused when n exceeds it).
  int SendCommand(const BYTE* bytes, DWORD n);
  // Reads one input report and copies its bytes after the report id (at most
  // maxBytes of them) to destination; 1 when copied, 0 when not.
  int GetStatus(BYTE* destination, DWORD maxBytes);
  // Reads the feature report (report id 0) and copies its bytes after the
  // report id to destination (which holds maxBytes); 1 when copied. The
  // temporary buffer is cleared afterwards. Logs nothing.
  int ReadFeature(BYTE* destination, DWORD maxBytes);

  const BexHidFlavor& m_Flavor;
  HidIo m_HidIo;
  std::wstring m_SerialNumber;
  std::wstring m_DevicePath;
  sys::HidAttributes m_Attributes;
  sys::HidCaps m_Caps;
  std::vector<sys::HidValueCaps> m_InputValueCaps;
  std::vector<sys::HidValueCaps> m_OutputValueCaps;
  std::vector<sys::HidValueCaps> m_FeatureValueCaps;
  // A device without input reports is refused on every status read; it is
  // said once per plug (per wrapper), not once per read.
  bool m_NoInputLogged = false;
};

// The list of wrappers of one plug-in and the paths of every HID interface seen.
template <class Device>
class BexHidDeviceList {
 public:
  BexHidDeviceList() = default;
  ~BexHidDeviceList();
  BexHidDeviceList(const BexHidDeviceList&) = delete;
  BexHidDeviceList& operator=(const BexHidDeviceList&) = delete;

  // Rebuilds both lists; true when the interface enumeration ran to its end.
  bool Enumerate(const HidSupportedDeviceTable& supported);
  // Whether hidDevices holds path, compared without regard to letter case.
  bool ContainsHidDevice(const std::wstring& path) const;
  // The path of the first wrapper, or empty.
  std::wstring GetFirstDevicePath() const;

  std::vector<std::unique_ptr<Device>> devices;
  std::vector<std::wstring> hidDevices;

 private:
  void clear();
};
