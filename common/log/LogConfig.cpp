// The log client's configuration read (once, when the client is created).
#include <string>

#include "common/config/ConfigDoc.h"
#include "common/log/LogClient.h"
#include "platform/Debug.h"

namespace zollog {

LogSettings ReadLogSettings() {
  std::vector<datanode> children;
  std::vector<std::pair<std::wstring, std::wstring>> keys;
  const ConfigRead read = ReadConfigSection(ZOL_CONFIG_LABEL_LOG_CLIENT, ZOL_SECTION_LOGGING, children);
  if (read == ConfigRead::Found) {
    for (const datanode& n : children) keys.emplace_back(n.name, n.value);
  }
  LogSettings s = ParseLogSettings(keys);
  s.documentUnreadable = read == ConfigRead::Unreadable;
  sys::DebugOutput("[ZOL]: Log Library TCP Port = " + std::to_string(s.tcpPort));
  return s;
}

}  // namespace zollog
