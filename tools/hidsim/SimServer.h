#pragma once
// Runs one simulated device: its socket in the device folder, the clients of
// the provider, the trace file. Single-threaded; ends on SIGTERM or SIGINT
// (the device is unplugged: its socket disappears). With uhid the device is
// also a kernel HID device made through /dev/uhid, destroyed at the end; its
// socket is then named by UhidControlPath, which the simulated-device
// provider never takes for a device, and serves swipes.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "drivers/hid/sim/SimProtocol.h"

namespace hidsim {

class DeviceBehaviour {
 public:
  virtual ~DeviceBehaviour() = default;
  // Called once the device is visible.
  virtual void Started() {}
  // An output report arrived (the whole report); returns the status bytes
  // (after the report id) of each input report to send.
  virtual std::vector<Bytes> OnOutput(const Bytes& report) = 0;
  // The feature report's bytes after the report id.
  virtual Bytes Feature() = 0;
  // A swipe message's payload (status[2], area); returns the status bytes to
  // send, or nullopt when the device has no stripe.
  virtual std::optional<std::vector<Bytes>> OnSwipe(const Bytes& payload) = 0;
};

struct ServerOptions {
  std::string name;
  SimIdentity identity;
  std::string traceFile;  // empty: no trace
  bool uhid = false;
};

// RunDevice's exit code when uhid is asked for and /dev/uhid is absent.
inline constexpr int kExitNoUhid = 2;

// The socket of the kernel HID device NAME that hidsim --uhid made.
std::string UhidControlPath(const std::string& name);

// Runs until stopped; returns the process exit code (0 after a stop signal).
int RunDevice(const ServerOptions& options, DeviceBehaviour& behaviour);

// One trace line: the bytes in lower-case hex separated by blanks, and '\n'.
std::string TraceLine(const Bytes& report);

// A report of `length` bytes: report id 0, then `body`, cut or zero-filled.
Bytes MakeReport(const Bytes& body, std::size_t length);

}  // namespace hidsim
