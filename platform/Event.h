#pragma once
// Events and the wait over several of them (WaitForMultipleObjects).
// Linux: an eventfd per event; the wait is poll() over events and descriptors.
#include <cstdint>
#include <initializer_list>
#include <span>

#include "platform/ScopedHandle.h"

namespace sys {

// An OS object a wait can include: on Linux a descriptor and the readiness
// waited for, on Windows a handle (readiness ignored).
struct NativeWaitable {
  std::intptr_t handle = -1;
  bool forWrite = false;
};

// An event's handle: an eventfd (invalid below 0) or a Win32 event (invalid
// NULL), closed by close() / CloseHandle().
struct EventHandleTraits {
  using Handle = std::intptr_t;
  static Handle Invalid();
  static bool IsValid(Handle h);
  static void Close(Handle h);
};

class Event {
 public:
  enum class Reset { Manual, Auto };
  // The member function Reset() hides the enum's name as a type: use this
  // name to declare a variable of it (Event::Reset::Auto works as it is).
  using ResetMode = Reset;

  // Unsignalled unless initiallySet. Creation failure leaves IsValid() false
  // and the system error in sys::LastError().
  explicit Event(Reset mode = Reset::Manual, bool initiallySet = false);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  bool IsValid() const { return m_handle.IsValid(); }
  bool IsAuto() const { return m_auto; }
  void Set();
  void Reset();
  // Tests without waiting (WaitForSingleObject(h, 0)): an auto-reset event
  // that is signalled is consumed by the test.
  bool Test();
  // 0 when signalled within timeoutMs (INFINITE waits for ever), 0x102 on a
  // time-out, 0xFFFFFFFF on failure.
  std::uint32_t Wait(std::uint32_t timeoutMs);

  NativeWaitable Waitable() const { return NativeWaitable{m_handle.Get(), false}; }

 private:
  ScopedHandle<EventHandleTraits> m_handle;
  bool m_auto;
};

// One item of a wait: an event, or a native object (a descriptor's readiness on
// Linux, a handle on Windows) such as a pending I/O operation's completion.
struct WaitItem {
  WaitItem(Event& e) : event(&e) {}  // NOLINT: implicit on purpose
  WaitItem(NativeWaitable n) : native(n) {}  // NOLINT
  Event* event = nullptr;
  NativeWaitable native{};
};

// Waits until one item is signalled or ready: returns 0 + its index (the
// lowest index when several are), 0x102 (WAIT_TIMEOUT) after timeoutMs, or
// 0xFFFFFFFF (WAIT_FAILED) with the system error in sys::LastError(). An
// auto-reset event that ends the wait is consumed.
std::uint32_t WaitAny(std::span<const WaitItem> items, std::uint32_t timeoutMs);
inline std::uint32_t WaitAny(std::initializer_list<WaitItem> items, std::uint32_t timeoutMs) {
  return WaitAny(std::span<const WaitItem>(items.begin(), items.size()), timeoutMs);
}

}  // namespace sys
