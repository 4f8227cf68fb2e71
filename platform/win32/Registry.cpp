#include "platform/Registry.h"

#include "platform/win32/WinHeaders.h"

namespace sys {

RegistryResult ReadRegistryDword(const std::wstring& subKey, const std::wstring& valueName, std::uint32_t& value) {
  const auto fail = [](RegistryStatus status, LONG error) {
    ::SetLastError(static_cast<DWORD>(error));
    return RegistryResult{status, static_cast<std::uint32_t>(error)};
  };
  win32::UniqueKey key;
  LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.Receive());
  if (rc == ERROR_FILE_NOT_FOUND) return fail(RegistryStatus::NoKey, rc);
  if (rc != ERROR_SUCCESS) return fail(RegistryStatus::Failed, rc);

  DWORD type = 0;
  DWORD size = 0;
  rc = RegQueryValueExW(key.Get(), valueName.c_str(), nullptr, &type, nullptr, &size);
  if (rc == ERROR_FILE_NOT_FOUND) return fail(RegistryStatus::NoValue, rc);
  if (rc != ERROR_SUCCESS) return fail(RegistryStatus::Failed, rc);
  if (type != REG_DWORD || size != sizeof(DWORD)) return fail(RegistryStatus::WrongType, ERROR_INVALID_DATA);

  DWORD data = 0;
  size = sizeof data;
  rc = RegQueryValueExW(key.Get(), valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
  if (rc != ERROR_SUCCESS) return fail(RegistryStatus::Failed, rc);
  if (type != REG_DWORD) return fail(RegistryStatus::WrongType, ERROR_INVALID_DATA);
  value = data;
  return RegistryResult{RegistryStatus::Ok, 0};
}

}  // namespace sys
