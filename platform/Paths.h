#pragma once
// The system's fixed paths. On Linux ZOL_SYSROOT, when set, is put in front of
// each of them (tests and the demo run a whole system in a temporary folder).
#include <string>

namespace sys {

enum class FixedPath {
  ConfigDocument,  // C:\Program Files\Halvern\ZOL\BIN\ZolConfig.xml | /opt/halvern/zol/bin/ZolConfig.xml
  LogFile,         // C:\Program Files\Halvern\ZOL\LOG\zol.log       | /opt/halvern/zol/log/zol.log
  CrashDump,       // C:\Windows\8350service.dmp                     | /var/lib/zol/8350service.dmp
  Registry,        // (the registry)                                 | /etc/halvern/registry.reg
  UnitFolder,      // (none)                                         | /etc/systemd/system
  RunFolder,       // (none)                                         | /run/zol
  LogSocketFolder, // (none: the log wire is TCP alone)              | /run/zol/log
};

std::wstring GetFixedPath(FixedPath which);

// What the application opens as COM<n>: "\\.\COM<n>" | /dev/ttyZOL<n>.
std::wstring ComPortPath(int n);

// ZOL_SYSROOT or empty (always empty on Windows), without a trailing '/'.
std::wstring SysRoot();
// The same as narrow (UTF-8) text, for code that builds POSIX paths.
std::string SysRootNarrow();

}  // namespace sys
