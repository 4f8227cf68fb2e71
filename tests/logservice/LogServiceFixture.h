#pragma once
// ZolLogSvc as a process ("console" unless told), configured by the
// ZolConfig.xml beside its copy in a temporary folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/NotifySocket.h"
#include "tests/support/TestSupport.h"

namespace logtest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using Keys = std::vector<std::pair<std::string, std::string>>;

class LogService {
 public:
  // keys: extra Logging_Configuration keys; File_Name and TCP_Port are set
  // unless given.
  explicit LogService(std::vector<std::pair<std::string, std::string>> keys = {}, bool waitListening = true,
                      std::vector<std::string> args = {"console"}, std::vector<std::string> env = {},
                      int fdLimit = 0, std::vector<std::string> wrapper = {}) {
    file = dir.Dir() / "log" / "zol.log";
    fs::create_directories(file.parent_path());
    bool hasName = false, hasPort = false;
    for (auto& [k, v] : keys) {
      hasName |= k == "File_Name";
      hasPort |= k == "TCP_Port";
      if (k == "TCP_Port") port = static_cast<unsigned short>(std::stoi(v));
    }
    if (!hasName) keys.emplace_back("File_Name", file.string());
    if (!hasPort) {
      port = zoltest::FreePort();
      keys.emplace_back("TCP_Port", std::to_string(port));
    }
    exe = zoltest::CopyProgram("ZolLogSvc", dir.Dir());
    zoltest::WriteFile(dir.Dir() / "ZolConfig.xml", zoltest::LoggingConfig(keys));
    env.push_back("ZOL_SYSROOT=" + dir.Dir().string());
    // A wrapper (such as prlimit) runs the copy with its own arguments first.
    fs::path program = exe;
    if (!wrapper.empty()) {
      program = wrapper.front();
      wrapper.erase(wrapper.begin());
      wrapper.push_back(exe.string());
      args.insert(args.begin(), wrapper.begin(), wrapper.end());
    }
    child = std::make_unique<zoltest::Child>(program, args, dir.Dir(), env, fdLimit);
    if (waitListening) {
      EXPECT_TRUE(zoltest::WaitFor([&] {
        int fd = zoltest::Connect(port);
        if (fd >= 0) ::close(fd);
        return fd >= 0;
      })) << child->Err();
    }
  }
  // Ctrl+C; true when it ended with exit code 0.
  bool Stop(int sig = SIGINT) {
    child->Signal(sig);
    bool ended = child->Wait(30s);
    return ended && child->Exited() && child->ExitCode() == 0;
  }

  zoltest::TempDir dir;
  fs::path file;
  fs::path exe;
  unsigned short port = 0;
  std::unique_ptr<zoltest::Child> child;
};

using zoltest::NotifySocket;

}  // namespace logtest
