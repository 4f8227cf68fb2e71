// The log client and the service's threads together over the loopback wire,
// through the platform's own sockets (runs on both platforms).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/log/LogClient.h"
#include "common/log/ZolLog.h"
#include "logservice/LogService.h"
#include "platform/Socket.h"
#include "platform/Thread.h"

namespace {

namespace fs = std::filesystem;

struct Folder {
  fs::path path;
  Folder() {
    static int n = 0;
    path = fs::temp_directory_path() /
           ("zolwire." + std::to_string(sys::CurrentProcessId()) + "." + std::to_string(n++));
    fs::create_directories(path);
  }
  ~Folder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

zollog::LogRecord Record(int client, int n) {
  zollog::LogRecord r;
  r.module = ZOL_LDUSB;
  r.level = LEVEL_INFO;
  r.text = "client " + std::to_string(client) + " line " + std::to_string(n);
  r.time = {2026, 12, 7, 10, 0, 0, 0};
  r.threadId = static_cast<std::uint32_t>(client);
  r.processId = 1;
  return r;
}

TEST(LogWire, ClientsOfTheLogClientReachTheFileWhole) {
  Folder dir;
  fs::path file = dir.path / "zol.log";
  zollogsvc::CLogClientMgr mgr;
  zollogsvc::LogServiceSettings s;
  s.fileName = file.string();
  s.limitBytes = 0;
  s.tcpPort = 0;
  ASSERT_EQ(mgr.StartService(s), 0u);
  ASSERT_NE(mgr.ListeningPort(), 0);

  constexpr int kClients = 4;
  constexpr int kLines = 300;
  zollog::LogSettings settings;
  settings.level = 5;
  settings.tcpPort = mgr.ListeningPort();
  // The clients stay connected until their lines are in, as a process's
  // client does.
  std::vector<std::unique_ptr<zollog::LogClient>> clients;
  std::size_t total = 0;
  for (int c = 0; c < kClients; ++c) {
    clients.push_back(std::make_unique<zollog::LogClient>(settings));
    for (int i = 0; i < kLines; ++i) total += zollog::FormatLine(Record(c, i)).size();
  }
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      for (int i = 0; i < kLines; ++i) {
        zollog::LogRecord r = Record(c, i);
        EXPECT_EQ(clients[static_cast<size_t>(c)]->SendRecord(r), static_cast<int>(zollog::FormatLine(r).size()));
      }
    });
  }
  for (auto& t : threads) t.join();
  // Polled with a deadline (this test also runs where the test support is not built).
  std::error_code ec;
  for (auto end = sys::TickCountMs() + 20000; fs::file_size(file, ec) != total && sys::TickCountMs() < end;) sys::SleepMs(5);
  EXPECT_EQ(fs::file_size(file, ec), total);
  clients.clear();
  mgr.StopService();

  // Every line whole and in its client's order; the lines of different
  // clients may interleave only at line ends.
  std::string content = Read(file);
  std::vector<int> next(kClients, 0);
  size_t pos = 0;
  while (pos < content.size()) {
    size_t end = content.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    std::string line = content.substr(pos, end + 2 - pos);
    bool matched = false;
    for (int c = 0; c < kClients && !matched; ++c) {
      if (next[static_cast<size_t>(c)] < kLines && line == zollog::FormatLine(Record(c, next[static_cast<size_t>(c)]))) {
        ++next[static_cast<size_t>(c)];
        matched = true;
      }
    }
    ASSERT_TRUE(matched) << line;
    pos = end + 2;
  }
  for (int c = 0; c < kClients; ++c) EXPECT_EQ(next[static_cast<size_t>(c)], kLines);
}

TEST(LogWire, StopServesConnectedClientsAndRotationKeepsEveryByte) {
  Folder dir;
  fs::path file = dir.path / "zol.log";
  zollogsvc::CLogClientMgr mgr;
  zollogsvc::LogServiceSettings s;
  s.fileName = file.string();
  s.limitBytes = 1024;
  s.tcpPort = 0;
  ASSERT_EQ(mgr.StartService(s), 0u);
  sys::SocketLibrary winsock;
  sys::Socket sock = sys::Socket::CreateTcp();
  ASSERT_TRUE(sock.Connect(sys::kLoopbackAddress, mgr.ListeningPort()));
  std::string sent;
  for (int i = 0; i < 50; ++i) sent += std::string(98, static_cast<char>('a' + i % 26)) + "\r\n";
  ASSERT_EQ(sock.Send(sent.data(), sent.size()), static_cast<long>(sent.size()));
  mgr.StopService();  // the socket is still open
  std::string all;
  std::vector<fs::path> files;
  for (auto& e : fs::directory_iterator(dir.path)) files.push_back(e.path());
  std::sort(files.begin(), files.end(), [&](const fs::path& a, const fs::path& b) {
    // The current file holds the newest bytes.
    if (a == file) return false;
    if (b == file) return true;
    return a < b;
  });
  for (auto& f : files) all += Read(f);
  EXPECT_EQ(all, sent);
  EXPECT_GE(files.size(), 1u);
}

}  // namespace
