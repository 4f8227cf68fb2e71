// ZolLogSvc: the logging service, as a service or in a console.
#include <atomic>

#include "logservice/LogService.h"
#include "platform/ReopenSignal.h"
#include "platform/Socket.h"
#include "common/servicehost/ServiceHost.h"

int main(int argc, char** argv) {
  sys::IgnoreBrokenPipe();
  // Before any thread starts, so that the request reaches its own thread only.
  sys::Event reopen(sys::Event::Reset::Auto);
  sys::ReopenSignal reopenSignal;
  const bool reopens = reopen.IsValid() && reopenSignal.Start([&reopen] { reopen.Set(); });
  std::atomic<std::int32_t> result{0};
  svchost::ServiceDefinition definition;
  definition.serviceName = L"ZOLLOGSVC";
  definition.displayName = L"Quillmere Logging Service";
  definition.description = L"Records data from the Quillmere to a log file";
  definition.processWhenReady = [&](sys::Event& stop, const std::function<void()>& ready) {
    std::int32_t rc = zollogsvc::Run(stop, reopens ? &reopen : nullptr, ready);
    result = rc;
    return rc;
  };
  // This service writes no log lines and has no crash-dump handler.
  definition.crashHandler = false;
  int rc = svchost::RunHost(definition, argc, argv);
  // A service that could not start (its port taken) fails visibly.
  return result != 0 ? 1 : rc;
}
