#pragma once
// The wire between a simulated HID device (tools/hidsim) and the provider
// ZolHidSim.so. Pure encoding; the socket helpers are in SimSocket.h.
//
// A device is a Unix SOCK_SEQPACKET socket named after the device in
// <ZOL_SYSROOT>/run/zol/hidsim/. One packet is one message, so a poll that
// reports readiness always has a whole message ready. Byte 0 of a message is
// its type, the rest its payload; numbers are little-endian.
//
//   host -> device                       device -> host
//   'I' get identity                     'i' identity (SimIdentity encoding)
//   'S' subscribe to input reports       's' subscribed
//   'O' output report (the whole report, no reply)
//   'F' get feature report, [report id]  'f' the feature report (byte 0 id)
//   'W' swipe: status[2] area[...]       'q' queued, u32 number of subscribers
//                                        'R' input report (only to subscribers)
//                                        'E' failed, u32 Win32 error code
//
// Input reports go to every connection that subscribed, like a HID driver
// giving each open handle its own copy. A subscriber that lets its queue
// fill up loses reports, as with a real device.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hidsim {

inline constexpr char kFolderName[] = "hidsim";
// A file created in the device folder whose name starts with this tells every
// watcher that the machine resumed automatically (see `hidsim resume`).
inline constexpr char kResumeMarkerPrefix[] = "@resume";
// Names starting with '.' (temporary names) or '@' (markers) are never devices.
bool IsDeviceEntryName(std::string_view name);

inline constexpr std::size_t kMaxMessage = 4096;
inline constexpr std::size_t kMaxReportLength = 1024;

enum class MsgType : std::uint8_t {
  GetIdentity = 'I',
  Identity = 'i',
  Subscribe = 'S',
  Subscribed = 's',
  Output = 'O',
  GetFeature = 'F',
  Feature = 'f',
  Swipe = 'W',
  Queued = 'q',
  Input = 'R',
  Error = 'E',
};

struct SimIdentity {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t version = 0x0100;
  std::uint16_t usagePage = 0;
  std::uint16_t usage = 0;
  // Report lengths in bytes, counting the report-id byte.
  std::uint16_t inputLength = 0;
  std::uint16_t outputLength = 0;
  std::uint16_t featureLength = 0;
  std::string serial;  // UTF-8

  bool operator==(const SimIdentity&) const = default;
};

using Bytes = std::vector<std::uint8_t>;

Bytes Message(MsgType type, const std::uint8_t* payload = nullptr, std::size_t length = 0);
Bytes Message(MsgType type, const Bytes& payload);
Bytes ErrorMessage(std::uint32_t code);
Bytes QueuedMessage(std::uint32_t subscribers);

Bytes EncodeIdentity(const SimIdentity& id);  // payload of 'i'
std::optional<SimIdentity> DecodeIdentity(const std::uint8_t* payload, std::size_t length);

// u32 payload of 'E' and 'q'; nullopt when the payload is too short.
std::optional<std::uint32_t> DecodeU32(const std::uint8_t* payload, std::size_t length);

// A device name is a plain file name: 1..64 characters of [A-Za-z0-9_-.],
// not starting with '.'.
bool IsValidDeviceName(std::string_view name);

}  // namespace hidsim
