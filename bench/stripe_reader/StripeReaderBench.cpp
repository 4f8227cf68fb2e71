// Latency from a swipe handed to the simulated reader to the whole text
// being readable on COM3, through vcomd, PortBridgeServer and MsrHidBridge.
// Reports p50 and p99 in microseconds.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "drivers/hid/sim/SimProtocol.h"
#include "drivers/hid/sim/SimSocket.h"
#include "tests/msr/MsrTestSupport.h"
#include "tools/hidsim/CardEncoding.h"

namespace {

using namespace msrtest;
namespace fs = std::filesystem;

// Programs are taken from the folder of this executable unless ZOL_BIN_DIR says otherwise.
void FindPrograms() {
  if (std::getenv("ZOL_BIN_DIR") != nullptr) return;
  ::setenv("ZOL_BIN_DIR", fs::read_symlink("/proc/self/exe").parent_path().c_str(), 1);
}

// Argument: the configured log level (0 off, as installed; 5 everything).
void BM_SwipeToComPort(benchmark::State& state) {
  FindPrograms();
  MsrSystem system("", static_cast<int>(state.range(0)));
  Child reader;
  if (!system.Sim().Plug(reader, "bench") || !system.Start()) {
    state.SkipWithError("the system did not start");
    return;
  }
  ::setenv("ZOL_SYSROOT", system.Env().at("ZOL_SYSROOT").c_str(), 1);
  App app(system.ComPath());
  if (!app.IsOpen()) {
    state.SkipWithError("COM3 did not open");
    return;
  }
  hidsim::SwipeRequest request;
  request.track1 = "B4539148803436467^DOE/JOHN^2512101000000";
  request.track2 = "4539148803436467=2512101000000";
  std::string problem;
  const auto card = hidsim::EncodeSwipe(request, &problem);
  if (!card) {
    state.SkipWithError(problem.c_str());
    return;
  }
  hidsim::Bytes payload(2 + card->area.size());
  payload[0] = card->status[0];
  payload[1] = card->status[1];
  std::copy(card->area.begin(), card->area.end(), payload.begin() + 2);
  const hidsim::Bytes message = hidsim::Message(hidsim::MsgType::Swipe, payload);
  const std::string path = hidsim::DevicePath("bench");
  const std::size_t expected = 2 + request.track1->size() + 2 + request.track2->size();  // %..? ;..?

  const auto swipe = [&] {
    hidsim::Bytes reply;
    std::uint32_t error = 0;
    return hidsim::Request(path, message, hidsim::MsgType::Queued, &reply, 5000, &error);
  };
  // Swipes are dropped until the port has passed COM3 on as open (nothing is
  // logged at level 0 to tell): swipe until one arrives.
  bool ready = false;
  for (int i = 0; i < 100 && !ready; ++i) {
    ready = swipe() && app.Read(expected, 200).size() == expected;
  }
  if (!ready) {
    state.SkipWithError("no swipe reached COM3");
    return;
  }
  app.Drain();

  std::vector<double> latencies;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!swipe()) {
      state.SkipWithError("the swipe was refused");
      return;
    }
    const std::string text = app.Read(expected);
    const auto end = Clock::now();
    if (text.size() != expected) {
      state.SkipWithError("the text did not arrive");
      return;
    }
    latencies.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  std::sort(latencies.begin(), latencies.end());
  const auto at = [&](double q) { return latencies[static_cast<std::size_t>(q * (latencies.size() - 1))]; };
  state.counters["p50_us"] = at(0.50);
  state.counters["p99_us"] = at(0.99);
  state.counters["max_us"] = latencies.back();
}

BENCHMARK(BM_SwipeToComPort)->Arg(0)->Arg(5)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
