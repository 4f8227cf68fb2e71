#include "tools/hidsim/CardEncoding.h"

namespace hidsim {
namespace {

// Offsets of the area: error flags at 1, the first length byte at 4.
constexpr std::size_t kErrorFlagsOffset = 1;
constexpr std::size_t kFirstBlockOffset = 4;
// Error flag bits of the area: track 1 (first block), 2 (second block), 3.
constexpr std::uint8_t kErrorBits[3] = {0x01, 0x04, 0x10};

struct Block {
  const std::optional<std::string>* text;
  std::uint8_t offset;
  const char* name;
};

}  // namespace

std::optional<EncodedCard> EncodeSwipe(const SwipeRequest& request, std::string* error) {
  if (request.numeric && (request.track3.has_value() || request.error[2])) {
    *error = "the numeric layout has two blocks only (--track1 and --track2)";
    return std::nullopt;
  }
  std::vector<Block> blocks;
  if (request.numeric) {
    blocks = {{&request.track1, 0x30, "track 1"}, {&request.track2, 0x30, "track 2"}};
  } else {
    blocks = {{&request.track1, 0x20, "track 1"}, {&request.track2, 0x30, "track 2"},
              {&request.track3, 0x00, "track 3"}};
  }

  EncodedCard card;
  card.area.assign(kCardAreaLength, 0);
  for (std::size_t t = 0; t < 3; ++t) {
    if (request.error[t]) card.area[kErrorFlagsOffset] |= kErrorBits[t];
  }
  std::size_t pos = kFirstBlockOffset;
  for (const Block& block : blocks) {
    const std::string text = block.text->value_or(std::string());
    if (text.size() > kMaxBlockLength) {
      *error = std::string(block.name) + " has " + std::to_string(text.size()) +
               " characters; a block holds at most " + std::to_string(kMaxBlockLength);
      return std::nullopt;
    }
    if (pos + 1 + text.size() > kCardAreaLength) {
      *error = "the tracks together do not fit into the card data of " +
               std::to_string(kCardAreaLength) + " bytes";
      return std::nullopt;
    }
    card.area[pos++] = static_cast<std::uint8_t>(text.size());
    for (char ch : text) {
      const auto code = static_cast<std::uint8_t>(ch);
      if (code < block.offset) {
        *error = std::string(block.name) + " cannot hold the character code " + std::to_string(code);
        return std::nullopt;
      }
      card.area[pos++] = static_cast<std::uint8_t>(code - block.offset);
    }
  }
  card.status[0] = request.numeric ? kStatusNumericLayout : kStatusIsoLayout;
  card.status[1] = kStatusCardData;
  return card;
}

std::optional<std::array<bool, 3>> ParseErrorTracks(const std::string& list) {
  std::array<bool, 3> tracks{};
  if (list.empty()) return std::nullopt;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t comma = list.find(',', start);
    const std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (item.size() != 1 || item[0] < '1' || item[0] > '3') return std::nullopt;
    tracks[static_cast<std::size_t>(item[0] - '1')] = true;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return tracks;
}

}  // namespace hidsim

namespace hidsim {

namespace {
// Identification served after a device information request: device type,
// firmware major and minor.
constexpr std::uint8_t kReaderInfo[] = {0x16, 0x01, 0x00};
}  // namespace

StripeReaderModel::StripeReaderModel() : m_feature(kCardAreaLength, 0) {}

std::array<std::uint8_t, 2> StripeReaderModel::Apply(const std::uint8_t* report, std::size_t length) {
  const bool infoRequest = report != nullptr && length >= 4 && report[0] == 0x00 && report[1] == 0x00 &&
                           report[2] == 0x00 && report[3] == 0x01;
  if (!infoRequest) return {kStatusCommandReject, 0x00};
  m_feature.assign(kCardAreaLength, 0);
  for (std::size_t i = 0; i < sizeof(kReaderInfo); ++i) m_feature[i] = kReaderInfo[i];
  return {kStatusFeatureWaiting, 0x00};
}

std::array<std::uint8_t, 2> StripeReaderModel::Swipe(const std::vector<std::uint8_t>& area,
                                                     const std::array<std::uint8_t, 2>& status) {
  m_feature.assign(kCardAreaLength, 0);
  for (std::size_t i = 0; i < area.size() && i < kCardAreaLength; ++i) m_feature[i] = area[i];
  return status;
}

}  // namespace hidsim
