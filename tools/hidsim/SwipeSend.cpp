#include "tools/hidsim/SwipeSend.h"

#include <algorithm>

#include "drivers/hid/sim/SimSocket.h"

namespace hidsim {

bool SendSwipe(const std::string& path, const EncodedCard& card, int timeoutMs, std::optional<std::uint32_t>* hosts,
               std::uint32_t* error) {
  // The status bytes, then the card-data area.
  Bytes payload(2 + card.area.size());
  payload[0] = card.status[0];
  payload[1] = card.status[1];
  std::copy(card.area.begin(), card.area.end(), payload.begin() + 2);
  Bytes reply;
  if (!Request(path, Message(MsgType::Swipe, payload), MsgType::Queued, &reply, timeoutMs, error)) {
    return false;
  }
  *hosts = DecodeU32(reply.data(), reply.size());
  return true;
}

}  // namespace hidsim
