#include "tools/hidsim/SimServer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <list>

#include "drivers/hid/sim/SimSocket.h"
#include "platform/WinTypes.h"
#include "tools/hidsim/UhidDevice.h"

namespace hidsim {
namespace {

constexpr mode_t kDeviceMode = 0660;

struct Client {
  Fd fd;
  bool subscribed = false;
};

void Complain(const std::string& what, int err) {
  std::fprintf(stderr, "hidsim: %s: %s\n", what.c_str(), std::strerror(err));
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

class Server {
 public:
  Server(const ServerOptions& options, DeviceBehaviour& behaviour)
      : m_options(options), m_behaviour(behaviour) {}

  ~Server() {
    // Unplug: the name disappears first, then the connections drop.
    if (m_published) {
      struct stat st {};
      if (::stat(m_path.c_str(), &st) == 0 && st.st_ino == m_inode) ::unlink(m_path.c_str());
    }
    if (!m_tempPath.empty()) ::unlink(m_tempPath.c_str());
  }

  int Run() {
    if (m_options.uhid) {
      const auto opened = m_uhid.Open();
      if (opened == UhidDevice::OpenResult::Absent) {
        std::fprintf(stderr, "hidsim: /dev/uhid is absent: this kernel cannot take simulated HID devices\n");
        return kExitNoUhid;
      }
      if (opened != UhidDevice::OpenResult::Ok) {
        Complain("/dev/uhid", errno);
        return 1;
      }
    }
    if (!Setup()) return 1;
    if (m_options.uhid && !m_uhid.Create(m_options.name, m_options.identity)) {
      Complain("creating the uhid device", errno);
      return 1;
    }
    m_behaviour.Started();
    while (!m_stop) {
      std::vector<pollfd> fds;
      fds.push_back({m_signals.Get(), POLLIN, 0});
      fds.push_back({m_listen.Get(), POLLIN, 0});
      for (Client& c : m_clients) fds.push_back({c.fd.Get(), POLLIN, 0});
      // The kernel device, when there is one, is polled last.
      if (m_options.uhid) fds.push_back({m_uhid.Descriptor(), POLLIN, 0});
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        Complain("poll", errno);
        return 1;
      }
      if (fds[0].revents != 0) OnSignal();
      if (m_options.uhid && fds.back().revents != 0 && !ServeKernel()) return 1;
      // The clients polled first; those accepted now join the next round.
      std::size_t i = 2;
      for (auto it = m_clients.begin(); it != m_clients.end(); ++i) {
        if (fds[i].revents != 0 && !Serve(*it)) {
          it = m_clients.erase(it);
        } else {
          ++it;
        }
      }
      if (fds[1].revents != 0) Accept();
    }
    return 0;
  }

 private:
  bool Setup() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    m_signals.Reset(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!m_signals.Valid()) {
      Complain("signalfd", errno);
      return false;
    }
    if (!m_options.traceFile.empty()) {
      m_trace.Reset(::open(m_options.traceFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
      if (!m_trace.Valid()) {
        Complain(m_options.traceFile, errno);
        return false;
      }
    }
    const std::string folder = DeviceFolder();
    if (!MakeFolders(folder)) {
      Complain(folder, errno);
      return false;
    }
    m_path = m_options.uhid ? UhidControlPath(m_options.name) : folder + "/" + m_options.name;
    std::uint32_t error = 0;
    if (ConnectDevice(m_path, &error).Valid()) {
      std::fprintf(stderr, "hidsim: a device named %s is already plugged in\n", m_options.name.c_str());
      return false;
    }
    m_tempPath = folder + "/." + m_options.name + "." + std::to_string(::getpid()) + ".tmp";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (m_path.size() >= sizeof(addr.sun_path) || m_tempPath.size() >= sizeof(addr.sun_path)) {
      std::fprintf(stderr, "hidsim: the socket path %s is too long\n", m_tempPath.c_str());
      m_tempPath.clear();
      return false;
    }
    std::memcpy(addr.sun_path, m_tempPath.c_str(), m_tempPath.size() + 1);
    ::unlink(m_tempPath.c_str());
    m_listen.Reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    // Only the simulator's user and group may connect, whatever the umask:
    // the socket is born without other users' bits and then set exactly.
    const mode_t oldMask = ::umask(0117);
    const bool bound =
        m_listen.Valid() && ::bind(m_listen.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
    const int bindError = errno;
    ::umask(oldMask);
    if (!bound || ::chmod(m_tempPath.c_str(), kDeviceMode) != 0 || ::listen(m_listen.Get(), 64) != 0) {
      Complain("socket " + m_tempPath, bound ? errno : bindError);
      return false;
    }
    // Renamed into place only once listening: whoever sees the name can connect.
    if (::rename(m_tempPath.c_str(), m_path.c_str()) != 0) {
      Complain("rename to " + m_path, errno);
      return false;
    }
    m_tempPath.clear();
    struct stat st {};
    if (::stat(m_path.c_str(), &st) == 0) m_inode = st.st_ino;
    m_published = true;
    return true;
  }

  void OnSignal() {
    signalfd_siginfo info{};
    while (::read(m_signals.Get(), &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) m_stop = true;
  }

  void Accept() {
    for (;;) {
      const int fd = ::accept4(m_listen.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) {
        if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) Complain("accept", errno);
        if (errno == EINTR) continue;
        return;
      }
      Client c;
      c.fd.Reset(fd);
      m_clients.push_back(std::move(c));
    }
  }

  // Replies are sent without blocking: a client that does not read its
  // replies loses them rather than stalling the device.
  static void Reply(Client& c, const Bytes& message) {
    std::uint32_t error = 0;
    SendMessage(c.fd.Get(), message, true, &error);
  }

  // Sends input reports to every subscriber and to the kernel device, which
  // counts as one subscriber while the host has it open.
  std::uint32_t Broadcast(const std::vector<Bytes>& statuses) {
    const std::size_t length = m_options.identity.inputLength;
    std::uint32_t subscribers = m_hostOpen ? 1 : 0;
    for (Client& c : m_clients) {
      if (c.subscribed) ++subscribers;
    }
    if (length == 0) return subscribers;  // no input report to carry them
    for (const Bytes& status : statuses) {
      const Bytes report = MakeReport(status, length);
      // The descriptor has no report ids: the kernel takes the report without one.
      if (m_options.uhid && !m_uhid.Input(report.data() + 1, report.size() - 1)) Complain("uhid input", errno);
      const Bytes message = Message(MsgType::Input, report);
      for (Client& c : m_clients) {
        if (c.subscribed) Reply(c, message);
      }
    }
    return subscribers;
  }

  // An output report from either transport: traced before it is answered,
  // so a host that saw the status finds the report in the trace.
  void Output(const Bytes& report) {
    if (m_trace.Valid()) WriteAll(m_trace.Get(), TraceLine(report));
    Broadcast(m_behaviour.OnOutput(report));
  }

  Bytes FeatureReport() { return MakeReport(m_behaviour.Feature(), m_options.identity.featureLength); }

  // The kernel's requests; false when the uhid device failed.
  bool ServeKernel() {
    uhid_event ev{};
    while (m_uhid.Read(ev)) {
      switch (ev.type) {
        case UHID_OPEN:
          m_hostOpen = true;
          break;
        case UHID_CLOSE:
          m_hostOpen = false;
          break;
        case UHID_OUTPUT:
          // The whole report, its id byte first.
          Output(Bytes(ev.u.output.data, ev.u.output.data + ev.u.output.size));
          break;
        case UHID_GET_REPORT:
          if (ev.u.get_report.rtype == UHID_FEATURE_REPORT && m_options.identity.featureLength > 0) {
            Bytes feature = FeatureReport();
            WipeOnExit wipe(feature);
            m_uhid.ReplyGetReport(ev.u.get_report.id, feature, 0);
          } else {
            m_uhid.ReplyGetReport(ev.u.get_report.id, {}, EIO);
          }
          break;
        case UHID_SET_REPORT:
          // An output report set through the control pipe is an output
          // report; the devices take no feature or input report.
          if (ev.u.set_report.rtype == UHID_OUTPUT_REPORT) {
            m_uhid.ReplySetReport(ev.u.set_report.id, 0);
            Output(Bytes(ev.u.set_report.data, ev.u.set_report.data + ev.u.set_report.size));
          } else {
            m_uhid.ReplySetReport(ev.u.set_report.id, EIO);
          }
          break;
        default:
          break;
      }
    }
    const int error = errno;
    sys::SecureZero(&ev, sizeof(ev));
    if (error == EAGAIN || error == EINTR) return true;
    Complain("/dev/uhid", error);
    return false;
  }

  // Returns false when the client is gone.
  bool Serve(Client& c) {
    Bytes msg(kMaxMessage);
    const ssize_t n = ::recv(c.fd.Get(), msg.data(), msg.size(), MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (n == 0) return false;
    msg.resize(static_cast<std::size_t>(n));
    const Bytes payload(msg.begin() + 1, msg.end());
    switch (static_cast<MsgType>(msg[0])) {
      case MsgType::GetIdentity:
        Reply(c, Message(MsgType::Identity, EncodeIdentity(m_options.identity)));
        break;
      case MsgType::Subscribe:
        c.subscribed = true;
        Reply(c, Message(MsgType::Subscribed));
        break;
      case MsgType::Output:
        Output(payload);
        break;
      case MsgType::GetFeature:
        if (m_options.identity.featureLength == 0) {
          Reply(c, ErrorMessage(ERROR_NOT_SUPPORTED));
        } else {
          Reply(c, Message(MsgType::Feature, FeatureReport()));
        }
        break;
      case MsgType::Swipe: {
        const auto statuses = m_behaviour.OnSwipe(payload);
        if (!statuses) {
          Reply(c, ErrorMessage(ERROR_NOT_SUPPORTED));
        } else {
          Reply(c, QueuedMessage(Broadcast(*statuses)));
        }
        break;
      }
      default:
        Reply(c, ErrorMessage(ERROR_INVALID_PARAMETER));
        break;
    }
    return true;
  }

  const ServerOptions& m_options;
  DeviceBehaviour& m_behaviour;
  Fd m_signals, m_listen, m_trace;
  UhidDevice m_uhid;
  bool m_hostOpen = false;  // the kernel device is open on the host
  std::list<Client> m_clients;
  std::string m_path, m_tempPath;
  ino_t m_inode = 0;
  bool m_published = false;
  bool m_stop = false;
};

}  // namespace

std::string TraceLine(const Bytes& report) {
  static const char kHex[] = "0123456789abcdef";
  std::string line;
  line.reserve(report.size() * 3 + 1);
  for (std::size_t i = 0; i < report.size(); ++i) {
    if (i != 0) line += ' ';
    line += kHex[report[i] >> 4];
    line += kHex[report[i] & 0x0F];
  }
  line += '\n';
  return line;
}

std::string UhidControlPath(const std::string& name) { return DeviceFolder() + "/@uhid." + name; }

Bytes MakeReport(const Bytes& body, std::size_t length) {
  Bytes report(length, 0);
  for (std::size_t i = 0; i < body.size() && i + 1 < length; ++i) report[i + 1] = body[i];
  return report;
}

int RunDevice(const ServerOptions& options, DeviceBehaviour& behaviour) {
  ::signal(SIGPIPE, SIG_IGN);
  Server server(options, behaviour);
  return server.Run();
}

}  // namespace hidsim
