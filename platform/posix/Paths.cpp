#include "platform/Paths.h"

#include <cstdlib>

#include "platform/Text.h"

namespace sys {

std::string SysRootNarrow() {
  const char* root = std::getenv("ZOL_SYSROOT");
  if (!root) return {};
  std::string text(root);
  while (!text.empty() && text.back() == '/') text.pop_back();  // "/tmp/x/" and "/tmp/x" alike
  return text;
}

std::wstring SysRoot() { return FromUtf8(SysRootNarrow()); }

std::wstring GetFixedPath(FixedPath which) {
  const wchar_t* path = L"";
  switch (which) {
    case FixedPath::ConfigDocument: path = L"/opt/halvern/zol/bin/ZolConfig.xml"; break;
    case FixedPath::LogFile: path = L"/opt/halvern/zol/log/zol.log"; break;
    case FixedPath::CrashDump: path = L"/var/lib/zol/8350service.dmp"; break;
    case FixedPath::Registry: path = L"/etc/halvern/registry.reg"; break;
    case FixedPath::UnitFolder: path = L"/etc/systemd/system"; break;
    case FixedPath::RunFolder: path = L"/run/zol"; break;
    case FixedPath::LogSocketFolder: path = L"/run/zol/log"; break;
  }
  return SysRoot() + path;
}

std::wstring ComPortPath(int n) { return SysRoot() + L"/dev/ttyZOL" + std::to_wstring(n); }

}  // namespace sys
