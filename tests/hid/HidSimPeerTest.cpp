// ZolHidSim.so against simulators that misbehave: one that never accepts or
// never answers, one killed outright and started again, and the device
// sockets' modes as seen by another user.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "drivers/hid/sim/SimSocket.h"
#include "platform/ErrorNumbers.h"
#include "tests/hid/HidSimHarness.h"
#include "tests/support/HidProvider.h"
#include "tests/support/OtherUser.h"

namespace {

using hidtest::TempRoot;
using Clock = std::chrono::steady_clock;

using sys::errnum::kErrorTimeout;
// The provider's own limits are 2 s a step; a hang would be far longer.
constexpr auto kBound = std::chrono::milliseconds(6000);

class SimPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_provider.Bind(hidtest::BinDir() + "/ZolHidSim.so")) << m_provider.library.LoadErrorText();
    ASSERT_TRUE(hidsim::MakeFolders(m_root.DeviceFolder()));
  }

  std::vector<std::string> Enumerate() {
    std::vector<char> buffer(64 * 1024);
    std::uint32_t needed = 0;
    EXPECT_EQ(m_provider.Enumerate(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &needed), 0u);
    std::vector<std::string> paths;
    for (const char* p = buffer.data(); *p != '\0'; p += std::strlen(p) + 1) paths.emplace_back(p);
    return paths;
  }

  // Every event the watch reports until it has been quiet for a moment after
  // pred held on what was collected.
  std::vector<ZolHidEvent> Events(ZolHidWatch* watch, const std::function<bool(const std::vector<ZolHidEvent>&)>& pred) {
    std::vector<ZolHidEvent> events;
    int fd = -1;
    m_provider.WatchDescriptor(watch, &fd);
    hidtest::WaitFor([&] {
      pollfd p{fd, POLLIN, 0};
      ::poll(&p, 1, 100);
      ZolHidEvent e{};
      while (m_provider.WatchNext(watch, &e) == 0) events.push_back(e);
      return pred(events);
    }, hidtest::kWait);
    return events;
  }

  static std::size_t CountOf(const std::vector<ZolHidEvent>& events, std::uint32_t kind, const std::string& path) {
    std::size_t n = 0;
    for (const auto& e : events) n += e.kind == kind && path == e.path ? 1 : 0;
    return n;
  }

  bool StartSim(zoltest::Child& child, const std::string& name) {
    if (!child.Start(zoltest::HidsimCommand({"msr", "--name", name}), {}, "/dev/null")) return false;
    return hidtest::WaitFor([&] { return Enumerate().size() == 1; }, hidtest::kWait);
  }

  TempRoot m_root;
  zoltest::HidProvider m_provider;
};

hidsim::Fd ConnectNonBlocking(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  hidsim::Fd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0));
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) return hidsim::Fd();
  return fd;
}

TEST_F(SimPeer, ADeviceThatNeverAcceptsOrAnswersIsGivenUpOnInTime) {
  const struct {
    const char* name;
    bool backlogFull;  // true: no connection is taken; false: taken, never answered
    bool listed;
  } cases[] = {{"never accepts", true, false}, {"never answers", false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = m_root.DevicePath("stuck");
    ::unlink(path.c_str());
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    hidsim::Fd listener(::socket(AF_UNIX, SOCK_SEQPACKET, 0));
    ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(::listen(listener.Get(), c.backlogFull ? 0 : 16), 0);
    hidsim::Fd filler;
    if (c.backlogFull) {
      filler = ConnectNonBlocking(path);
      ASSERT_TRUE(filler.Valid());
      ASSERT_FALSE(ConnectNonBlocking(path).Valid()) << "the backlog should be full";
    }

    auto start = Clock::now();
    const auto paths = Enumerate();
    EXPECT_LT(Clock::now() - start, kBound);
    EXPECT_EQ(paths.size(), c.listed ? 1u : 0u);

    for (std::uint32_t mode : {ZOLHID_OPEN_QUERY, ZOLHID_OPEN_READ, ZOLHID_OPEN_WRITE}) {
      ZolHidDevice* device = nullptr;
      start = Clock::now();
      EXPECT_EQ(m_provider.Open(path.c_str(), mode, &device), kErrorTimeout) << mode;
      EXPECT_LT(Clock::now() - start, kBound) << mode;
      EXPECT_EQ(device, nullptr);
    }
  }
}

TEST_F(SimPeer, AKilledSimulatorIsReportedGoneOnceAndItsRestartArrives) {
  ZolHidWatch* watch = nullptr;
  ASSERT_EQ(m_provider.WatchOpen(&watch), 0u);
  const std::string path = m_root.DevicePath("r1");
  zoltest::Child first;
  ASSERT_TRUE(StartSim(first, "r1"));
  auto events = Events(watch, [&](const auto& e) { return CountOf(e, ZOLHID_EVENT_ARRIVAL, path) == 1; });
  EXPECT_EQ(CountOf(events, ZOLHID_EVENT_ARRIVAL, path), 1u);

  first.Kill();  // its socket's name stays behind
  events = Events(watch, [&](const auto& e) { return CountOf(e, ZOLHID_EVENT_REMOVAL, path) == 1; });
  EXPECT_EQ(CountOf(events, ZOLHID_EVENT_REMOVAL, path), 1u);
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << "the stale name should still be there";

  zoltest::Child second;
  ASSERT_TRUE(StartSim(second, "r1"));
  events = Events(watch, [&](const auto& e) { return CountOf(e, ZOLHID_EVENT_ARRIVAL, path) == 1; });
  EXPECT_EQ(CountOf(events, ZOLHID_EVENT_ARRIVAL, path), 1u);
  ZolHidDevice* device = nullptr;
  ASSERT_EQ(m_provider.Open(path.c_str(), ZOLHID_OPEN_READ, &device), 0u);
  m_provider.Close(device);

  // Unplugged in order: the name's removal and the link's end are one event.
  second.Signal(SIGTERM);
  ASSERT_EQ(second.WaitExit(), 0);
  events = Events(watch, [&](const auto& e) { return CountOf(e, ZOLHID_EVENT_REMOVAL, path) >= 1; });
  ZolHidEvent more{};
  while (m_provider.WatchNext(watch, &more) == 0) events.push_back(more);
  EXPECT_EQ(CountOf(events, ZOLHID_EVENT_REMOVAL, path), 1u);
  m_provider.WatchClose(watch);
}

TEST_F(SimPeer, DeviceSocketsAreTheSimulatorsWhateverTheUmask) {
  // The temporary root must be open to the other user, so only the socket's
  // own mode stands between it and the device.
  ASSERT_EQ(::chmod(m_root.Path().c_str(), 0755), 0);
  const mode_t old = ::umask(0);
  zoltest::Child sim;
  const bool started = StartSim(sim, "r1");
  ::umask(old);
  ASSERT_TRUE(started);
  const std::string path = m_root.DevicePath("r1");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0660u);

  const int rc = zoltest::RunAsOtherUser([&] {
    std::uint32_t error = 0;
    const hidsim::Fd fd = hidsim::ConnectDevice(path, &error);
    return fd.Valid() ? 1 : (error == 5 ? 0 : 2);  // ERROR_ACCESS_DENIED
  });
  EXPECT_EQ(rc, 0) << "1: the other user could connect";
  // The swipe command as that user fails.
  const int swipe = zoltest::RunAsOtherUser([&] {
    const std::vector<std::string> argv = zoltest::HidsimCommand({"swipe", "r1", "--track2", "4111111111111111"});
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    return 3;
  });
  EXPECT_EQ(swipe, 1);
}

}  // namespace
