#pragma once
// Restarting the two services so that they read the saved document: stop the
// port service and wait until it has stopped, the same for the logging
// service, then start the logging service and the port service.
#include <cstdint>

namespace zolcfg {

inline constexpr const wchar_t* kPortServiceName = L"ZOLSVC";
inline constexpr const wchar_t* kLogServiceName = L"ZOLLOGSVC";

// The wait for a service to stop is bounded, with a pause between queries.
struct RestartLimits {
  std::uint32_t stopWaitMs = 30000;
  std::uint32_t pollPauseMs = 250;
};

// Asks first; anything but Yes leaves the services alone. Every failure ends
// in its report boxes; nothing after a failed step is done.
void RestartServices(const RestartLimits& limits = {});

}  // namespace zolcfg
