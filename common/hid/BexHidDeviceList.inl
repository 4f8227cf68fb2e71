#pragma once
// Internal: the list implementation shared by both wrapper pairs; included by
// the one .cpp file of each pair, which instantiates it.
#include <cwctype>

#include "common/hid/BexHidDevice.h"
#include "common/hid/BexHidText.h"
#include "common/log/ZolLog.h"
#include "platform/Error.h"

template <class Device>
BexHidDeviceList<Device>::~BexHidDeviceList() {
  clear();
}

template <class Device>
void BexHidDeviceList<Device>::clear() {
  for (auto& device : devices) device->Terminate();
  devices.clear();
  hidDevices.clear();
}

template <class Device>
bool BexHidDeviceList<Device>::Enumerate(const HidSupportedDeviceTable& supported) {
  using bexhid::Line;
  using bexhid::WideLine;
  const BexHidFlavor& flavor = Device::Flavor();
  const DWORD module = flavor.logModule;
  clear();

  auto onSkip = [&](sys::HidEnumSkip stage, std::uint32_t error) {
    const char* text = stage == sys::HidEnumSkip::DetailSize
                           ? "::Enumerate - SetupDiGetDeviceInterfaceDetail failed - continuing"
                           : "::Enumerate - SetupDiGetDeviceInterfaceDetail(1) failed - continuing";
    LogError(module, LEVEL_ERROR, error, "%s", Line(flavor.listClass, text).c_str());
  };

  auto onInterface = [&](const std::wstring& path) {
    sys::HidDevice handle;
    if (!handle.Open(path, sys::HidDevice::Access::Query)) {
      const DWORD error = sys::LastError();
      LogErrorW(module, LEVEL_ERROR, error,
                WideLine(flavor.listClass, "::Enumerate - CreateFile(%ws) failed - continuing").c_str(), path.c_str());
      return;
    }
    {
      sys::HidPreparsedData prepd;
      sys::HidAttributes attributes;
      sys::HidCaps caps;
      const bool havePrepd = handle.GetPreparsedData(prepd);
      handle.GetAttributes(attributes);
      if (havePrepd) prepd.GetCaps(caps);
      for (const HidSupportedDevice& entry : supported) {
        if (!havePrepd) break;
        if (entry.vendorId != attributes.vendorId || entry.productId != attributes.productId ||
            entry.usagePage != caps.usagePage || entry.usage != caps.usage) {
          continue;
        }
        LogMessage(module, LEVEL_INFO,
                   "%s::Enumerate - Found supported %s - vid=0x%04x, pid=0x%04x, usage page=0x%04x, usage=0x%04x",
                   flavor.listClass, flavor.deviceKind, entry.vendorId, entry.productId, entry.usagePage, entry.usage);
        auto device = std::make_unique<Device>();
        if (device->Initialize(handle, prepd, path)) devices.push_back(std::move(device));
        break;
      }
    }
    handle.Close();
    hidDevices.push_back(path);
    LogMessageW(module, LEVEL_INFO, WideLine(flavor.listClass, "::Enumerate - Added to hidDevices list: %ws").c_str(),
                path.c_str());
  };

  const sys::HidEnumResult result = sys::HidEnumerateInterfaces(onInterface, onSkip);
  if (result == sys::HidEnumResult::NoInterfaceSet) {
    LogError(module, LEVEL_ERROR, sys::LastError(), "%s",
             Line(flavor.listClass, "::Enumerate - SetupDiGetClassDevs failed").c_str());
    return false;
  }
  bool ok = true;
  if (result == sys::HidEnumResult::EnumFailed) {
    LogError(module, LEVEL_ERROR, sys::LastError(), "%s",
             Line(flavor.listClass, "::Enumerate - SetupDiEnumDeviceInterfaces failed").c_str());
    ok = false;
  }
  LogMessage(module, LEVEL_INFO, "%s::Enumerate - return=%d", flavor.listClass, ok ? 1 : 0);
  return ok;
}

template <class Device>
bool BexHidDeviceList<Device>::ContainsHidDevice(const std::wstring& path) const {
  auto sameIgnoringCase = [&](const std::wstring& known) {
    if (known.size() != path.size()) return false;
    for (std::size_t i = 0; i < known.size(); ++i) {
      if (std::towlower(static_cast<std::wint_t>(known[i])) != std::towlower(static_cast<std::wint_t>(path[i]))) {
        return false;
      }
    }
    return true;
  };
  for (const std::wstring& known : hidDevices) {
    if (sameIgnoringCase(known)) return true;
  }
  return false;
}

template <class Device>
std::wstring BexHidDeviceList<Device>::GetFirstDevicePath() const {
  return devices.empty() ? std::wstring() : devices.front()->GetDevicePath();
}
