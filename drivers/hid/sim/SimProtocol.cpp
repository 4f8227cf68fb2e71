#include "drivers/hid/sim/SimProtocol.h"

namespace hidsim {
namespace {

void PutU16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void PutU32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint16_t GetU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

constexpr std::size_t kIdentityFixed = 8 * 2;
constexpr std::size_t kMaxSerial = 255;

}  // namespace

Bytes Message(MsgType type, const std::uint8_t* payload, std::size_t length) {
  Bytes out;
  out.reserve(1 + length);
  out.push_back(static_cast<std::uint8_t>(type));
  if (payload != nullptr) out.insert(out.end(), payload, payload + length);
  return out;
}

Bytes Message(MsgType type, const Bytes& payload) {
  return Message(type, payload.data(), payload.size());
}

Bytes ErrorMessage(std::uint32_t code) {
  Bytes payload;
  PutU32(payload, code);
  return Message(MsgType::Error, payload);
}

Bytes QueuedMessage(std::uint32_t subscribers) {
  Bytes payload;
  PutU32(payload, subscribers);
  return Message(MsgType::Queued, payload);
}

Bytes EncodeIdentity(const SimIdentity& id) {
  Bytes out;
  PutU16(out, id.vendorId);
  PutU16(out, id.productId);
  PutU16(out, id.version);
  PutU16(out, id.usagePage);
  PutU16(out, id.usage);
  PutU16(out, id.inputLength);
  PutU16(out, id.outputLength);
  PutU16(out, id.featureLength);
  const std::size_t n = id.serial.size() < kMaxSerial ? id.serial.size() : kMaxSerial;
  out.insert(out.end(), id.serial.begin(), id.serial.begin() + static_cast<std::ptrdiff_t>(n));
  return out;
}

std::optional<SimIdentity> DecodeIdentity(const std::uint8_t* payload, std::size_t length) {
  if (payload == nullptr || length < kIdentityFixed || length > kIdentityFixed + kMaxSerial) {
    return std::nullopt;
  }
  SimIdentity id;
  id.vendorId = GetU16(payload + 0);
  id.productId = GetU16(payload + 2);
  id.version = GetU16(payload + 4);
  id.usagePage = GetU16(payload + 6);
  id.usage = GetU16(payload + 8);
  id.inputLength = GetU16(payload + 10);
  id.outputLength = GetU16(payload + 12);
  id.featureLength = GetU16(payload + 14);
  if (id.inputLength > kMaxReportLength || id.outputLength > kMaxReportLength ||
      id.featureLength > kMaxReportLength) {
    return std::nullopt;
  }
  id.serial.assign(reinterpret_cast<const char*>(payload + kIdentityFixed), length - kIdentityFixed);
  return id;
}

std::optional<std::uint32_t> DecodeU32(const std::uint8_t* payload, std::size_t length) {
  if (payload == nullptr || length < 4) return std::nullopt;
  return static_cast<std::uint32_t>(payload[0]) | (static_cast<std::uint32_t>(payload[1]) << 8) |
         (static_cast<std::uint32_t>(payload[2]) << 16) | (static_cast<std::uint32_t>(payload[3]) << 24);
}

bool IsValidDeviceName(std::string_view name) {
  if (name.empty() || name.size() > 64 || name.front() == '.') return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

bool IsDeviceEntryName(std::string_view name) {
  return !name.empty() && name.front() != '.' && name.front() != '@';
}

}  // namespace hidsim
