// Runs the reader sequence of the log client from wherever it is copied and
// prints what it saw: the result, the document path, then each key of the
// first Logging_Configuration section as name=value (UTF-8).
#include <cstdio>
#include <vector>

#include "common/config/ConfigDoc.h"
#include "platform/Text.h"

int main() {
  std::vector<datanode> children;
  ConfigRead result = ReadConfigSection(ZOL_CONFIG_LABEL_LOG_CLIENT, ZOL_SECTION_LOGGING, children);
  const char* names[] = {"NotLoaded", "NoSection", "Found", "Unreadable"};
  std::printf("%s\n", names[static_cast<int>(result)]);
  std::printf("%s\n", sys::ToUtf8(ConfigPathFor(std::nullopt)).c_str());
  for (const datanode& key : children) {
    std::printf("%s=%s\n", sys::ToUtf8(key.name).c_str(), sys::ToUtf8(key.value).c_str());
  }
  return 0;
}
