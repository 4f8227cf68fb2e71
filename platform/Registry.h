#pragma once
// Reading one REG_DWORD value under HKEY_LOCAL_MACHINE (64-bit view).
// Linux: the registry file (see design), in the .reg text format.
#include <cstdint>
#include <string>

namespace sys {

enum class RegistryStatus {
  Ok,
  NoKey,        // the file or the key is missing (ERROR_FILE_NOT_FOUND)
  NoValue,      // the key exists, the value does not (ERROR_FILE_NOT_FOUND)
  WrongType,    // the value is not a REG_DWORD (ERROR_INVALID_DATA)
  Failed,       // anything else: unreadable, malformed (the system error)
};

struct RegistryResult {
  RegistryStatus status;
  std::uint32_t error;  // the system error code, 0 for Ok
};

// subKey as under HKLM, e.g. L"SOFTWARE\\HALVERN\\Quillmere".
RegistryResult ReadRegistryDword(const std::wstring& subKey, const std::wstring& valueName,
                                 std::uint32_t& value);

}  // namespace sys
