#pragma once
// Headless Chromium driven through its DevTools protocol on a pipe
// (--remote-debugging-pipe: commands on its fd 3, answers on its fd 4, each
// message ended by a NUL byte). One page; no network beyond loopback.
#include <sys/types.h>

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/TestSupport.h"

namespace benchtest {

class Chromium {
 public:
  Chromium() = default;
  ~Chromium();
  Chromium(const Chromium&) = delete;
  Chromium& operator=(const Chromium&) = delete;

  // True where a chromium program is installed.
  static bool Available();
  // Starts it on url and attaches to the page; false with Problem().
  bool Start(const std::string& url);
  const std::string& Problem() const { return m_problem; }
  // The value of a script expression in the page, or nullopt (an exception,
  // or no answer within timeoutMs).
  std::optional<nlohmann::json> Evaluate(const std::string& expression, int timeoutMs = 5000);

 private:
  std::optional<nlohmann::json> Call(const std::string& method, const nlohmann::json& params, bool inPage,
                                     int timeoutMs);
  bool Receive(std::string* message, int timeoutMs);

  zoltest::TempDir m_profile{"zolchromium"};
  pid_t m_pid = -1;
  int m_toChrome = -1;
  int m_fromChrome = -1;
  int m_nextId = 0;
  std::string m_session;
  std::string m_pending;
  std::string m_problem;
};

}  // namespace benchtest
