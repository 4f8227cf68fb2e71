#include "platform/Error.h"

namespace sys {

std::int32_t HresultFromWin32(std::uint32_t code) {
  // Zero and values that already are failure HRESULTs pass unchanged.
  if (static_cast<std::int32_t>(code) <= 0) return static_cast<std::int32_t>(code);
  return static_cast<std::int32_t>(0x80070000u | (code & 0xFFFFu));
}

}  // namespace sys
