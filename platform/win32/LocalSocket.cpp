// No local listener on Windows: the log wire is TCP alone there.
#include "platform/Error.h"
#include "platform/Socket.h"

namespace sys {

Socket Socket::ListenLocal(const std::string&) {
  SetLastError(errnum::kWsaEafnosupport);
  return Socket();
}

Socket Socket::ConnectLocal(const std::string&, std::uint32_t) {
  SetLastError(errnum::kWsaEafnosupport);
  return Socket();
}

void Socket::RemoveLocal(const std::string&) {}

}  // namespace sys
