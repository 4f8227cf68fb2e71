// The socket logic that needs no OS call: the numbers are Winsock's on both
// platforms, so the answers are one.
#include "platform/Socket.h"

namespace sys {

NativeWaitable Socket::Waitable(bool forWrite) const { return NativeWaitable{m_handle.Get(), forWrite}; }

bool IsTransientAcceptError(std::uint32_t error) {
  switch (error) {
    case kWsaEintr:
    case kWsaEmfile:
    case kWsaEwouldblock:
    case kWsaEconnaborted:
    case kWsaEconnreset:
    case kWsaEnobufs:
    case kWsaEtimedout:
    case errnum::kWsaEnetdown:
    case errnum::kWsaEnetunreach:
    case errnum::kWsaEhostunreach:
      return true;
    default:
      return false;
  }
}

}  // namespace sys
