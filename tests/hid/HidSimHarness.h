#pragma once
// Simulated devices for the HID tests: a private ZOL_SYSROOT per test, hidsim
// processes started and stopped for real, and waits with deadlines.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace hidtest {

inline std::string BinDir() {
  if (const char* dir = std::getenv("ZOL_BIN_DIR")) return dir;
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

// Polls pred until it holds or timeout passes; true if it held.
inline bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A temporary ZOL_SYSROOT for the whole test.
class TempRoot {
 public:
  TempRoot() {
    char templ[] = "/tmp/zolhid.XXXXXX";
    m_path = ::mkdtemp(templ);
    ::setenv("ZOL_SYSROOT", m_path.c_str(), 1);
  }
  ~TempRoot() {
    ::unsetenv("ZOL_SYSROOT");
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  const std::string& Path() const { return m_path; }
  std::string DeviceFolder() const { return m_path + "/run/zol/hidsim"; }
  std::string DevicePath(const std::string& name) const { return DeviceFolder() + "/" + name; }

 private:
  std::string m_path;
};

// Runs hidsim with arguments and waits for it to end; its exit code.
inline int RunHidsim(const std::vector<std::string>& args) {
  std::vector<std::string> all = {BinDir() + "/hidsim"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One simulated device: plugged in by starting hidsim, unplugged by stopping it.
class SimDevice {
 public:
  SimDevice(const TempRoot& root, std::string name) : m_root(root), m_name(std::move(name)) {}
  ~SimDevice() { Stop(); }
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  // kind is "ld" or "msr"; options are hidsim's identity options.
  bool Start(const std::string& kind, const std::vector<std::string>& options = {}) {
    std::vector<std::string> all = {BinDir() + "/hidsim", kind, "--name", m_name};
    all.insert(all.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      m_pid = -1;
      return false;
    }
    return WaitFor([this] { return std::filesystem::exists(Path()); });
  }

  // SIGTERM, then waits for the process and for its socket to go.
  void Stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    WaitFor([this] { return !std::filesystem::exists(Path()); });
  }

  std::string Path() const { return m_root.DevicePath(m_name); }
  std::wstring WidePath() const {
    const std::string p = Path();
    return std::wstring(p.begin(), p.end());
  }

 private:
  const TempRoot& m_root;
  std::string m_name;
  pid_t m_pid = -1;
};

inline std::vector<std::string> ReadLines(const std::string& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

}  // namespace hidtest
