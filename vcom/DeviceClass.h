#pragma once
// What names the virtual serial ports on both platforms: the device-interface
// class (on Linux also the name of vcomd's folder of interfaces) and the three
// I/O controls of the driver (device type 0x7001, METHOD_BUFFERED, read and
// write access). Numbers and text only: the Windows build includes it too.
#include <cstddef>
#include <cstdint>

namespace vcom {

inline constexpr char kClassGuid[] = "{5B1E7C3A-9D42-4F86-A1C0-3E7D92B41F08}";

// The same text as wide characters (it is ASCII).
template <std::size_t N>
struct WideText {
  wchar_t text[N] = {};
  constexpr explicit WideText(const char (&narrow)[N]) {
    for (std::size_t i = 0; i < N; ++i) text[i] = static_cast<wchar_t>(narrow[i]);
  }
};
inline constexpr WideText kClassGuidWide{kClassGuid};

inline constexpr std::uint32_t kGetZolInfo = 0x7001C000u;
inline constexpr std::uint32_t kSetRcvRdy = 0x7001C004u;
inline constexpr std::uint32_t kClrRcvRdy = 0x7001C008u;

// GET_ZOL_INFO's output: connected, hold, reserved.
inline constexpr std::size_t kInfoSize = 12;

}  // namespace vcom
