// A small program that logs through the real client, for the process tests:
// its configuration is the ZolConfig.xml beside its copy.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/log/ZolLog.h"
#include "platform/Text.h"
#include "platform/Thread.h"

int main(int argc, char** argv) {
  std::printf("pid=%x tid=%x\n", sys::CurrentProcessId(), sys::CurrentThreadId());
  std::fflush(stdout);
  std::string scenario = argc > 1 ? argv[1] : "";
  if (scenario == "levels") {
    for (DWORD level = 0; level <= 6; ++level) LogMessage(ZOL_MSRUSB, level, "level %u", level);
    for (DWORD module : {ZOL_SERVICE, ZOL_MSRUSB, ZOL_LDUSB, ZOL_MSRUSB | ZOL_LDUSB}) {
      LogMessage(module, LEVEL_ERROR, "module %u", module);
    }
  } else if (scenario == "texts") {
    LogError(ZOL_SERVICE, LEVEL_ERROR, 5, "CServiceClass::InstallService - OpenSCManager failed");
    LogError(ZOL_SERVICE, LEVEL_ERROR, 0x7FFFFFF0u, "no text for this code");
    LogErrorW(ZOL_SERVICE, LEVEL_ERROR, 2, L"Wide %ws 100%%", L"open");
    LogMessageW(ZOL_LDUSB, LEVEL_INFO, L"Progress %d%%", 50);
    LogMessageW(ZOL_LDUSB, LEVEL_INFO, L"%ws", L"50%s %d");
    LogMessage(ZOL_SERVICE, LEVEL_INFO, "ZolPort::Open - %ls", L"COM5");
    LogMessage(ZOL_SERVICE, LEVEL_INFO, "%s", std::string(1500, 'L').c_str());
  } else if (scenario == "dump") {
    const unsigned char five[] = {0x02, 0x41, 0x42, 0x43, 0x03};
    LogHexDump(ZOL_MSRUSB, LEVEL_INFO, five, 5, "BexHidMsr::GetMsrStatus - MSR Status Bytes");
    unsigned char seventeen[17];
    for (int i = 0; i < 17; ++i) seventeen[i] = static_cast<unsigned char>(0x40 + i);
    LogHexDump(ZOL_LDUSB, LEVEL_INFO, seventeen, 17, "Report %d", 7);
    LogHexDump(ZOL_LDUSB, LEVEL_INFO, seventeen, 0, "nothing");
  } else if (scenario == "path") {
    // A wide text that is not ASCII: the folder the probe runs from.
    LogMessage(ZOL_SERVICE, LEVEL_ERROR, "Probe path = %ls", sys::FromUtf8(argv[0]).c_str());
  } else if (scenario == "count" && argc > 3) {
    // count <lines> <tag>: numbered lines
    int n = std::atoi(argv[2]);
    for (int i = 0; i < n; ++i) LogMessage(ZOL_SERVICE, LEVEL_ERROR, "%s line %06d", argv[3], i);
  }
  return 0;
}
