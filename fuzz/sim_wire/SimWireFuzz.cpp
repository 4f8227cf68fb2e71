// Arbitrary messages on the simulated-device wire, as both ends parse them:
// the provider's identity and error decoding, and each simulated device
// taking output reports, swipes and feature requests. Decoded identities must
// encode back to themselves and every answer must keep the device's lengths.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "drivers/hid/sim/SimProtocol.h"
#include "tools/hidsim/CardEncoding.h"
#include "tools/hidsim/LineDisplayModel.h"
#include "tools/hidsim/SimServer.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void Host(const hidsim::Bytes& message) {
  const std::uint8_t* payload = message.data() + 1;
  const std::size_t length = message.size() - 1;
  if (const auto id = hidsim::DecodeIdentity(payload, length)) {
    Check(id->inputLength <= hidsim::kMaxReportLength && id->outputLength <= hidsim::kMaxReportLength &&
          id->featureLength <= hidsim::kMaxReportLength);
    const hidsim::Bytes encoded = hidsim::EncodeIdentity(*id);
    Check(encoded.size() == length);
    const auto again = hidsim::DecodeIdentity(encoded.data(), encoded.size());
    Check(again && *again == *id);
  }
  if (const auto code = hidsim::DecodeU32(payload, length)) {
    const hidsim::Bytes error = hidsim::ErrorMessage(*code);
    Check(hidsim::DecodeU32(error.data() + 1, error.size() - 1) == code);
  }
}

void Device(const hidsim::Bytes& message, hidsim::LineDisplayModel& display, hidsim::StripeReaderModel& reader) {
  const hidsim::Bytes payload(message.begin() + 1, message.end());
  switch (static_cast<hidsim::MsgType>(message[0])) {
    case hidsim::MsgType::Output: {
      display.Apply(payload.data(), payload.size());
      Check(display.Render().size() > 0);
      reader.Apply(payload.data(), payload.size());
      const std::string line = hidsim::TraceLine(payload);
      Check(line.size() == (payload.empty() ? 1 : payload.size() * 3));
      break;
    }
    case hidsim::MsgType::Swipe:
      if (payload.size() >= 2) reader.Swipe(hidsim::Bytes(payload.begin() + 2, payload.end()), {payload[0], payload[1]});
      break;
    case hidsim::MsgType::GetFeature: {
      const hidsim::Bytes report = hidsim::MakeReport(reader.Feature(), 291);
      Check(report.size() == 291 && report[0] == 0);
      break;
    }
    default:
      break;
  }
  Check(reader.Feature().size() == hidsim::kCardAreaLength);
}

}  // namespace

// Input: messages, each a length byte and that many bytes (the type first).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  hidsim::LineDisplayModel display;
  hidsim::StripeReaderModel reader;
  std::size_t at = 0;
  while (at < size) {
    const std::size_t length = data[at++];
    if (length == 0 || length > size - at) break;
    const hidsim::Bytes message(data + at, data + at + length);
    at += length;
    Host(message);
    Device(message, display, reader);
  }
  return 0;
}
