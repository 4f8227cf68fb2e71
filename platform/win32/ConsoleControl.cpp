// SetConsoleCtrlHandler: the system calls the handler on a thread of its own.
#include "platform/win32/WinHeaders.h"

#include <mutex>

#include "platform/ConsoleControl.h"

namespace sys {

namespace {

std::mutex g_lock;
std::function<bool(std::uint32_t)> g_handler;

BOOL WINAPI Thunk(DWORD type) {
  std::function<bool(std::uint32_t)> h;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    h = g_handler;
  }
  return h && h(type) ? TRUE : FALSE;
}

}  // namespace

struct ConsoleControlHandler::Impl {
  bool registered = false;
};

ConsoleControlHandler::ConsoleControlHandler() = default;

ConsoleControlHandler::~ConsoleControlHandler() {
  if (m_impl && m_impl->registered) {
    ::SetConsoleCtrlHandler(Thunk, FALSE);
    std::lock_guard<std::mutex> lock(g_lock);
    g_handler = nullptr;
  }
}

bool ConsoleControlHandler::Register(std::function<bool(std::uint32_t)> handler) {
  if (m_impl) return false;
  m_impl = std::make_unique<Impl>();
  {
    std::lock_guard<std::mutex> lock(g_lock);
    g_handler = std::move(handler);
  }
  m_impl->registered = ::SetConsoleCtrlHandler(Thunk, TRUE) != FALSE;
  return m_impl->registered;
}

}  // namespace sys
