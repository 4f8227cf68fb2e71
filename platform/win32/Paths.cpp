#include "platform/Paths.h"

#include <string>

namespace sys {

std::wstring SysRoot() { return {}; }

std::string SysRootNarrow() { return {}; }

std::wstring GetFixedPath(FixedPath which) {
  switch (which) {
    case FixedPath::ConfigDocument: return L"C:\\Program Files\\Halvern\\ZOL\\BIN\\ZolConfig.xml";
    case FixedPath::LogFile: return L"C:\\Program Files\\Halvern\\ZOL\\LOG\\zol.log";
    case FixedPath::CrashDump: return L"C:\\Windows\\8350service.dmp";
    case FixedPath::Registry:  // the real registry
    case FixedPath::UnitFolder:
    case FixedPath::RunFolder:
    case FixedPath::LogSocketFolder: break;
  }
  return {};
}

std::wstring ComPortPath(int n) { return L"\\\\.\\COM" + std::to_wstring(n); }

}  // namespace sys
