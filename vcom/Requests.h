#pragma once
// Both ends of an I/O control on a vcomd interface socket: vcomd reads the
// request and builds the reply, the opener reads the reply. Pure functions,
// so that the fuzz targets run them as vcomd does.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/ErrorNumbers.h"
#include "vcom/DeviceClass.h"
#include "vcom/Protocol.h"

namespace vcom {

// One interface socket message; false for anything but a whole request with
// the magic (the connection is then dropped).
inline bool ParseIoRequest(const void* data, std::size_t size, IoRequest& out) {
  if (size != sizeof(IoRequest)) return false;
  std::memcpy(&out, data, sizeof(out));
  return out.magic == kMagic;
}

// What a request asks of the port, and the Win32 status it is refused with.
enum class IoAction { GetInfo, SetRcvRdy, ClrRcvRdy, Purge, Refuse };

inline IoAction ActionOf(const IoRequest& req, std::uint32_t& status) {
  status = 0;
  switch (req.code) {
    case kGetZolInfo:
      if (req.outputSize >= kInfoSize) return IoAction::GetInfo;
      status = sys::errnum::kErrorInsufficientBuffer;
      return IoAction::Refuse;
    case kSetRcvRdy:
      return IoAction::SetRcvRdy;
    case kClrRcvRdy:
      return IoAction::ClrRcvRdy;
    case kPurge:
      return IoAction::Purge;
    default:
      status = sys::errnum::kErrorInvalidFunction;
      return IoAction::Refuse;
  }
}

// The reply message: the header, then the information for GET_ZOL_INFO.
// out has room for sizeof(IoReply) + kMaxOutput; the bytes to send.
inline std::size_t BuildIoReply(IoAction action, std::uint32_t status, const std::uint32_t (&info)[3],
                                unsigned char* out) {
  IoReply reply{kMagic, status, 0};
  if (action == IoAction::GetInfo) {
    reply.size = kInfoSize;
    std::memcpy(out + sizeof(reply), info, kInfoSize);
  }
  std::memcpy(out, &reply, sizeof(reply));
  return sizeof(reply) + reply.size;
}

// The opener's reading of a reply message of got bytes: 0 with at most
// outputSize bytes copied to output (their count in returned), or the Win32
// error (vcomd's refusal, or a malformed reply: a device that is not there).
inline std::uint32_t ReadIoReply(const unsigned char* message, std::size_t got, void* output,
                                 std::uint32_t outputSize, std::uint32_t& returned) {
  returned = 0;
  IoReply reply;
  if (got < sizeof(reply)) return sys::errnum::kErrorDeviceNotConnected;
  std::memcpy(&reply, message, sizeof(reply));
  if (reply.magic != kMagic || reply.size > got - sizeof(reply)) return sys::errnum::kErrorDeviceNotConnected;
  if (reply.status != 0) return reply.status;
  returned = std::min(reply.size, outputSize);
  if (returned && output) std::memcpy(output, message + sizeof(reply), returned);
  return 0;
}

}  // namespace vcom
