#include "platform/win32/DeviceInterfaces.h"
// windows.h first: SetupAPI needs its types.
#include <setupapi.h>

#include <vector>

namespace sys::win32 {
namespace {

class DevInfoSet {
 public:
  explicit DevInfoSet(const GUID& guid)
      : m_set(SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {}
  ~DevInfoSet() {
    if (m_set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_set);
  }
  DevInfoSet(const DevInfoSet&) = delete;
  DevInfoSet& operator=(const DevInfoSet&) = delete;
  HDEVINFO Get() const { return m_set; }
  bool Valid() const { return m_set != INVALID_HANDLE_VALUE; }

 private:
  HDEVINFO m_set;
};

}  // namespace

InterfaceWalk WalkDeviceInterfaces(const GUID& guid, const std::function<void(const wchar_t*)>& onPath,
                                   const std::function<void(InterfaceSkip, DWORD)>& onSkip) {
  DWORD error = ERROR_SUCCESS;
  {
    DevInfoSet set(guid);
    if (!set.Valid()) return InterfaceWalk::NoSet;
    for (DWORD index = 0;; ++index) {
      SP_DEVICE_INTERFACE_DATA data{};
      data.cbSize = sizeof(data);
      if (!SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &guid, index, &data)) break;
      DWORD size = 0;
      if (!SetupDiGetDeviceInterfaceDetailW(set.Get(), &data, nullptr, 0, &size, nullptr) &&
          GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        onSkip(InterfaceSkip::DetailSize, GetLastError());
        continue;
      }
      std::vector<BYTE> record;
      try {
        record.assign(size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ? sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
                                                                        : size,
                      0);
      } catch (...) {
        continue;
      }
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(record.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
      if (!SetupDiGetDeviceInterfaceDetailW(set.Get(), &data, detail, size, nullptr, nullptr)) {
        onSkip(InterfaceSkip::Detail, GetLastError());
        continue;
      }
      onPath(detail->DevicePath);
    }
    error = GetLastError();
  }
  ::SetLastError(error);  // as the walk left it, not as the set's release did
  return error == ERROR_NO_MORE_ITEMS ? InterfaceWalk::Done : InterfaceWalk::EnumFailed;
}

}  // namespace sys::win32
