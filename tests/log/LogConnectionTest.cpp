// The client's connection against real listeners.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "common/log/LogClient.h"
#include "common/log/ZolLog.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using zoltest::Listener;

zollog::LogRecord Line(const std::string& text) {
  zollog::LogRecord r;
  r.module = ZOL_SERVICE;
  r.level = LEVEL_INFO;
  r.text = text;
  r.time = {2026, 12, 5, 14, 3, 7, 42};
  r.threadId = 1;
  r.processId = 2;
  return r;
}

zollog::LogSettings At(unsigned short port) {
  zollog::LogSettings s;
  s.level = 5;
  s.tcpPort = port;
  return s;
}

TEST(LogConnection, NoListenerDropsTheLineAtOnce) {
  zollog::LogClient client(At(zoltest::FreePort()));
  auto start = zoltest::Clock::now();
  EXPECT_EQ(client.SendRecord(Line("lost")), zollog::kConnectFailed);
  EXPECT_LT(zoltest::Clock::now() - start, 2s);
  EXPECT_FALSE(client.Connected());
}

TEST(LogConnection, ListenerStartedLaterGetsTheNextLineOnOneConnection) {
  unsigned short port = zoltest::FreePort();
  zollog::LogClient client(At(port));
  EXPECT_EQ(client.SendRecord(Line("before")), zollog::kConnectFailed);

  // Bind the same port now: the next line connects.
  Listener listener(0, port);
  ASSERT_EQ(listener.Port(), port);
  std::string first = zollog::FormatLine(Line("after 1"));
  std::string second = zollog::FormatLine(Line("after 2"));
  EXPECT_EQ(client.SendRecord(Line("after 1")), static_cast<int>(first.size()));
  EXPECT_EQ(client.SendRecord(Line("after 2")), static_cast<int>(second.size()));
  int conn = listener.Accept(5s);
  ASSERT_GE(conn, 0);
  client.Disconnect();
  EXPECT_EQ(Listener::ReadAll(conn), first + second);
  // Only one connection was made for both lines.
  EXPECT_LT(listener.Accept(100ms), 0);
}

TEST(LogConnection, StalledReaderBoundsTheWaitToThreeSeconds) {
  Listener listener(4096);
  zollog::LogConnection connection(listener.Port());
  ASSERT_EQ(connection.Connect(), 0);
  ASSERT_GE(listener.Accept(5s), 0);  // accepted, never read
  std::string line = zollog::FormatLine(Line(std::string(1000, 'z')));
  int rc = 0;
  auto callStart = zoltest::Clock::now();
  for (int i = 0; i < 100000; ++i) {
    callStart = zoltest::Clock::now();
    rc = connection.Send(line);
    if (rc != static_cast<int>(line.size())) break;
  }
  auto took = zoltest::Clock::now() - callStart;
  EXPECT_TRUE(rc == zollog::kSendTimeout || (rc >= 0 && rc < static_cast<int>(line.size()))) << rc;
  // The bound is 3 s; the tolerance only absorbs scheduling on a busy machine.
  EXPECT_GE(took, 2900ms);
  EXPECT_LT(took, 6s);
}

TEST(LogConnection, ListenerThatNeverAcceptsHoldsNoCallLongerThanTheBound) {
  // A backlog of 0 holds one connection; with it taken, the system answers
  // no further handshake on the port.
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  socklen_t len = sizeof sa;
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  const unsigned short port = ntohs(sa.sin_port);
  int filler = zoltest::Connect(port);
  ASSERT_GE(filler, 0);
  zollog::LogClient client(At(port));
  const auto start = zoltest::Clock::now();
  EXPECT_EQ(client.SendRecord(Line("one")), zollog::kConnectFailed);
  const auto first = zoltest::Clock::now() - start;
  EXPECT_EQ(client.SendRecord(Line("two")), zollog::kConnectFailed);
  const auto both = zoltest::Clock::now() - start;
  // Each attempt waits its 3 s and gives up; the tolerance absorbs a busy machine.
  EXPECT_GE(first, 2900ms) << "the listener answered: nothing was bounded";
  EXPECT_LT(both, 7500ms);
  ::close(filler);
  ::close(listener);
}

TEST(LogConnection, PeerGoneFailsTheSendAndTheNextLineReconnects) {
  Listener listener;
  zollog::LogClient client(At(listener.Port()));
  std::string line = zollog::FormatLine(Line("one"));
  ASSERT_EQ(client.SendRecord(Line("one")), static_cast<int>(line.size()));
  int conn = listener.Accept(5s);
  ASSERT_GE(conn, 0);
  listener.Drop(conn);
  // Sends after the reset fail (the first may still be accepted by the stack).
  bool failed = zoltest::WaitFor([&] { return client.SendRecord(Line("probe")) < 0; }, 10s);
  EXPECT_TRUE(failed);
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.SendRecord(Line("again")), static_cast<int>(zollog::FormatLine(Line("again")).size()));
  EXPECT_GE(listener.Accept(5s), 0);
}

}  // namespace
