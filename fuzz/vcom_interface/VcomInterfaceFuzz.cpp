// Arbitrary messages on a vcomd interface socket, as any opener can send
// them: each is taken as a request or drops the connection, and every reply
// is a whole header with no more output than the request has room for.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "vcom/Requests.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

// The input is a series of messages, each one length byte and its bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t at = 0;
  while (at < size) {
    std::size_t length = data[at++];
    if (length > size - at) length = size - at;
    const std::uint8_t* message = data + at;
    at += length;
    vcom::IoRequest req{};
    bool taken = vcom::ParseIoRequest(message, length, req);
    std::uint32_t magic = 0;
    if (length >= sizeof(magic)) std::memcpy(&magic, message, sizeof(magic));
    Check(taken == (length == sizeof(vcom::IoRequest) && magic == vcom::kMagic));
    if (!taken) return 0;  // vcomd drops the connection
    Check(std::memcmp(&req, message, sizeof(req)) == 0);
    std::uint32_t status = 0;
    vcom::IoAction action = vcom::ActionOf(req, status);
    Check((action == vcom::IoAction::Refuse) == (status != 0));
    const std::uint32_t info[3] = {1, 0, 0};
    unsigned char out[sizeof(vcom::IoReply) + vcom::kMaxOutput + 1];
    out[sizeof(out) - 1] = 0xA5;
    std::size_t sent = vcom::BuildIoReply(action, status, info, out);
    Check(out[sizeof(out) - 1] == 0xA5);
    vcom::IoReply reply;
    std::memcpy(&reply, out, sizeof(reply));
    Check(reply.magic == vcom::kMagic && reply.status == status);
    Check(sent == sizeof(reply) + reply.size && reply.size <= vcom::kMaxOutput);
    Check(reply.size == 0 || (action == vcom::IoAction::GetInfo && reply.size <= req.outputSize));
  }
  return 0;
}
