// Line display benchmarks:
//  - the parser and emulation alone, in bytes per second;
//  - the whole system: a write on the COM port until the line report shows
//    in the simulated display's trace (p50, p99), and a bare pty round trip
//    measured in the same run for reference.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "plugins/ld/LdDisplay.h"
#include "tests/support/ZolSystem.h"

namespace {

// Text with the cursor commands and mode changes an application sends.
std::vector<BYTE> MixedStream() {
  std::vector<BYTE> s;
  for (int i = 0; i < 64; ++i) {
    const std::string line = "Item " + std::to_string(i) + "   EUR " + std::to_string(i * 3) + ".99";
    s.push_back(0x10);
    s.push_back(static_cast<BYTE>(i % 2 == 0 ? 0 : 20));
    s.insert(s.end(), line.begin(), line.end());
    s.push_back(0x0D);
    s.push_back(0x0A);
    if (i % 16 == 0) s.insert(s.end(), {0x03, 0x24, 0x11, 0x22, 0x33, 0x44, 0x55});
  }
  return s;
}

void BM_ParserAndEmulation(benchmark::State& state) {
  const std::vector<BYTE> stream = MixedStream();
  const std::size_t chunk = static_cast<std::size_t>(state.range(0));
  LdDisplay display;
  std::size_t bytesSent = 0;
  for (auto _ : state) {
    for (std::size_t i = 0; i < stream.size(); i += chunk) {
      for (const LdAction& a : display.ApplyHandOver(stream.data() + i, std::min(chunk, stream.size() - i))) {
        bytesSent += a.length;
      }
    }
    benchmark::DoNotOptimize(display.m_DisplayImage);
    benchmark::DoNotOptimize(bytesSent);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(stream.size()));
}
BENCHMARK(BM_ParserAndEmulation)->Arg(1)->Arg(64)->Arg(4096);

double Percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const std::size_t index = std::min(samples.size() - 1, static_cast<std::size_t>(p * samples.size()));
  return samples[index];
}

void Report(benchmark::State& state, const std::vector<double>& micros) {
  state.counters["p50_us"] = Percentile(micros, 0.50);
  state.counters["p99_us"] = Percentile(micros, 0.99);
}

// A pty in raw mode: write on the slave, read on the master, answer, read on
// the slave; the floor under any COM port latency.
void BM_BarePtyRoundTrip(benchmark::State& state) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    state.SkipWithError("no pty");
    return;
  }
  const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  termios t{};
  ::tcgetattr(slave, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(slave, TCSANOW, &t);
  std::vector<double> micros;
  char byte = 'x';
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (::write(slave, &byte, 1) != 1 || ::read(master, &byte, 1) != 1 || ::write(master, &byte, 1) != 1 ||
        ::read(slave, &byte, 1) != 1) {
      state.SkipWithError("pty transfer failed");
      break;
    }
    const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    micros.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  Report(state, micros);
  ::close(slave);
  ::close(master);
}
BENCHMARK(BM_BarePtyRoundTrip)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

// Waits until the trace file holds `line`, reading only what was appended;
// sleeps in poll() on an inotify watch between appends, so the waiting takes
// no processor time from the system under measurement.
class TraceFollower {
 public:
  explicit TraceFollower(const std::string& path) : m_path(path), m_notify(::inotify_init1(IN_NONBLOCK)) {}
  ~TraceFollower() {
    if (m_fd >= 0) ::close(m_fd);
    if (m_notify >= 0) ::close(m_notify);
  }
  bool WaitFor(const std::string& line, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (m_fd < 0) {
        m_fd = ::open(m_path.c_str(), O_RDONLY);
        if (m_fd >= 0 && m_notify >= 0) ::inotify_add_watch(m_notify, m_path.c_str(), IN_MODIFY);
      }
      if (m_fd >= 0) {
        char buffer[4096];
        for (ssize_t n; (n = ::read(m_fd, buffer, sizeof buffer)) > 0;) {
          m_pending.append(buffer, static_cast<std::size_t>(n));
        }
        const std::size_t at = m_pending.find(line);
        if (at != std::string::npos) {
          m_pending.erase(0, at + line.size());
          return true;
        }
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{m_notify, POLLIN, 0};
      // Until the file exists the watch cannot be set: look again shortly.
      ::poll(&p, 1, m_fd >= 0 ? static_cast<int>(left.count()) : 5);
      char events[4096];
      while (m_notify >= 0 && ::read(m_notify, events, sizeof events) > 0) {
      }
    }
  }

 private:
  std::string m_path;
  std::string m_pending;
  int m_fd = -1;
  int m_notify = -1;
};

std::string HexLine(const zoltest::Bytes& report) {
  std::string text;
  char hex[4];
  for (std::size_t i = 0; i < report.size(); ++i) {
    std::snprintf(hex, sizeof hex, "%02x", report[i]);
    if (i != 0) text += ' ';
    text += hex;
  }
  return text + "\n";
}

// Arg: the document's Log_Level (1 errors only, 5 every trace line).
void BM_ComWriteToLineReport(benchmark::State& state) {
  zoltest::SystemOptions options;
  options.logLevel = static_cast<int>(state.range(0));
  zoltest::ZolSystem system(options);
  if (!system.StartAll() || !system.OpenCom(5)) {
    state.SkipWithError(("system did not start: " + system.Problem()).c_str());
    return;
  }
  TraceFollower trace(system.TracePath("ld1"));
  if (!trace.WaitFor(HexLine(zoltest::LineReport(0x82, "")), std::chrono::seconds(5))) {
    state.SkipWithError("display not initialised");
    return;
  }
  std::vector<double> micros;
  int counter = 0;
  for (auto _ : state) {
    const std::string text = "n=" + std::to_string(counter++);
    const std::string expected = HexLine(zoltest::LineReport(0x81, text));
    std::string bytes = std::string("\x10\x00", 2) + text;
    const auto start = std::chrono::steady_clock::now();
    if (!system.WriteCom(bytes) || !trace.WaitFor(expected, std::chrono::seconds(5))) {
      state.SkipWithError("line report did not arrive");
      break;
    }
    const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    micros.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  Report(state, micros);
}
BENCHMARK(BM_ComWriteToLineReport)->Arg(1)->Arg(5)->UseManualTime()->Iterations(500)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
