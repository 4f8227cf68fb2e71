#pragma once
// The log wire's local endpoint beside its TCP port (Linux): a Unix socket
// per port in the log socket folder. Only the system's own users can reach
// it, and it tells each side who the other is even after that one closed.
// None on Windows: the log wire is TCP alone there.
#include <cstdint>
#include <string>

#include "platform/Paths.h"
#include "platform/Text.h"

namespace zollog {

// "<log socket folder>/<port>.sock" (UTF-8), or empty where there is none.
inline std::string LocalEndpoint(std::uint16_t tcpPort) {
  const std::wstring folder = sys::GetFixedPath(sys::FixedPath::LogSocketFolder);
  if (folder.empty()) return {};
  return sys::ToUtf8(folder) + "/" + std::to_string(tcpPort) + ".sock";
}

}  // namespace zollog
