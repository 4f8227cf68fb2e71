// Application write on COM4 -> the line display's plug-in -> hidsim ld's
// trace -> hidsim bench's mirror -> a "display" record on /api/events that
// shows the new text: the path the bench's page is updated by (p50, p99).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "tests/bench/BenchSystem.h"

namespace {

using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[std::min(samples.size() - 1, static_cast<std::size_t>(p * samples.size()))];
}

void BM_ComWriteToPageEvent(benchmark::State& state) {
  benchtest::BenchSystem bench;
  if (!bench.Start() || !bench.Sys().OpenCom(benchtest::BenchSystem::kDisplayCom)) {
    state.SkipWithError(("system did not start: " + bench.Problem()).c_str());
    return;
  }
  benchtest::EventStream events(bench.Port());
  std::mutex mutex;
  std::condition_variable cv;
  std::string top;
  Clock::time_point arrived;
  events.OnEvent([&](const std::string& type, const benchtest::json& data) {
    if (type != "display") return;
    std::lock_guard<std::mutex> lock(mutex);
    top = data["lines"][0].get<std::string>();
    arrived = Clock::now();
    cv.notify_all();
  });
  std::vector<double> micros;
  int counter = 0;
  for (auto _ : state) {
    const std::string text = "n=" + std::to_string(counter++);
    const std::string line = text + std::string(20 - text.size(), ' ');
    const auto start = Clock::now();
    if (!bench.Sys().WriteCom(std::string("\x10\x00", 2) + text)) {
      state.SkipWithError("write failed");
      break;
    }
    std::unique_lock<std::mutex> lock(mutex);
    if (!cv.wait_for(lock, std::chrono::seconds(5), [&] { return top == line; })) {
      state.SkipWithError("no display event with the text");
      break;
    }
    const double us = std::chrono::duration<double, std::micro>(arrived - start).count();
    micros.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  state.counters["p50_us"] = Percentile(micros, 0.50);
  state.counters["p99_us"] = Percentile(micros, 0.99);
}
BENCHMARK(BM_ComWriteToPageEvent)->UseManualTime()->Iterations(500)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
