#pragma once
// The request to reopen files by name after they were moved away: SIGHUP on
// Linux (the convention log rotation relies on), received on a thread of its
// own. Windows has no such request; Start succeeds and nothing is ever called.
#include <functional>
#include <memory>

namespace sys {

class ReopenSignal {
 public:
  ReopenSignal();
  ~ReopenSignal();
  ReopenSignal(const ReopenSignal&) = delete;
  ReopenSignal& operator=(const ReopenSignal&) = delete;

  // Call before any other thread starts (the signal is blocked in every
  // thread started later). onRequest runs on the receiving thread.
  bool Start(std::function<void()> onRequest);

  struct Impl;

 private:
  std::unique_ptr<Impl> m_impl;
};

}  // namespace sys
