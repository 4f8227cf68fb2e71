// Sends the same load of 100-byte lines from 1, 8 and 64 loopback clients to
// ZolLogSvc and to rsyslog (imtcp into omfile, its own port, folder and
// configuration, started here in the foreground) and prints lines per second,
// MB per second and lines lost for both, and the ratio. ZolLogSvc is measured
// over TCP and over its local socket ("ZolLogSvc/l"), which the system's own
// clients use on Linux.
//
// Usage: bench_log_ingest [total lines per run, default 700000] [rsyslogd path]
// The time runs from the first connection until every byte is in the file
// (or the file stops growing for 3 s: the rest counts as lost).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include <csignal>
#include <filesystem>

#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using zoltest::Child;

constexpr size_t kLineBytes = 100;

struct Result {
  double seconds = 0;
  size_t received = 0;
  size_t expected = 0;
};

std::string Line(int client, int n) {
  char head[48];
  std::snprintf(head, sizeof head, "<13>client %03d line %07d ", client, n);
  std::string l = head;
  l.resize(kLineBytes - 2, 'x');
  return l + "\r\n";
}

size_t CountLines(const fs::path& folder, const std::string& prefix) {
  size_t n = 0;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(folder, ec)) {
    if (e.path().filename().string().rfind(prefix, 0) != 0) continue;
    std::string data = zoltest::ReadText(e.path().string());
    for (char c : data) n += c == '\n';
  }
  return n;
}

size_t TotalSize(const fs::path& folder, const std::string& prefix) {
  size_t n = 0;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(folder, ec)) {
    if (e.path().filename().string().rfind(prefix, 0) == 0) n += static_cast<size_t>(fs::file_size(e.path(), ec));
  }
  return n;
}

// Sends the load; returns once everything is in the output or growth stops.
// A connection to the local socket at path; -1 when refused.
int ConnectLocal(const fs::path& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un su{};
  su.sun_family = AF_UNIX;
  std::strncpy(su.sun_path, path.c_str(), sizeof su.sun_path - 1);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&su), sizeof su) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

Result Drive(const std::function<int()>& connect, int clients, size_t totalLines, const fs::path& folder,
             const std::string& prefix, size_t bytesPerLineInFile) {
  const size_t perClient = totalLines / static_cast<size_t>(clients);
  Result r;
  r.expected = perClient * static_cast<size_t>(clients);
  std::vector<std::string> loads(static_cast<size_t>(clients));
  for (int c = 0; c < clients; ++c) {
    loads[static_cast<size_t>(c)].reserve(perClient * kLineBytes);
    for (size_t i = 0; i < perClient; ++i) loads[static_cast<size_t>(c)] += Line(c, static_cast<int>(i));
  }
  auto t0 = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      int fd = connect();
      if (fd < 0) return;
      const std::string& s = loads[static_cast<size_t>(c)];
      for (size_t off = 0; off < s.size(); off += 65536) {
        if (!zoltest::SendAll(fd, s.substr(off, std::min<size_t>(65536, s.size() - off)))) break;
      }
      // A lasting connection, as a real client's: closed once the server has
      // read it all (ZolLogSvc takes lines only from a peer it can still see).
      ::shutdown(fd, SHUT_WR);
      timeval limit{30, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      char buf[256];
      while (::recv(fd, buf, sizeof buf, 0) > 0) {
      }
      ::close(fd);
    });
  }
  for (auto& t : threads) t.join();
  const size_t want = r.expected * bytesPerLineInFile;
  size_t last = 0;
  auto lastGrowth = Clock::now();
  auto done = Clock::now();
  for (;;) {
    size_t now = TotalSize(folder, prefix);
    if (now >= want) {
      done = Clock::now();
      break;
    }
    if (now != last) {
      last = now;
      lastGrowth = Clock::now();
    } else if (Clock::now() - lastGrowth > 3s) {
      done = lastGrowth;
      break;
    }
    std::this_thread::sleep_for(2ms);
  }
  r.seconds = std::chrono::duration<double>(done - t0).count();
  return r;
}

bool WaitListening(unsigned short port) {
  return zoltest::WaitFor([&] {
    int fd = zoltest::Connect(port);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
  });
}

Result RunZolLogSvc(int clients, size_t lines, bool local) {
  zoltest::TempDir temp("bench-log");
  const fs::path dir = temp.Dir();
  unsigned short port = zoltest::FreePort();
  fs::path exe = zoltest::CopyProgram("ZolLogSvc", dir.string());
  fs::create_directories(dir / "out");
  zoltest::WriteFile((dir / "ZolConfig.xml").string(),
                     zoltest::LoggingConfig({{"File_Name", (dir / "out" / "zol.log").string()},
                                             {"File_Size", "0"},
                                             {"TCP_Port", std::to_string(port)}}));
  Child svc(exe, {"console"}, dir, {"ZOL_SYSROOT=" + dir.string()});
  if (!WaitListening(port)) return {};
  const fs::path socket = dir / "run" / "zol" / "log" / (std::to_string(port) + ".sock");
  if (local && !zoltest::WaitFor([&] { return fs::exists(socket); })) return {};
  Result r = local ? Drive([&] { return ConnectLocal(socket); }, clients, lines, dir / "out", "zol.log", kLineBytes)
                   : Drive([&] { return zoltest::Connect(port); }, clients, lines, dir / "out", "zol.log", kLineBytes);
  svc.Signal(SIGINT);
  svc.Wait(30s);
  r.received = CountLines(dir / "out", "zol.log");
  return r;
}

Result RunRsyslog(const std::string& rsyslogd, int clients, size_t lines) {
  zoltest::TempDir temp("bench-rsyslog");
  const fs::path dir = temp.Dir();
  unsigned short port = zoltest::FreePort();
  fs::create_directories(dir / "out");
  fs::create_directories(dir / "work");
  std::string conf =
      "global(workDirectory=\"" + (dir / "work").string() +
      "\" parser.escapeControlCharactersOnReceive=\"off\" maxMessageSize=\"8k\")\n"
      "module(load=\"imtcp\" MaxSessions=\"1000\")\n"
      "template(name=\"raw\" type=\"string\" string=\"%rawmsg%\\n\")\n"
      "input(type=\"imtcp\" port=\"" + std::to_string(port) + "\" address=\"127.0.0.1\")\n"
      "action(type=\"omfile\" file=\"" + (dir / "out" / "rs.log").string() + "\" template=\"raw\")\n";
  zoltest::WriteFile((dir / "rsyslog.conf").string(), conf);
  Child rs(rsyslogd, {"-n", "-f", (dir / "rsyslog.conf").string(), "-i", (dir / "rsyslogd.pid").string()}, dir);
  if (!WaitListening(port)) {
    std::fprintf(stderr, "rsyslogd did not listen: %s\n", rs.Err().c_str());
    return {};
  }
  // rsyslog ends a message at LF and keeps the CR: 100 bytes per line as well.
  Result r = Drive([&] { return zoltest::Connect(port); }, clients, lines, dir / "out", "rs.log", kLineBytes);
  rs.Signal(SIGTERM);
  rs.Wait(30s);
  r.received = CountLines(dir / "out", "rs.log");
  return r;
}

void Print(const char* name, int clients, const Result& r) {
  double mb = static_cast<double>(r.received * kLineBytes) / 1e6;
  std::printf("%-11s %8d %10zu %9.3f %12.0f %9.1f %10zu\n", name, clients, r.expected, r.seconds,
              r.seconds > 0 ? static_cast<double>(r.received) / r.seconds : 0.0, r.seconds > 0 ? mb / r.seconds : 0.0,
              r.expected > r.received ? r.expected - r.received : 0);
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  size_t lines = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 700000;
  std::string rsyslogd = argc > 2 ? argv[2] : "/usr/sbin/rsyslogd";
  std::printf("%-11s %8s %10s %9s %12s %9s %10s\n", "server", "clients", "lines", "seconds", "lines/s", "MB/s", "lost");
  size_t total = 0;
  const auto rate = [](const Result& r) { return r.seconds > 0 ? static_cast<double>(r.received) / r.seconds : 0.0; };
  for (int clients : {1, 8, 64}) {
    Result z = RunZolLogSvc(clients, lines, false);
    Print("ZolLogSvc", clients, z);
    Result l = RunZolLogSvc(clients, lines, true);
    Print("ZolLogSvc/l", clients, l);
    Result s = RunRsyslog(rsyslogd, clients, lines);
    Print("rsyslog", clients, s);
    const double sr = rate(s);
    std::printf("ratio ZolLogSvc/rsyslog lines/s at %d clients: %.2f (local socket: %.2f)\n\n", clients,
                sr > 0 ? rate(z) / sr : 0.0, sr > 0 ? rate(l) / sr : 0.0);
    total += z.expected;
  }
  std::printf("lines per server in all: %zu\n", total);
  return 0;
}
