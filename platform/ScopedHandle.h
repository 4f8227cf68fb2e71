#pragma once
// One owner for every kind of OS handle: a descriptor, a kernel handle, a
// socket, a loaded library, a registry key. Traits name the handle type, the
// value that means none, and how to close one:
//
//   struct Traits {
//     using Handle = int;
//     static constexpr Handle Invalid() { return -1; }
//     static void Close(Handle h);
//     static bool IsValid(Handle h);  // optional: when more than one value means none
//   };
//
// Move-only; the handle is closed exactly once, by whichever owner holds it last.
#include <utility>

namespace sys {

template <class Traits>
class ScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  ScopedHandle() noexcept = default;
  explicit ScopedHandle(Handle h) noexcept : m_h(h) {}
  ~ScopedHandle() { Reset(); }
  ScopedHandle(ScopedHandle&& other) noexcept : m_h(other.Release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  Handle Get() const noexcept { return m_h; }
  bool IsValid() const noexcept { return Valid(m_h); }
  explicit operator bool() const noexcept { return IsValid(); }

  // Gives up ownership without closing.
  Handle Release() noexcept { return std::exchange(m_h, Traits::Invalid()); }
  // Closes the handle held (if any) and takes h.
  void Reset(Handle h = Traits::Invalid()) noexcept {
    const Handle old = std::exchange(m_h, h);
    if (Valid(old)) Traits::Close(old);
  }
  // For a call that returns the handle through a pointer: closes the one held first.
  Handle* Receive() noexcept {
    Reset();
    return &m_h;
  }

 private:
  static bool Valid(Handle h) noexcept {
    if constexpr (requires { Traits::IsValid(h); }) {
      return Traits::IsValid(h);
    } else {
      return h != Traits::Invalid();
    }
  }

  Handle m_h = Traits::Invalid();
};

}  // namespace sys
