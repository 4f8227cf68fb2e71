// A device plug-in for the port service's tests. It records every call it
// gets, one line each, in $ZOL_TESTPLUGIN_DIR/<library file name>.log, and
// takes commands on the datagram socket <library file name>.sock in the same
// folder to call the listener's Write:
//   write <timeout> <hex bytes>   Write those bytes
//   write-null | write-len0 | write-nowritten   invalid arguments
//   write-len <n> <timeout>       Write n bytes of 'A'
// Each Write is recorded as "Write rc=<rc> written=<n> zeroed=<0|1>".
// $ZOL_TESTPLUGIN_INIT_RESULT sets Initialize's result; $ZOL_TESTPLUGIN_ECHO=1
// writes every received chunk back from a thread of its own;
// $ZOL_TESTPLUGIN_OVERFLOW=1 makes DataReceived overflow the caller's stack.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/include/ZolDevice.h"
#include "tests/support/Hex.h"

namespace {

std::string LibraryName() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LibraryName), &info) && info.dli_fname) {
    std::string path = info.dli_fname;
    return path.substr(path.rfind('/') + 1);
  }
  return "unknown";
}

std::vector<std::uint8_t> FromHex(const std::string& text) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
  return out;
}

volatile int g_never = -1;

// Recurses until the stack runs out.
__attribute__((noinline)) int Deeper(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (depth == g_never) return 0;
  return Deeper(depth + 1) + frame[0];
}

class TestDevice final : public IDevice {
 public:
  TestDevice() {
    const char* dir = std::getenv("ZOL_TESTPLUGIN_DIR");
    m_dir = dir ? dir : "/tmp";
    m_name = LibraryName();
    m_log = ::open((m_dir + "/" + m_name + ".log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    Record("CreateDevice");
  }

  std::int32_t Initialize(IDeviceListener* listener, DEVICE_PARAMS* params) override {
    m_listener = listener;
    std::string id;
    for (int i = 0; params && i < DEVICE_IDENTIFIER_CHARS && params->identifier[i]; ++i)
      id += static_cast<char>(params->identifier[i]);
    Record("Initialize id=" + id + (params ? " values=" + std::to_string(params->value1) + "," +
                                                 std::to_string(params->value2) + "," +
                                                 std::to_string(params->value3) + "," +
                                                 std::to_string(params->value4) + "," +
                                                 std::to_string(params->value5)
                                           : ""));
    const char* forced = std::getenv("ZOL_TESTPLUGIN_INIT_RESULT");
    if (forced && std::atoi(forced) != 0) return std::atoi(forced);
    StartCommands();
    const char* echo = std::getenv("ZOL_TESTPLUGIN_ECHO");
    if (echo && std::string(echo) == "1") m_echoThread = std::thread([this] { EchoLoop(); });
    BOOL ok = listener->SetReadyToReceive(TRUE);
    Record("SetReadyToReceive(TRUE)=" + std::to_string(ok));
    return DEVICE_SUCCESS;
  }

  void PortReady(BOOL ready) override { Record("PortReady " + std::to_string(ready)); }

  void DataReceived(const std::uint8_t* data, std::int32_t length) override {
    if (std::getenv("ZOL_TESTPLUGIN_OVERFLOW")) Deeper(0);
    if (!m_echoThread.joinable()) {
      Record("DataReceived " + std::to_string(length) + " " + zoltest::Hex(data, static_cast<std::size_t>(length)));
      return;
    }
    {
      std::lock_guard<std::mutex> lock(m_echoLock);
      m_echo.emplace_back(data, data + length);
    }
    m_echoWake.notify_one();  // after the unlock: the woken thread need not wait for it
  }

  void Terminate() override {
    BOOL ok = m_listener ? m_listener->SetReadyToReceive(FALSE) : FALSE;
    Record("Terminate SetReadyToReceive(FALSE)=" + std::to_string(ok));
  }

  void Release() override {
    StopThreads();
    Record("Release");
    if (m_log >= 0) ::close(m_log);
    delete this;
  }

 private:
  void Record(const std::string& line) {
    std::string text = line + "\n";
    if (m_log >= 0) (void)!::write(m_log, text.data(), text.size());
  }

  void StartCommands() {
    std::string path = m_dir + "/" + m_name + ".sock";
    ::unlink(path.c_str());
    m_cmd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    if (m_cmd < 0 || ::bind(m_cmd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      Record("command socket failed");
      return;
    }
    if (::pipe2(m_stopPipe, O_CLOEXEC) != 0) return;
    m_cmdThread = std::thread([this] { CommandLoop(); });
  }

  void StopThreads() {
    if (m_cmdThread.joinable()) {
      (void)!::write(m_stopPipe[1], "x", 1);
      m_cmdThread.join();
    }
    if (m_echoThread.joinable()) {
      {
        std::lock_guard<std::mutex> lock(m_echoLock);
        m_stopEcho = true;
      }
      m_echoWake.notify_one();
      m_echoThread.join();
    }
    for (int fd : {m_cmd, m_stopPipe[0], m_stopPipe[1]})
      if (fd >= 0) ::close(fd);
    ::unlink((m_dir + "/" + m_name + ".sock").c_str());
  }

  void DoWrite(std::uint8_t* data, std::uint32_t length, std::int32_t* written, std::int32_t timeout) {
    std::int32_t rc = m_listener->Write(data, length, written, timeout);
    bool zeroed = data != nullptr && length > 0;
    for (std::uint32_t i = 0; data && i < length; ++i) zeroed = zeroed && data[i] == 0;
    Record("Write rc=" + std::to_string(rc) + " written=" + std::to_string(written ? *written : -1) +
           " zeroed=" + (zeroed ? "1" : "0"));
  }

  void CommandLoop() {
    for (;;) {
      pollfd fds[2] = {{m_cmd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) return;
      char buf[70000];
      ssize_t got = ::recv(m_cmd, buf, sizeof(buf) - 1, 0);
      if (got <= 0) continue;
      buf[got] = 0;
      char verb[32] = {};
      std::sscanf(buf, "%31s", verb);
      std::string v = verb;
      std::int32_t written = -1;
      if (v == "write") {
        int timeout = 0;
        char hex[65600] = {};
        std::sscanf(buf, "%*s %d %65535s", &timeout, hex);
        std::vector<std::uint8_t> bytes = FromHex(hex);
        DoWrite(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &written, timeout);
      } else if (v == "write-len") {
        unsigned n = 0;
        int timeout = 0;
        std::sscanf(buf, "%*s %u %d", &n, &timeout);
        std::vector<std::uint8_t> bytes(n, 'A');
        DoWrite(bytes.data(), n, &written, timeout);
      } else if (v == "write-null") {
        DoWrite(nullptr, 5, &written, 1000);
      } else if (v == "write-len0") {
        std::uint8_t b[1] = {'A'};
        DoWrite(b, 0, &written, 1000);
      } else if (v == "write-nowritten") {
        std::uint8_t b[1] = {'A'};
        std::int32_t rc = m_listener->Write(b, 1, nullptr, 1000);
        Record("Write rc=" + std::to_string(rc) + " written=-1 zeroed=" + (b[0] == 0 ? "1" : "0"));
      }
    }
  }

  void EchoLoop() {
    for (;;) {
      std::vector<std::uint8_t> chunk;
      {
        std::unique_lock<std::mutex> lock(m_echoLock);
        m_echoWake.wait(lock, [this] { return m_stopEcho || !m_echo.empty(); });
        if (m_stopEcho) return;
        chunk = std::move(m_echo.front());
        m_echo.pop_front();
      }
      std::int32_t written = 0;
      if (!chunk.empty()) m_listener->Write(chunk.data(), static_cast<std::uint32_t>(chunk.size()), &written, 1000);
    }
  }

  std::string m_dir;
  std::string m_name;
  int m_log = -1;
  IDeviceListener* m_listener = nullptr;
  int m_cmd = -1;
  int m_stopPipe[2] = {-1, -1};
  std::thread m_cmdThread;
  std::thread m_echoThread;
  std::mutex m_echoLock;
  std::condition_variable m_echoWake;
  std::deque<std::vector<std::uint8_t>> m_echo;
  bool m_stopEcho = false;
};

}  // namespace

extern "C" IDevice* CreateDevice() { return new TestDevice(); }
