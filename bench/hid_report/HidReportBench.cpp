// The HID code's own costs: a status round trip (output report, then the
// input report the device answers with) and an enumeration, both on a
// simulated display through ZolHidSim.so, and report descriptor parsing.
// Run: bin/bench_hid_report (Linux only; never run by the tests).
#include <benchmark/benchmark.h>

#include "common/hid/BexHidLd.h"
#include "common/hid/HidLib.h"
#include "drivers/hid/raw/HidDescriptor.h"
#include "tests/hid/HidSimHarness.h"

namespace {

using hidtest::SimDevice;
using hidtest::TempRoot;

bool Bind() {
  ::setenv("ZOL_HID_PROVIDER", "ZolHidSim.so", 1);
  if (!std::getenv("ZOL_BIN_DIR")) ::setenv("ZOL_BIN_DIR", hidtest::BinDir().c_str(), 1);
  return HidLib::Initialize();
}

void BM_StatusRoundTrip(benchmark::State& state) {
  TempRoot root;
  SimDevice display(root, "bench");
  BexHidLdList ld;
  if (!Bind() || !display.Start("ld") || !ld.Enumerate(LdSupportedDevices()) || ld.devices.empty()) {
    state.SkipWithError("no simulated display");
    return;
  }
  const BYTE statusRequest[] = {0x00, 0x00, 0x20};
  BYTE status[8];
  for (auto _ : state) {
    if (!ld.devices[0]->SendLdCommand(statusRequest, sizeof(statusRequest)) || !ld.devices[0]->GetLdStatus(status)) {
      state.SkipWithError("round trip failed");
      break;
    }
  }
}
BENCHMARK(BM_StatusRoundTrip)->Unit(benchmark::kMicrosecond);

// Argument: the number of simulated interfaces present.
void BM_Enumerate(benchmark::State& state) {
  TempRoot root;
  std::vector<std::unique_ptr<SimDevice>> devices;
  if (!Bind()) {
    state.SkipWithError("no provider");
    return;
  }
  for (int i = 0; i < state.range(0); ++i) {
    devices.push_back(std::make_unique<SimDevice>(root, "dev" + std::to_string(i)));
    if (!devices.back()->Start(i % 2 ? "msr" : "ld")) {
      state.SkipWithError("simulator did not start");
      return;
    }
  }
  BexHidLdList ld;
  for (auto _ : state) benchmark::DoNotOptimize(ld.Enumerate(LdSupportedDevices()));
  state.counters["interfaces"] = static_cast<double>(ld.hidDevices.size());
}
BENCHMARK(BM_Enumerate)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond);

void BM_ParseDescriptor(benchmark::State& state) {
  const std::vector<std::uint8_t> d = {0x06, 0x45, 0xFF, 0x0A, 0x00, 0x26, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF,
                                       0x00, 0x75, 0x08, 0x95, 0x08, 0x09, 0x01, 0x81, 0x02, 0x95, 0x1F, 0x09,
                                       0x02, 0x91, 0x02, 0xC0};
  hiddesc::ParsedDescriptor parsed;
  for (auto _ : state) benchmark::DoNotOptimize(hiddesc::Parse(d.data(), d.size(), parsed));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * d.size()));
}
BENCHMARK(BM_ParseDescriptor);

}  // namespace

BENCHMARK_MAIN();
