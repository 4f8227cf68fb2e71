#include "platform/Debug.h"

#include <unistd.h>

#include <cerrno>

#include "platform/Text.h"

namespace sys {

void DebugOutput(const std::string& text) {
  // One write per line, so lines of concurrent threads do not interleave.
  std::string line = text;
  if (line.empty() || line.back() != '\n') line += '\n';
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void DebugOutput(const std::wstring& text) { DebugOutput(ToUtf8(text)); }

}  // namespace sys
