#include "platform/WholeFile.h"

namespace sys {

bool ReplaceFileContents(const std::wstring& target, const std::string& bytes) {
  return ReplaceFileThrough(target, [&bytes](const std::wstring& path) { return WriteFileContents(path, bytes); });
}

}  // namespace sys
