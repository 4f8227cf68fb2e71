#include "platform/SecureZero.h"

#include <string.h>

namespace sys {

void SecureZero(void* data, std::size_t length) {
  if (data != nullptr && length > 0) explicit_bzero(data, length);
}

}  // namespace sys
