#include "common/hid/FifoLock.h"

bool FifoLock::Acquire() {
  std::unique_lock<std::mutex> guard(m_lock);
  if (m_closed) {
    return false;
  }
  const std::uint64_t ticket = m_next++;
  m_turn.wait(guard, [&] { return m_closed || (m_serving == ticket && !m_held); });
  if (m_closed) {
    return false;
  }
  m_held = true;
  return true;
}

void FifoLock::Release() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_held = false;
    ++m_serving;
  }
  m_turn.notify_all();
}

void FifoLock::Close() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_closed = true;
  }
  m_turn.notify_all();
}

std::uint64_t FifoLock::Waiting() const {
  std::lock_guard<std::mutex> guard(m_lock);
  const std::uint64_t issued = m_next - m_serving;
  return m_held ? issued - 1 : issued;
}
