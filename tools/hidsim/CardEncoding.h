#pragma once
// How the simulated stripe reader encodes one card: its status bytes and the
// card-data area served as the feature report. No I/O.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hidsim {

struct SwipeRequest {
  bool numeric = false;  // two-block numeric layout instead of the ISO layout
  std::optional<std::string> track1, track2, track3;  // characters without sentinels
  std::array<bool, 3> error{};                         // tracks 1..3 unreadable
};

struct EncodedCard {
  // Status bytes after the report id: byte 0 tells the layout, byte 1 that
  // card data waits.
  std::array<std::uint8_t, 2> status{};
  // The card-data area: the feature report without its report id.
  std::vector<std::uint8_t> area;
};

inline constexpr std::size_t kCardAreaLength = 290;
inline constexpr std::size_t kMaxBlockLength = 139;

inline constexpr std::uint8_t kStatusFeatureWaiting = 0x01;  // byte 0 bit 0
inline constexpr std::uint8_t kStatusIsoLayout = 0x04;       // byte 0 bit 2
inline constexpr std::uint8_t kStatusNumericLayout = 0x20;   // byte 0 bit 5
inline constexpr std::uint8_t kStatusCommandReject = 0x80;   // byte 0 bit 7
inline constexpr std::uint8_t kStatusCardData = 0x01;        // byte 1 bit 0

// Encodes a swipe. On a request the reader could not produce (a character
// below the track's offset, a block over 139 bytes, more than fits in the
// area, track 3 or its error in the numeric layout) returns nullopt with a
// message in *error.
std::optional<EncodedCard> EncodeSwipe(const SwipeRequest& request, std::string* error);

// "1,3" -> tracks 1 and 3; nullopt on anything but track numbers 1..3.
std::optional<std::array<bool, 3>> ParseErrorTracks(const std::string& list);

}  // namespace hidsim

namespace hidsim {

// The simulated stripe reader's state: the feature report it serves, and the
// status it answers each output report and each swipe with.
class StripeReaderModel {
 public:
  StripeReaderModel();

  // An output report (byte 0 the report id). The device information request
  // (00 00 00 01) is answered with "feature report waiting" and makes the
  // identification the feature report; anything else is a command reject.
  std::array<std::uint8_t, 2> Apply(const std::uint8_t* report, std::size_t length);
  // A swipe: the card becomes the feature report; returns its status bytes.
  std::array<std::uint8_t, 2> Swipe(const std::vector<std::uint8_t>& area,
                                    const std::array<std::uint8_t, 2>& status);
  // The feature report's bytes after the report id (kCardAreaLength bytes).
  const std::vector<std::uint8_t>& Feature() const { return m_feature; }

 private:
  std::vector<std::uint8_t> m_feature;
};

}  // namespace hidsim
