#include "platform/Event.h"

#include <vector>

#include "platform/win32/WinHeaders.h"

namespace sys {
namespace {

HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

// An invalid event holds 0 (CreateEventW returns NULL on failure).
EventHandleTraits::Handle EventHandleTraits::Invalid() { return 0; }
bool EventHandleTraits::IsValid(Handle h) { return h != 0; }
void EventHandleTraits::Close(Handle h) { CloseHandle(AsHandle(h)); }

Event::Event(enum Event::Reset mode, bool initiallySet) : m_auto(mode == Reset::Auto) {
  HANDLE h = CreateEventW(nullptr, m_auto ? FALSE : TRUE, initiallySet ? TRUE : FALSE, nullptr);
  m_handle.Reset(reinterpret_cast<std::intptr_t>(h));
}

void Event::Set() {
  if (m_handle) SetEvent(AsHandle(m_handle.Get()));
}

void Event::Reset() {
  if (m_handle) ResetEvent(AsHandle(m_handle.Get()));
}

bool Event::Test() { return Wait(0) == WAIT_OBJECT_0; }

std::uint32_t Event::Wait(std::uint32_t timeoutMs) {
  return WaitForSingleObject(AsHandle(m_handle.Get()), timeoutMs);
}


std::uint32_t WaitAny(std::span<const WaitItem> items, std::uint32_t timeoutMs) {
  // The system checks the count (1..64) and each handle itself.
  std::vector<HANDLE> handles;
  handles.reserve(items.size());
  for (const WaitItem& item : items) {
    handles.push_back(AsHandle(item.event ? item.event->Waitable().handle : item.native.handle));
  }
  return WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeoutMs);
}

}  // namespace sys
