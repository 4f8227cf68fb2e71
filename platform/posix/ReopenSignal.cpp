#include "platform/ReopenSignal.h"

#include <signal.h>

#include "platform/posix/SignalThread.h"

namespace sys {

struct ReopenSignal::Impl {
  posix::SignalThread thread;
};

ReopenSignal::ReopenSignal() = default;
ReopenSignal::~ReopenSignal() = default;

bool ReopenSignal::Start(std::function<void()> onRequest) {
  if (m_impl) return false;
  m_impl = std::make_unique<Impl>();
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  return m_impl->thread.Start(set, [onRequest = std::move(onRequest)](int) { onRequest(); });
}

}  // namespace sys
