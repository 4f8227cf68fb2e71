// ZolLogSvc: the logging service, as a service or in a console.
#include "logservice/LogService.h"
#include "platform/Socket.h"
#include "service/host/ServiceHost.h"

int main(int argc, char** argv) {
  sys::IgnoreBrokenPipe();
  svchost::ServiceDefinition definition;
  definition.serviceName = L"ZOLLOGSVC";
  definition.displayName = L"Quillmere Logging Service";
  definition.description = L"Records data from the Quillmere to a log file";
  definition.process = [](sys::Event& stop) { return zollogsvc::Run(stop); };
  // This service writes no log lines and has no crash-dump handler.
  definition.crashHandler = false;
  return svchost::RunHost(definition, argc, argv);
}
