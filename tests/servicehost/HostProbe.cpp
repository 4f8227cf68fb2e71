// A program on the service host for the host's process tests: it prints each
// host event and the life of its work on standard output.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/thread/ThreadUtil.h"
#include "platform/CrashHandler.h"
#include "common/servicehost/ServiceHost.h"

namespace {

// Stands for data a crash report must never contain.
volatile char g_secret[32];
volatile int g_never = -1;

// Recurses until the stack runs out.
__attribute__((noinline)) int Deeper(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (depth == g_never) return 0;
  return Deeper(depth + 1) + frame[0];
}

// A worker of the system whose step overflows its stack.
class OverflowThread : public CThreadUtil {
 public:
  ~OverflowThread() override { StopAndJoin(); }

 protected:
  void Run() override { Deeper(0); }
};

}  // namespace

int main(int argc, char** argv) {
  std::memcpy(const_cast<char*>(g_secret), "SECRET-4111111111111111", 24);
  svchost::ServiceDefinition d;
  d.serviceName = L"ZOLPROBE";
  d.displayName = L"Probe Service";
  d.description = L"Runs the host's tests";
  d.report = [](svchost::HostEvent e, DWORD code) {
    std::printf("event %d %x\n", static_cast<int>(e), code);
    std::fflush(stdout);
  };
  d.process = [](sys::Event& stop) -> std::int32_t {
    std::printf("process running dumpable=%d\n", sys::CoreDumpsDisabled() ? 0 : 1);
    std::fflush(stdout);
    if (std::getenv("ZOL_HOST_PROBE_FAIL")) return static_cast<std::int32_t>(0x80004005u);
    if (const char* crash = std::getenv("ZOL_HOST_PROBE_CRASH")) {
      // A write to the (hex) address given, e.g. in the first page as a
      // null member access gives.
      auto* p = reinterpret_cast<volatile int*>(static_cast<std::uintptr_t>(std::strtoull(crash, nullptr, 16)));
      *p = static_cast<int>(g_secret[0]);
    }
    // A stack overflow on the main thread or on a worker of the system.
    static OverflowThread worker;
    if (const char* overflow = std::getenv("ZOL_HOST_PROBE_OVERFLOW")) {
      if (std::string(overflow) == "main") Deeper(0);
      worker.Start();
    }
    stop.Wait(0xFFFFFFFFu);
    std::printf("process stopped\n");
    std::fflush(stdout);
    return 0;
  };
  return svchost::RunHost(d, argc, argv);
}
