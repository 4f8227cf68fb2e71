// Round trip and throughput from the application through the port service
// (vcomd, PortBridgeServer, the echoing test plug-in) and back, against a
// bare pty pair echoed by a thread as the reference, measured in turns.
// Where the kernel driver zolvcom is loaded, the port service on its COM3
// is measured in the same turns.
//   port_roundtrip [round trips] [throughput bytes]
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "tests/service/PortSystem.h"

using namespace porttest;
using Clock = std::chrono::steady_clock;

namespace {

struct Figures {
  double p50us = 0, p99us = 0, bytesPerSecond = 0;
  bool ok = false;
};

bool ReadExactly(int fd, char* buf, std::size_t n, int timeoutMs) {
  std::size_t got = 0;
  while (got < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    ssize_t r = ::read(fd, buf + got, n - got);
    if (r > 0) got += static_cast<std::size_t>(r);
    else if (r < 0 && errno != EAGAIN) return false;
  }
  return true;
}

bool WriteAll(int fd, const char* buf, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    ssize_t r = ::write(fd, buf + done, n - done);
    if (r > 0) {
      done += static_cast<std::size_t>(r);
    } else {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 5000) <= 0) return false;
    }
  }
  return true;
}

// Round trips of 32-byte messages; returns the latencies in microseconds.
bool RoundTrips(int fd, int first, int count, std::vector<double>& us) {
  char msg[32], back[32];
  for (int i = first; i < first + count; ++i) {
    std::snprintf(msg, sizeof(msg), "%031d", i);
    auto t0 = Clock::now();
    if (!WriteAll(fd, msg, sizeof(msg)) || !ReadExactly(fd, back, sizeof(back), 5000)) return false;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  return true;
}

void Percentiles(std::vector<double>& us, Figures& f) {
  std::sort(us.begin(), us.end());
  f.p50us = us[us.size() / 2];
  f.p99us = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

// Throughput: a writer thread and this reader, 1 KB chunks.
bool Throughput(int fd, std::size_t volume, Figures& f) {
  std::atomic<bool> writeOk{true};
  auto t0 = Clock::now();
  std::thread writer([&] {
    std::vector<char> chunk(1024, 'q');
    for (std::size_t sent = 0; sent < volume; sent += chunk.size())
      if (!WriteAll(fd, chunk.data(), chunk.size())) {
        writeOk = false;
        return;
      }
  });
  std::vector<char> sink(volume);
  bool readOk = ReadExactly(fd, sink.data(), volume, 10000);
  writer.join();
  double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  f.bytesPerSecond = volume / seconds;
  return readOk && writeOk;
}

// A pty pair whose master a thread echoes: the reference path.
class BarePty {
 public:
  bool Open() {
    if (::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0 || ::pipe(m_stop) != 0) return false;
    termios tio{};
    ::tcgetattr(m_slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_slave, TCSANOW, &tio);
    ::fcntl(m_slave, F_SETFL, ::fcntl(m_slave, F_GETFL) | O_NONBLOCK);
    m_echo = std::thread([this] {
      char buf[32768];
      for (;;) {
        pollfd p[2] = {{m_master, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        ::poll(p, 2, -1);
        if (p[1].revents) return;
        ssize_t n = ::read(m_master, buf, sizeof(buf));
        if (n > 0) WriteAll(m_master, buf, static_cast<std::size_t>(n));
      }
    });
    return true;
  }
  ~BarePty() {
    if (m_echo.joinable()) {
      (void)!::write(m_stop[1], "x", 1);
      m_echo.join();
    }
    for (int fd : {m_master, m_slave, m_stop[0], m_stop[1]})
      if (fd >= 0) ::close(fd);
  }
  int Fd() const { return m_slave; }

 private:
  int m_master = -1, m_slave = -1;
  int m_stop[2] = {-1, -1};
  std::thread m_echo;
};

// The kernel driver is loaded: its COM3 is made if it is not there.
bool DriverPort() {
  if (::access("/sys/class/zolvcom", F_OK) != 0) return false;
  if (::access("/dev/ttyZOL3", F_OK) != 0) {
    int fd = ::open("/sys/class/zolvcom/add", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
      (void)!::write(fd, "3", 1);
      ::close(fd);
    }
  }
  return WaitFor([] { return ::access("/dev/ttyZOL3", F_OK) == 0 && ::access("/dev/zolvcom/ZOL_COM3", F_OK) == 0; },
                 5000);
}

// Echo works once the port is reading: probe until a byte comes back.
bool Echoing(App& app) {
  return WaitFor(
      [&] {
        app.Write("p");
        return app.Read(1, 100) == "p";
      },
      15000);
}

// Every path is measured in alternating blocks, so that whatever else the
// machine does meanwhile weighs on all alike.
bool Run(int trips, std::size_t volume, Figures& bare, Figures& bridge, Figures& driver, bool withDriver) {
  BarePty pty;
  if (!pty.Open()) return false;
  PortSystem sys(EchoOptions());
  if (!sys.Start()) return false;
  App app(sys.ComPath(3));
  if (!Echoing(app)) return false;
  PortSystemOptions onDriver = EchoOptions();
  onDriver.kernelDriver = true;
  PortSystem driverSys(onDriver);
  std::unique_ptr<App> driverApp;
  if (withDriver) {
    if (!driverSys.Start()) return false;
    driverApp = std::make_unique<App>(driverSys.ComPath(3));
    if (!Echoing(*driverApp)) return false;
  }
  constexpr int kBlock = 100;
  std::vector<double> bareUs, bridgeUs, driverUs;
  for (int done = 0; done < trips; done += kBlock) {
    int count = std::min(kBlock, trips - done);
    if (!RoundTrips(pty.Fd(), done, count, bareUs) || !RoundTrips(app.Fd(), done, count, bridgeUs)) return false;
    if (withDriver && !RoundTrips(driverApp->Fd(), done, count, driverUs)) return false;
  }
  Percentiles(bareUs, bare);
  Percentiles(bridgeUs, bridge);
  bare.ok = Throughput(pty.Fd(), volume, bare);
  bridge.ok = Throughput(app.Fd(), volume, bridge);
  if (withDriver) {
    Percentiles(driverUs, driver);
    driver.ok = Throughput(driverApp->Fd(), volume, driver);
    driverSys.StopService();
  }
  sys.StopService();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int trips = argc > 1 ? std::atoi(argv[1]) : 20000;
  std::size_t volume = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : (4u << 20);
  if (BinDir().empty()) {
    std::fprintf(stderr, "set ZOL_BIN_DIR to the folder with PortBridgeServer, vcomd and zol_test_device.so\n");
    return 2;
  }
  Figures bare, bridge, driver;
  const bool withDriver = DriverPort();
  if (!Run(trips, volume, bare, bridge, driver, withDriver) || !bare.ok || !bridge.ok ||
      (withDriver && !driver.ok)) {
    std::fprintf(stderr, "measurement failed (bare %d, bridge %d, driver %d)\n", bare.ok, bridge.ok, driver.ok);
    return 1;
  }
  std::printf("%-22s %12s %12s %14s\n", "path", "p50 (us)", "p99 (us)", "bytes/s");
  std::printf("%-22s %12.1f %12.1f %14.0f\n", "bare pty (reference)", bare.p50us, bare.p99us, bare.bytesPerSecond);
  std::printf("%-22s %12.1f %12.1f %14.0f\n", "port service", bridge.p50us, bridge.p99us, bridge.bytesPerSecond);
  std::printf("ratio bridge/bare: p50 %.2f, p99 %.2f, throughput %.2f\n", bridge.p50us / bare.p50us,
              bridge.p99us / bare.p99us, bridge.bytesPerSecond / bare.bytesPerSecond);
  std::printf("added at p99: %.1f us (goal < 100 us)\n", bridge.p99us - bare.p99us);
  if (withDriver) {
    std::printf("%-22s %12.1f %12.1f %14.0f\n", "port service, zolvcom", driver.p50us, driver.p99us,
                driver.bytesPerSecond);
    std::printf("ratio zolvcom/vcomd: p50 %.2f, p99 %.2f, throughput %.2f (goal: p99 not above 1)\n",
                driver.p50us / bridge.p50us, driver.p99us / bridge.p99us, driver.bytesPerSecond / bridge.bytesPerSecond);
  } else {
    std::printf("zolvcom: not loaded, not measured\n");
  }
  return 0;
}
