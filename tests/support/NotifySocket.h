#pragma once
// A datagram socket standing in for the service manager's notify socket.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "tests/support/TestSupport.h"

namespace zoltest {

class NotifySocket {
 public:
  NotifySocket() {
    m_path = (m_dir.Dir() / "notify").string();
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, m_path.c_str(), sizeof sa.sun_path - 1);
    EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  }
  ~NotifySocket() { ::close(m_fd); }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  const std::string& Path() const { return m_path; }
  std::string Env() const { return "NOTIFY_SOCKET=" + m_path; }
  // The next message within the limit, or "" when none came.
  std::string Next(std::chrono::milliseconds limit = kDeadline) {
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) return "";
    char buf[512];
    const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }
  // Everything received so far, messages separated by "|".
  const std::string& Received() {
    for (std::string m; !(m = Next(std::chrono::milliseconds(0))).empty();) m_all += m + "|";
    return m_all;
  }

 private:
  TempDir m_dir;
  std::string m_path;
  int m_fd = -1;
  std::string m_all;
};

}  // namespace zoltest
