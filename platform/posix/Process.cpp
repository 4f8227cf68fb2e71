#include "platform/Process.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/Text.h"
#include "platform/posix/PosixError.h"

namespace sys {

std::optional<std::wstring> ExecutablePath() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) {
      posix::SetLastErrorFromErrno(errno);
      return std::nullopt;
    }
    if (static_cast<std::size_t>(n) < buffer.size()) return FromUtf8(std::string(buffer.data(), static_cast<std::size_t>(n)));
    buffer.resize(buffer.size() * 2);  // possibly truncated: try a larger buffer
  }
}

wchar_t PathSeparator() { return L'/'; }

}  // namespace sys
