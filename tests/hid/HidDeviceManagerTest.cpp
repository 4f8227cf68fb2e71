// Both plug-ins loaded into this process and released while a device-change
// callback still enumerates: the notifier gives up on its thread after 3 s,
// so Release itself must wait until the callback has left the manager.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "drivers/hid/sim/SimSocket.h"
#include "tests/hid/HidSimHarness.h"
#include "tests/ld/CountingListener.h"
#include "tests/support/PluginDevice.h"

namespace {

using hidtest::TempRoot;

// A device socket that takes connections and never answers them: every open
// of it costs the provider its 2 s reply limit. Polled by the test itself.
class SilentDevice {
 public:
  // Bound and listening under a hidden name first, so that whoever sees the
  // device can connect to it at once.
  SilentDevice(const std::string& folder, const std::string& name)
      : m_listener(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0)) {
    const std::string hidden = folder + "/." + name;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, hidden.c_str(), sizeof addr.sun_path - 1);
    m_ok = ::bind(m_listener.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
           ::listen(m_listener.Get(), 16) == 0 && ::rename(hidden.c_str(), (folder + "/" + name).c_str()) == 0;
  }
  bool Ok() const { return m_ok; }
  // Opens that asked for the identity; those of them not yet given up.
  int Asked() { return Count(false); }
  int Pending() { return Count(true); }

 private:
  struct Peer {
    hidsim::Fd fd;
    bool asked = false;
    bool closed = false;
  };

  int Count(bool pendingOnly) {
    for (int fd; (fd = ::accept4(m_listener.Get(), nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) {
      m_peers.push_back({hidsim::Fd(fd)});
    }
    int n = 0;
    for (Peer& peer : m_peers) {
      std::uint8_t message[hidsim::kMaxMessage];
      while (!peer.closed) {
        const ssize_t got = ::recv(peer.fd.Get(), message, sizeof message, MSG_DONTWAIT);
        if (got > 0) {
          peer.asked = peer.asked || message[0] == static_cast<std::uint8_t>(hidsim::MsgType::GetIdentity);
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
          peer.closed = true;
        } else if (errno == EAGAIN) {
          break;
        }
      }
      n += peer.asked && (!pendingOnly || !peer.closed) ? 1 : 0;
    }
    return n;
  }

  hidsim::Fd m_listener;
  bool m_ok = false;
  std::vector<Peer> m_peers;
};

TEST(HidDeviceManager, ReleaseWaitsForTheDeviceChangeCallbackInFlight) {
  for (const char* file : {"MsrHidBridge.so", "LdHidBridge.so"}) {
    SCOPED_TRACE(file);
    TempRoot root;
    ::setenv("ZOL_HID_PROVIDER", "ZolHidSim.so", 1);
    ASSERT_TRUE(hidsim::MakeFolders(root.DeviceFolder()));
    SilentDevice known(root.DeviceFolder(), "s1");
    ASSERT_TRUE(known.Ok());

    const std::string path = hidtest::BinDir() + "/" + file;
    CountingListener listener;  // outlives the device
    DEVICE_PARAMS params{};
    zoltest::PluginDevice device;
    ASSERT_TRUE(device.Create(std::wstring(path.begin(), path.end())));
    ASSERT_EQ(device->Initialize(&listener, &params), DEVICE_SUCCESS);
    ASSERT_EQ(known.Asked(), 1);

    // An unknown device arrives: the callback enumerates it and the known
    // one, 2 s each. Release starts while the first of them is being asked.
    SilentDevice arriving(root.DeviceFolder(), "s0");
    ASSERT_TRUE(arriving.Ok());
    ASSERT_TRUE(hidtest::WaitFor([&] { return arriving.Asked() >= 1; }, std::chrono::seconds(10)))
        << "asked: arriving " << arriving.Asked() << ", known " << known.Asked();
    device.Release();
    EXPECT_EQ(arriving.Pending() + known.Pending(), 0) << "a callback still runs in the released manager";
    EXPECT_EQ(known.Asked(), 2);
    // Should a callback still run, it is let finish here, where the sanitizers see what it touches.
    hidtest::WaitFor([&] { return arriving.Pending() + known.Pending() == 0 && known.Asked() == 2; },
                     std::chrono::seconds(10));
  }
}

}  // namespace
