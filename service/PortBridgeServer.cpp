// PortBridgeServer: the port service. One word on the command line picks
// install, remove, console or the service dispatcher (the service host).
#include "ZolVersion.h"
#include "common/log/ZolLog.h"
#include "platform/Event.h"
#include "platform/VirtualSerial.h"
#include "service/ServiceLines.h"
#include "service/ZolManager.h"
#include "common/servicehost/ServiceHost.h"

namespace {

constexpr const char* kBuildVersion = ZOL_VERSION;

std::int32_t Process(sys::Event& stopEvent) {
  LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "CServiceClass::Process - Entered");
  LogMessage(ZOL_SERVICE, LEVEL_INFO, "CServiceClass::Process - virtual serial driver: %ls",
             sys::VirtualSerialDriverName().c_str());
  stopEvent.Reset();
  CZolManager manager;
  HRESULT hr = manager.Initialize();
  if (hr != S_OK) {
    LogMessage(ZOL_SERVICE, LEVEL_ERROR, "CServiceClass::Process - CZolManager Initialize failed");
    return hr;
  }
  manager.RegisterConfiguredClients();
  LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "CServiceClass::Process running");
  stopEvent.Wait(INFINITE);
  LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "CServiceClass::Process - Exiting");
  return 0;  // the manager's destructor ends every port and releases every device
}

}  // namespace

int main(int argc, char** argv) {
  LogMessage(ZOL_SERVICE, LEVEL_INFO, "ZOLSVC - Entered");
  LogMessage(ZOL_SERVICE, LEVEL_INFO, "ZOLSVC - Build Version: %s; Build Time: %s, %s", kBuildVersion, __DATE__,
             __TIME__);
  svchost::ServiceDefinition definition;
  definition.serviceName = L"ZOLSVC";
  definition.displayName = L"Quillmere Framework Service";
  definition.description = L"Manages communication between serial applications and POS devices";
  definition.process = Process;
  definition.report = [name = definition.serviceName](svchost::HostEvent event, DWORD code) {
    ReportServiceLine(name, event, code);
  };
  definition.crashHandler = true;
  int rc = svchost::RunHost(definition, argc, argv);
  LogMessage(ZOL_SERVICE, LEVEL_INFO, "ZOLSVC - Exiting");
  return rc;
}
