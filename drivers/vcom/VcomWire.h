#pragma once
// What vcomd makes of the bytes a local user sends it: one interface socket
// message as an I/O request, and the control socket's stream as lines and
// commands. Pure functions, so that the fuzz targets run them as vcomd does.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "drivers/vcom/VcomArgs.h"
#include "interfaces/VcomProtocol.h"
#include "platform/ErrorNumbers.h"

namespace vcom {

// One interface socket message; false for anything but a whole request with
// the magic (the connection is then dropped).
inline bool ParseIoRequest(const void* data, std::size_t size, IoRequest& out) {
  if (size != sizeof(IoRequest)) return false;
  std::memcpy(&out, data, sizeof(out));
  return out.magic == kMagic;
}

inline constexpr std::uint32_t kGetInfo = 0x7001C000u;
inline constexpr std::uint32_t kSetRcvRdy = 0x7001C004u;
inline constexpr std::uint32_t kClrRcvRdy = 0x7001C008u;
using sys::errnum::kErrorInsufficientBuffer;
using sys::errnum::kErrorInvalidFunction;
inline constexpr std::size_t kInfoSize = 12;

// What a request asks of the port, and the Win32 status it is refused with.
enum class IoAction { GetInfo, SetRcvRdy, ClrRcvRdy, Purge, Refuse };

inline IoAction ActionOf(const IoRequest& req, std::uint32_t& status) {
  status = 0;
  switch (req.code) {
    case kGetInfo:
      if (req.outputSize >= kInfoSize) return IoAction::GetInfo;
      status = kErrorInsufficientBuffer;
      return IoAction::Refuse;
    case kSetRcvRdy:
      return IoAction::SetRcvRdy;
    case kClrRcvRdy:
      return IoAction::ClrRcvRdy;
    case kPurge:
      return IoAction::Purge;
    default:
      status = kErrorInvalidFunction;
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

// The control socket's bytes, cut into lines (LF or CR LF). A line that never
// ends is bounded: past kMaxCtlPending bytes the connection is closed.
inline constexpr std::size_t kMaxCtlPending = 1024;

class CtlLines {
 public:
  // Appends bytes and moves the finished lines to lines; false when the
  // unfinished rest has grown past the bound.
  bool Append(const char* data, std::size_t size, std::vector<std::string>& lines) {
    m_pending.append(data, size);
    std::size_t start = 0, eol;
    while ((eol = m_pending.find('\n', start)) != std::string::npos) {
      std::string line = m_pending.substr(start, eol - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(std::move(line));
      start = eol + 1;
    }
    m_pending.erase(0, start);
    return m_pending.size() <= kMaxCtlPending;
  }
  std::size_t Pending() const { return m_pending.size(); }

 private:
  std::string m_pending;
};

struct CtlCommand {
  enum class Kind { Status, Hold, HoldUsage, Unknown };
  Kind kind = Kind::Unknown;
  unsigned port = 0;  // Hold: 1..kMaxPort
  bool on = false;    // Hold: the hold to set
};

inline CtlCommand ParseCtlLine(const std::string& line) {
  std::istringstream in(line);
  std::string word;
  in >> word;
  CtlCommand c;
  if (word == "status") {
    c.kind = CtlCommand::Kind::Status;
  } else if (word == "hold") {
    std::string n, v, extra;
    in >> n >> v >> extra;
    unsigned port = 0;
    c.kind = CtlCommand::Kind::HoldUsage;
    if (ParsePortNumber(n, port) && (v == "0" || v == "1") && extra.empty()) {
      c.kind = CtlCommand::Kind::Hold;
      c.port = port;
      c.on = v == "1";
    }
  }
  return c;
}

}  // namespace vcom
