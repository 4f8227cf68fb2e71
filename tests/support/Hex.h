#pragma once
// Bytes as lowercase hex, the way the tests and the simulator's trace write them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zoltest {

// Two digits a byte; sep goes between bytes.
inline std::string Hex(const void* data, std::size_t length, const char* sep = "") {
  static const char kDigits[] = "0123456789abcdef";
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    if (i != 0) out += sep;
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}
inline std::string Hex(const std::string& bytes, const char* sep = "") { return Hex(bytes.data(), bytes.size(), sep); }
inline std::string Hex(const std::vector<std::uint8_t>& bytes, const char* sep = "") {
  return Hex(bytes.data(), bytes.size(), sep);
}

}  // namespace zoltest
