#include "platform/Elevation.h"

#include <unistd.h>

#include <filesystem>

#include "platform/Text.h"

namespace sys {

bool IsElevated(const std::wstring& documentPath) {
  if (geteuid() == 0) return true;
  std::filesystem::path path(ToUtf8(documentPath));
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) return access(path.c_str(), W_OK) == 0;
  std::filesystem::path folder = path.parent_path();
  if (folder.empty()) folder = ".";
  return access(folder.c_str(), W_OK) == 0;
}

}  // namespace sys
