#pragma once
// The console control handler (SetConsoleCtrlHandler). Linux: SIGINT is
// Ctrl+C (0) and SIGQUIT is Ctrl+Break (1), received on a thread of their own;
// nothing runs in a signal handler.
#include <cstdint>
#include <functional>
#include <memory>

namespace sys {

inline constexpr std::uint32_t kCtrlCEvent = 0;
inline constexpr std::uint32_t kCtrlBreakEvent = 1;

class ConsoleControlHandler {
 public:
  ConsoleControlHandler();
  ~ConsoleControlHandler();  // unregisters and ends its thread
  ConsoleControlHandler(const ConsoleControlHandler&) = delete;
  ConsoleControlHandler& operator=(const ConsoleControlHandler&) = delete;

  // The handler returns true when it has handled the event; otherwise the
  // system's default handling applies. Register once, before other threads
  // are started (Linux: the signals are blocked for every later thread).
  bool Register(std::function<bool(std::uint32_t ctrlType)> handler);

  struct Impl;

 private:
  std::unique_ptr<Impl> m_impl;
};

}  // namespace sys
