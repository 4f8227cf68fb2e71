// Application write on COM4 -> the line display's plug-in -> hidsim ld's
// trace -> hidsim bench's mirror -> a "display" record on /api/events that
// shows the new text: the path the bench's page is updated by (p50, p99).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/bench/BenchSystem.h"
#include "tests/bench/Chromium.h"

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
  benchtest::EventStream events(bench.Port(), bench.Token());
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

// The same write to the moment the page in headless Chromium has drawn the
// text: the page notes the wall-clock time of each change of its top row.
void BM_ComWriteToPageInChromium(benchmark::State& state) {
  if (!benchtest::Chromium::Available()) {
    state.SkipWithError("no chromium installed");
    return;
  }
  benchtest::BenchSystem bench;
  benchtest::Chromium browser;
  if (!bench.Start() || !bench.Sys().OpenCom(benchtest::BenchSystem::kDisplayCom) || !browser.Start(bench.Url())) {
    state.SkipWithError(("system did not start: " + bench.Problem() + browser.Problem()).c_str());
    return;
  }
  if (!zoltest::WaitFor([&] { return browser.Evaluate("document.getElementById('live').textContent") == benchtest::json("live"); })) {
    state.SkipWithError("the page did not follow the event stream");
    return;
  }
  const auto observing = browser.Evaluate(
      "window.drawn = {}; new MutationObserver(() => { const t = document.getElementById('row0').dataset.text;"
      " if (!(t in drawn)) drawn[t] = performance.timeOrigin + performance.now(); })"
      ".observe(document.getElementById('row0'), {attributes: true}); true");
  if (observing != benchtest::json(true)) {
    state.SkipWithError("the page did not take the observer");
    return;
  }
  std::vector<double> micros;
  int counter = 0;
  for (auto _ : state) {
    const std::string text = "c=" + std::to_string(counter++);
    const std::string line = text + std::string(20 - text.size(), ' ');
    const double start = std::chrono::duration<double, std::milli>(
                             std::chrono::system_clock::now().time_since_epoch()).count();
    if (!bench.Sys().WriteCom(std::string("\x10\x00", 2) + text)) {
      state.SkipWithError("write failed");
      break;
    }
    std::optional<benchtest::json> drawn;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
      drawn = browser.Evaluate("drawn['" + line + "'] ?? null");
      if (drawn && drawn->is_number()) break;
      // The time is taken in the page; asking less often leaves it the CPU.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!drawn || !drawn->is_number()) {
      state.SkipWithError("the page did not draw the text");
      break;
    }
    const double us = (drawn->get<double>() - start) * 1000;
    micros.push_back(us);
    state.SetIterationTime(std::max(us, 1.0) / 1e6);
  }
  state.counters["p50_us"] = Percentile(micros, 0.50);
  state.counters["p99_us"] = Percentile(micros, 0.99);
}
BENCHMARK(BM_ComWriteToPageInChromium)->UseManualTime()->Iterations(200)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
