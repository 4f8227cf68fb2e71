// hidsim: simulated USB HID devices for the simulated-device provider.
//   hidsim ld  --name NAME [identity options] [--trace FILE] [--uhid]
//   hidsim msr --name NAME [identity options] [--trace FILE] [--uhid]
//   hidsim swipe NAME [--numeric] [--track1 TEXT] [--track2 TEXT] [--track3 TEXT] [--error 1,2,3]
//   hidsim resume
//   hidsim bench [options]: see Bench.h
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "drivers/hid/sim/SimSocket.h"
#include "platform/WinTypes.h"
#include "tools/hidsim/Bench.h"
#include "tools/hidsim/CardEncoding.h"
#include "tools/hidsim/LineDisplayModel.h"
#include "tools/hidsim/SimServer.h"
#include "tools/hidsim/SwipeSend.h"

namespace {

using hidsim::Bytes;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kReplyTimeoutMs = 5000;

const char kUsage[] =
    "usage:\n"
    "  hidsim ld  --name NAME [--vendor N] [--product N] [--usage-page N] [--usage N]\n"
    "             [--serial TEXT] [--input-len N] [--output-len N] [--feature-len N] [--trace FILE]\n"
    "             [--uhid]\n"
    "  hidsim msr --name NAME [the same options]\n"
    "  hidsim swipe NAME [--numeric] [--track1 TEXT] [--track2 TEXT] [--track3 TEXT] [--error 1,2,3]\n"
    "  hidsim resume\n"
    "  hidsim bench [--listen ADDR:PORT] [--log FILE] [--ld-OPTION V]... [--msr-OPTION V]...\n";

int Usage(const std::string& problem) {
  std::fprintf(stderr, "hidsim: %s\n%s", problem.c_str(), kUsage);
  return kExitUsage;
}

bool ParseNumber(const std::string& text, unsigned long max, std::uint16_t* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || text[0] == '-' || v > max) return false;
  *out = static_cast<std::uint16_t>(v);
  return true;
}

class LineDisplay : public hidsim::DeviceBehaviour {
 public:
  void Started() override { Show(); }
  std::vector<Bytes> OnOutput(const Bytes& report) override {
    const auto outcome = m_model.Apply(report.data(), report.size());
    if (outcome.screenChanged) Show();
    return {Bytes(outcome.status.begin(), outcome.status.end())};
  }
  Bytes Feature() override { return {}; }
  std::optional<std::vector<Bytes>> OnSwipe(const Bytes&) override { return std::nullopt; }

 private:
  void Show() {
    const std::string text = m_model.Render();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
  hidsim::LineDisplayModel m_model;
};

class StripeReader : public hidsim::DeviceBehaviour {
 public:
  std::vector<Bytes> OnOutput(const Bytes& report) override {
    const auto status = m_model.Apply(report.data(), report.size());
    return {Bytes(status.begin(), status.end())};
  }
  Bytes Feature() override { return m_model.Feature(); }
  std::optional<std::vector<Bytes>> OnSwipe(const Bytes& payload) override {
    if (payload.size() < 2) return std::vector<Bytes>{};
    const Bytes area(payload.begin() + 2, payload.end());
    const auto status = m_model.Swipe(area, {payload[0], payload[1]});
    std::printf("card swiped (%zu bytes of card data)\n", area.size());
    std::fflush(stdout);
    return std::vector<Bytes>{Bytes(status.begin(), status.end())};
  }

 private:
  hidsim::StripeReaderModel m_model;
};

int RunSimulator(bool display, const std::vector<std::string>& args) {
  hidsim::ServerOptions options;
  hidsim::SimIdentity& id = options.identity;
  id.vendorId = 0x6D13;
  id.productId = 0x4500;
  id.usagePage = 0xFF45;
  if (display) {
    id.usage = 0x2600;
    id.inputLength = 9;
    id.outputLength = 32;
    id.featureLength = 0;
  } else {
    id.usage = 0x1600;
    id.inputLength = 3;
    id.outputLength = 8;
    id.featureLength = 291;
  }
  bool serialGiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& opt = args[i];
    if (opt == "--uhid") {
      options.uhid = true;
      continue;
    }
    if (i + 1 >= args.size()) return Usage("missing value after " + opt);
    const std::string& value = args[++i];
    std::uint16_t* number = nullptr;
    unsigned long max = 0xFFFF;
    if (opt == "--name") {
      options.name = value;
    } else if (opt == "--serial") {
      id.serial = value;
      serialGiven = true;
    } else if (opt == "--trace") {
      options.traceFile = value;
    } else if (opt == "--vendor") {
      number = &id.vendorId;
    } else if (opt == "--product") {
      number = &id.productId;
    } else if (opt == "--usage-page") {
      number = &id.usagePage;
    } else if (opt == "--usage") {
      number = &id.usage;
    } else if (opt == "--input-len") {
      number = &id.inputLength;
      max = hidsim::kMaxReportLength;
    } else if (opt == "--output-len") {
      number = &id.outputLength;
      max = hidsim::kMaxReportLength;
    } else if (opt == "--feature-len") {
      number = &id.featureLength;
      max = hidsim::kMaxReportLength;
    } else {
      return Usage("unknown option " + opt);
    }
    if (number != nullptr && !ParseNumber(value, max, number)) {
      return Usage("bad value " + value + " for " + opt);
    }
  }
  if (!hidsim::IsValidDeviceName(options.name)) {
    return Usage("--name needs a device name of letters, digits, '_', '-' or '.'");
  }
  if (!serialGiven) id.serial = options.name;
  if (display) {
    LineDisplay device;
    return hidsim::RunDevice(options, device);
  }
  StripeReader device;
  return hidsim::RunDevice(options, device);
}

int Swipe(const std::vector<std::string>& args) {
  if (args.empty() || args[0].rfind("--", 0) == 0) return Usage("swipe needs the device name");
  const std::string name = args[0];
  hidsim::SwipeRequest request;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& opt = args[i];
    if (opt == "--numeric") {
      request.numeric = true;
      continue;
    }
    if (i + 1 >= args.size()) return Usage("missing value after " + opt);
    const std::string& value = args[++i];
    if (opt == "--track1") {
      request.track1 = value;
    } else if (opt == "--track2") {
      request.track2 = value;
    } else if (opt == "--track3") {
      request.track3 = value;
    } else if (opt == "--error") {
      const auto tracks = hidsim::ParseErrorTracks(value);
      if (!tracks) return Usage("--error takes track numbers 1 to 3 separated by commas");
      request.error = *tracks;
    } else {
      return Usage("unknown option " + opt);
    }
  }
  std::string problem;
  const auto card = hidsim::EncodeSwipe(request, &problem);
  if (!card) return Usage(problem);
  if (!hidsim::IsValidDeviceName(name)) {
    std::fprintf(stderr, "hidsim: no device named %s\n", name.c_str());
    return kExitFailed;
  }
  std::optional<std::uint32_t> hosts;
  std::uint32_t error = 0;
  // A simulated device, else a kernel one of that name.
  bool sent = hidsim::SendSwipe(hidsim::DevicePath(name), *card, kReplyTimeoutMs, &hosts, &error);
  if (!sent && error == ERROR_DEVICE_NOT_CONNECTED) {
    sent = hidsim::SendSwipe(hidsim::UhidControlPath(name), *card, kReplyTimeoutMs, &hosts, &error);
  }
  if (!sent) {
    if (error == ERROR_DEVICE_NOT_CONNECTED) {
      std::fprintf(stderr, "hidsim: no device named %s\n", name.c_str());
    } else if (error == ERROR_NOT_SUPPORTED) {
      std::fprintf(stderr, "hidsim: %s is not a stripe reader\n", name.c_str());
    } else {
      std::fprintf(stderr, "hidsim: the swipe on %s failed (error %u)\n", name.c_str(), error);
    }
    return kExitFailed;
  }
  if (hosts && *hosts == 0) {
    std::fprintf(stderr, "hidsim: no host reads %s; the card waits as its feature report\n", name.c_str());
  }
  return 0;
}

int Resume() {
  const std::string folder = hidsim::DeviceFolder();
  if (!hidsim::MakeFolders(folder)) {
    std::fprintf(stderr, "hidsim: cannot create %s: %s\n", folder.c_str(), std::strerror(errno));
    return kExitFailed;
  }
  // Watchers are told by the creation itself; the marker need not stay.
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const std::string marker = folder + "/" + hidsim::kResumeMarkerPrefix + "." + std::to_string(::getpid()) +
                             "." + std::to_string(stamp);
  const int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "hidsim: cannot create %s: %s\n", marker.c_str(), std::strerror(errno));
    return kExitFailed;
  }
  ::close(fd);
  ::unlink(marker.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("no command");
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "ld") return RunSimulator(true, args);
  if (command == "msr") return RunSimulator(false, args);
  if (command == "swipe") return Swipe(args);
  if (command == "bench") return hidsim::RunBench(args, "/proc/self/exe");
  if (command == "resume") {
    if (!args.empty()) return Usage("resume takes no arguments");
    return Resume();
  }
  if (command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  return Usage("unknown command " + command);
}
