#pragma once
// Reading a log file with its rotated files, and checking client lines in it.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace logtest {

namespace fs = std::filesystem;

// A 100-byte line (CR LF included) that names its client and number.
inline std::string ClientLine(int client, int n) {
  char head[48];
  std::snprintf(head, sizeof head, "client %03d line %06d ", client, n);
  std::string line = head;
  line.resize(98, static_cast<char>('a' + (client + n) % 26));
  return line + "\r\n";
}

// Lines from..to-1 of one client, as ClientLine writes them.
inline std::string Lines(int client, int from, int to) {
  std::string s;
  for (int i = from; i < to; ++i) s += ClientLine(client, i);
  return s;
}

// Closes a test client's connection once the service is done with it, as a
// real client's lasting connection is: the service trusts a connection only
// while it can still tell the peer's owner, which a closed socket loses.
inline void CloseServed(int fd) {
  ::shutdown(fd, SHUT_WR);
  char buf[256];
  const auto end = zoltest::Clock::now() + std::chrono::milliseconds(zoltest::kDeadlineMs);
  while (zoltest::Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) == 1 && ::recv(fd, buf, sizeof buf, 0) <= 0) break;
  }
  ::close(fd);
}

// The rotated files (by name, which is by time) and then the current file.
inline std::vector<fs::path> LogSet(const fs::path& file) {
  std::vector<fs::path> rotated;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(file.parent_path(), ec)) {
    std::string n = e.path().filename().string();
    if (n.rfind(file.filename().string() + ".", 0) == 0) rotated.push_back(e.path());
  }
  std::sort(rotated.begin(), rotated.end());
  if (fs::exists(file)) rotated.push_back(file);
  return rotated;
}

inline std::string ReadLogSet(const fs::path& file) {
  std::string all;
  for (auto& p : LogSet(file)) all += zoltest::ReadText(p);
  return all;
}

// Every line of every client exactly once, whole, in each client's order.
inline void ExpectEveryLineOnceInOrder(const std::string& content, int clients, int lines) {
  std::vector<int> next(static_cast<size_t>(clients), 0);
  size_t pos = 0;
  size_t bad = 0;
  while (pos < content.size()) {
    int c = -1, n = -1;
    // sscanf reads its whole input: give it one line's head only.
    char head[40] = {};
    content.copy(head, sizeof head - 1, pos);
    if (std::sscanf(head, "client %d line %d ", &c, &n) != 2 || c < 0 || c >= clients ||
        content.compare(pos, 100, ClientLine(c, n)) != 0) {
      if (++bad < 5) ADD_FAILURE() << "bad line at " << pos << ": " << content.substr(pos, 100);
      size_t e = content.find("\r\n", pos);
      if (e == std::string::npos) break;
      pos = e + 2;
      continue;
    }
    EXPECT_EQ(n, next[static_cast<size_t>(c)]) << "client " << c << " out of order or repeated";
    next[static_cast<size_t>(c)] = n + 1;
    pos += 100;
  }
  EXPECT_EQ(bad, 0u);
  for (int c = 0; c < clients; ++c) EXPECT_EQ(next[static_cast<size_t>(c)], lines) << "client " << c;
}

}  // namespace logtest
