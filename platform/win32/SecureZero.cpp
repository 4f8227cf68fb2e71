#include "platform/SecureZero.h"

#include "platform/win32/WinHeaders.h"

namespace sys {

void SecureZero(void* data, std::size_t length) {
  if (data != nullptr && length > 0) SecureZeroMemory(data, length);
}

}  // namespace sys
