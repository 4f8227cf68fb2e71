// The simulated devices' models and the wire encoding, without sockets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drivers/hid/sim/SimProtocol.h"
#include "plugins/ld/LdReports.h"
#include "tools/hidsim/CardEncoding.h"
#include "tools/hidsim/LineDisplayModel.h"
#include "tools/hidsim/SimServer.h"

namespace {

using hidsim::Bytes;
using hidsim::LineDisplayModel;

// A line report as the display plug-in builds it (its checksum is pinned
// with fixed bytes below and in the plug-in's tests).
Bytes LineReport(std::uint8_t command, const std::string& text) {
  std::string line = text;
  line.resize(ldreport::kLineColumns, ' ');
  const auto report = ldreport::Line(command, reinterpret_cast<const std::uint8_t*>(line.data()));
  return Bytes(report.begin(), report.end());
}

Bytes WithChecksum(Bytes r, int delta) {
  r[23] = static_cast<std::uint8_t>(r[23] + delta);
  return r;
}

Bytes Cut(Bytes r, std::size_t length) {
  r.resize(length);
  return r;
}

Bytes Padded(Bytes r, std::size_t length = 32) {
  r.resize(length, 0);
  return r;
}

std::string Blank() { return std::string(20, ' '); }

struct ScreenCase {
  const char* name;
  std::vector<Bytes> reports;
  std::string top, bottom;
  std::uint8_t lastStatus;  // byte 0 of the answer to the last report
  bool lastChanged;
};

TEST(LineDisplayModel, ScreenAfterReportSequence) {
  const Bytes ram3 = {0x00, 0x40, 0x03, 0x1F, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1F, 0x00};
  const std::vector<ScreenCase> cases = {
      {"top line", {Padded(LineReport(0x81, "HELLO"))}, "HELLO" + std::string(15, ' '), Blank(), 0x01, true},
      {"bottom line, unpadded report", {LineReport(0x82, "WORLD")}, Blank(),
       "WORLD" + std::string(15, ' '), 0x01, true},
      {"both lines then clear top",
       {Padded(LineReport(0x81, "TOP")), Padded(LineReport(0x82, "BOTTOM")), Padded({0x00, 0x01, 0x00})},
       Blank(), "BOTTOM" + std::string(14, ' '), 0x01, true},
      {"clear bottom from position 5",
       {Padded(LineReport(0x82, "0123456789ABCDEFGHIJ")), Padded({0x00, 0x02, 0x05})}, Blank(),
       "01234" + std::string(15, ' '), 0x01, true},
      {"clear from position 20 is refused",
       {Padded(LineReport(0x81, "KEEP")), Padded({0x00, 0x01, 20})}, "KEEP" + std::string(16, ' '), Blank(),
       0x80, false},
      {"wrong checksum is refused", {Padded(WithChecksum(LineReport(0x81, "BAD"), 1))}, Blank(), Blank(), 0x80,
       false},
      {"wrong marker is refused",
       {Padded([] {
         Bytes r = LineReport(0x81, "X");
         r[2] = 0x27;
         r[23] = static_cast<std::uint8_t>(r[23] - 1);
         return r;
       }())},
       Blank(), Blank(), 0x80, false},
      {"line report cut to 23 bytes is refused", {Cut(LineReport(0x81, "SHORT"), 23)},
       Blank(), Blank(), 0x80, false},
      {"same line twice changes nothing the second time",
       {Padded(LineReport(0x81, "SAME")), Padded(LineReport(0x81, "SAME"))}, "SAME" + std::string(16, ' '), Blank(),
       0x01, false},
      {"RAM pattern then a line showing it",
       {Padded(ram3), Padded(LineReport(0x81, std::string("A\x03" "B", 3)))},
       std::string("A\x03" "B", 3) + std::string(17, ' '), Blank(), 0x01, true},
      {"status request leaves the screen", {Padded(LineReport(0x81, "S")), Padded({0x00, 0x00, 0x20})},
       "S" + std::string(19, ' '), Blank(), 0x01, false},
      {"unknown command", {Padded({0x00, 0x55})}, Blank(), Blank(), 0x80, false},
      {"report id other than 0", {Padded({0x01, 0x00, 0x20})}, Blank(), Blank(), 0x80, false},
  };
  for (const ScreenCase& c : cases) {
    SCOPED_TRACE(c.name);
    LineDisplayModel model;
    LineDisplayModel::Outcome last;
    for (const Bytes& r : c.reports) last = model.Apply(r.data(), r.size());
    EXPECT_EQ(model.Line(0), c.top);
    EXPECT_EQ(model.Line(1), c.bottom);
    EXPECT_EQ(last.status[0], c.lastStatus);
    EXPECT_EQ(last.screenChanged, c.lastChanged);
  }
}

TEST(LineDisplayModel, BlankLineReportOfKnownBytesIsAccepted) {
  // 0x81 + 0x28 + 20 x 0x20 = 0x329: checksum 0x29; the bottom line 0x2A.
  Bytes top = {0x00, 0x81, 0x28};
  Bytes bottom = {0x00, 0x82, 0x28};
  for (int i = 0; i < 20; ++i) {
    top.push_back(0x20);
    bottom.push_back(0x20);
  }
  top.push_back(0x29);
  bottom.push_back(0x2A);
  LineDisplayModel model;
  EXPECT_EQ(model.Apply(top.data(), top.size()).status[0], 0x01);
  EXPECT_EQ(model.Apply(bottom.data(), bottom.size()).status[0], 0x01);
  bottom[23] = 0x29;
  EXPECT_EQ(model.Apply(bottom.data(), bottom.size()).status[0], 0x80);
}

struct StateCase {
  const char* name;
  Bytes report;
  std::uint8_t status0;
  int ramLocation;  // -1: none expected to change
  std::uint8_t characterSet;
};

TEST(LineDisplayModel, RamPatternsAndCharacterSets) {
  const std::vector<StateCase> cases = {
      {"RAM location 0", {0x00, 0x40, 0x00, 1, 2, 3, 4, 5, 6, 7, 8}, 0x01, 0, 0x1F},
      {"RAM location 7", {0x00, 0x40, 0x07, 8, 7, 6, 5, 4, 3, 2, 1}, 0x01, 7, 0x1F},
      {"RAM location 8 refused", {0x00, 0x40, 0x08, 1, 1, 1, 1, 1, 1, 1, 1}, 0x80, -1, 0x1F},
      {"RAM report without all rows refused", {0x00, 0x40, 0x02, 1, 2, 3}, 0x80, -1, 0x1F},
      {"character set 1", {0x00, 0x41, 0x01}, 0x01, -1, 0x01},
      {"character set 11", {0x00, 0x41, 0x0B}, 0x01, -1, 0x0B},
      {"character set 12 refused", {0x00, 0x41, 0x0C}, 0x80, -1, 0x1F},
      {"character set 0 refused", {0x00, 0x41, 0x00}, 0x80, -1, 0x1F},
  };
  for (const StateCase& c : cases) {
    SCOPED_TRACE(c.name);
    LineDisplayModel model;
    EXPECT_EQ(model.Apply(c.report.data(), c.report.size()).status[0], c.status0);
    EXPECT_EQ(model.CharacterSet(), c.characterSet);
    for (int loc = 0; loc < LineDisplayModel::kRamLocations; ++loc) {
      const auto& pattern = model.RamPattern(loc);
      for (int row = 0; row < LineDisplayModel::kPatternRows; ++row) {
        const std::uint8_t expected = loc == c.ramLocation ? c.report[static_cast<std::size_t>(3 + row)] : 0;
        EXPECT_EQ(pattern[static_cast<std::size_t>(row)], expected) << "location " << loc << " row " << row;
      }
    }
  }
}

TEST(LineDisplayModel, AnswersStatusDeviceInformationAndCharacterSetList) {
  struct Case {
    const char* name;
    Bytes report;
    std::array<std::uint8_t, 8> mask;  // which status bytes are checked
    std::array<std::uint8_t, 8> expected;
  };
  const std::vector<Case> cases = {
      {"status request", {0x00, 0x00, 0x20}, {0xFF, 0, 0, 0, 0, 0, 0, 0}, {0x01}},
      {"device information", {0x00, 0x00, 0x00, 0x01}, {0xFF, 0xFF, 0, 0, 0xFF, 0, 0, 0}, {0x11, 0x20, 0, 0, 0x03}},
      {"character set list", {0x00, 0x42}, {0xFF, 0, 0, 0, 0, 0, 0, 0}, {0x03}},
      {"general command with other arguments", {0x00, 0x00, 0x00, 0x02}, {0xFF, 0, 0, 0, 0, 0, 0, 0}, {0x80}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LineDisplayModel model;
    const Bytes report = Padded(c.report);
    const auto outcome = model.Apply(report.data(), report.size());
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(outcome.status[i] & c.mask[i], c.expected[i]) << "byte " << i;
  }
}

TEST(LineDisplayModel, RenderShowsRamCharactersByLocation) {
  LineDisplayModel model;
  const Bytes line = Padded(LineReport(0x81, std::string("A\x00\x07~", 4)));
  model.Apply(line.data(), line.size());
  const std::string text = model.Render();
  EXPECT_NE(text.find("|A\u2070\u2077~" + std::string(16, ' ') + "|"), std::string::npos) << text;
  EXPECT_NE(text.find("|" + Blank() + "|"), std::string::npos) << text;
}

struct SwipeCase {
  const char* name;
  hidsim::SwipeRequest request;
  Bytes areaStart;  // the first bytes of the area; the rest must be zero
  std::array<std::uint8_t, 2> status;
};

hidsim::SwipeRequest Iso(std::optional<std::string> t1, std::optional<std::string> t2,
                         std::optional<std::string> t3, std::array<bool, 3> error = {}) {
  hidsim::SwipeRequest r;
  r.track1 = std::move(t1);
  r.track2 = std::move(t2);
  r.track3 = std::move(t3);
  r.error = error;
  return r;
}

hidsim::SwipeRequest Numeric(std::optional<std::string> t1, std::optional<std::string> t2,
                             std::array<bool, 3> error = {}) {
  hidsim::SwipeRequest r = Iso(std::move(t1), std::move(t2), std::nullopt, error);
  r.numeric = true;
  return r;
}

TEST(CardEncoding, EncodesTracksAsTheReaderDoes) {
  const std::vector<SwipeCase> cases = {
      {"ISO tracks 1 and 2", Iso("ABC", "123", std::nullopt),
       {0x00, 0x00, 0x00, 0x00, 0x03, 0x21, 0x22, 0x23, 0x03, 0x01, 0x02, 0x03, 0x00}, {0x04, 0x01}},
      {"ISO track 1 space and separators", Iso(" ^/", std::nullopt, std::nullopt),
       {0, 0, 0, 0, 0x03, 0x00, 0x3E, 0x0F, 0x00, 0x00}, {0x04, 0x01}},
      {"ISO track 2 separator", Iso(std::nullopt, "4=9", std::nullopt), {0, 0, 0, 0, 0x00, 0x03, 0x04, 0x0D, 0x09, 0x00},
       {0x04, 0x01}},
      {"ISO track 3 taken as is", Iso(std::nullopt, std::nullopt, "01=A"),
       {0, 0, 0, 0, 0x00, 0x00, 0x04, '0', '1', '=', 'A'}, {0x04, 0x01}},
      {"ISO errors on tracks 1 and 3", Iso("A", "1", "x", {true, false, true}),
       {0, 0x11, 0, 0, 0x01, 0x21, 0x01, 0x01, 0x01, 'x'}, {0x04, 0x01}},
      {"ISO error on track 2", Iso(std::nullopt, std::nullopt, std::nullopt, {false, true, false}),
       {0, 0x04, 0, 0, 0, 0, 0}, {0x04, 0x01}},
      {"numeric two blocks", Numeric("12", "34"), {0x00, 0x00, 0x00, 0x00, 0x02, 0x01, 0x02, 0x02, 0x03, 0x04},
       {0x20, 0x01}},
      {"numeric errors on both blocks", Numeric("9", std::nullopt, {true, true, false}),
       {0, 0x05, 0, 0, 0x01, 0x09, 0x00}, {0x20, 0x01}},
  };
  for (const SwipeCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string problem;
    const auto card = hidsim::EncodeSwipe(c.request, &problem);
    ASSERT_TRUE(card.has_value()) << problem;
    ASSERT_EQ(card->area.size(), hidsim::kCardAreaLength);
    EXPECT_EQ(card->status, c.status);
    for (std::size_t i = 0; i < card->area.size(); ++i) {
      const std::uint8_t expected = i < c.areaStart.size() ? c.areaStart[i] : 0;
      ASSERT_EQ(card->area[i], expected) << "area byte " << i;
    }
  }
}

TEST(CardEncoding, RefusesWhatTheReaderCannotProduce) {
  const std::string max(hidsim::kMaxBlockLength, '5');
  hidsim::SwipeRequest numericWithTrack3 = Numeric("1", "2");
  numericWithTrack3.track3 = "3";
  const struct {
    const char* name;
    hidsim::SwipeRequest request;
    bool ok;
  } cases[] = {
      {"track 1 character below 0x20", Iso(std::string("A\tB"), std::nullopt, std::nullopt), false},
      {"track 2 character below 0x30", Iso(std::nullopt, "12 3", std::nullopt), false},
      {"numeric block character below 0x30", Numeric("1/", std::nullopt), false},
      {"numeric with track 3", numericWithTrack3, false},
      {"numeric with a track 3 error", Numeric("1", "2", {false, false, true}), false},
      {"block of 139 bytes", Iso(std::nullopt, max, std::nullopt), true},
      {"block of 140 bytes", Iso(std::nullopt, max + "5", std::nullopt), false},
      // 4 + (1 + 139) + (1 + 139) + (1 + 5) = 290: exactly the area.
      {"three blocks filling the area", Iso(std::string(139, 'A'), max, "12345"), true},
      {"three blocks one byte over the area", Iso(std::string(139, 'A'), max, "123456"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string problem;
    const auto card = hidsim::EncodeSwipe(c.request, &problem);
    EXPECT_EQ(card.has_value(), c.ok);
    EXPECT_EQ(problem.empty(), c.ok) << problem;
  }
}

TEST(CardEncoding, ParsesErrorTrackLists) {
  const struct {
    const char* text;
    bool ok;
    std::array<bool, 3> tracks;
  } cases[] = {
      {"1", true, {true, false, false}},     {"1,3", true, {true, false, true}},
      {"3,2,1", true, {true, true, true}},   {"2,2", true, {false, true, false}},
      {"", false, {}},                       {"0", false, {}},
      {"4", false, {}},                      {"1,", false, {}},
      {",1", false, {}},                     {"12", false, {}},
      {"1 ,2", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto tracks = hidsim::ParseErrorTracks(c.text);
    ASSERT_EQ(tracks.has_value(), c.ok);
    if (c.ok) {
      EXPECT_EQ(*tracks, c.tracks);
    }
  }
}

TEST(StripeReaderModel, DeviceInformationThenSwipeChangeTheFeatureReport) {
  hidsim::StripeReaderModel reader;
  const Bytes info = {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
  const auto infoStatus = reader.Apply(info.data(), info.size());
  EXPECT_EQ(infoStatus[0], hidsim::kStatusFeatureWaiting);
  EXPECT_EQ(infoStatus[1], 0x00);  // no card data with it
  const Bytes identification = reader.Feature();
  EXPECT_NE(identification, Bytes(hidsim::kCardAreaLength, 0));

  const Bytes other = {0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(reader.Apply(other.data(), other.size())[0], hidsim::kStatusCommandReject);
  EXPECT_EQ(reader.Feature(), identification);

  std::string problem;
  const auto card = hidsim::EncodeSwipe(Iso("ABC", "123", std::nullopt), &problem);
  ASSERT_TRUE(card.has_value());
  EXPECT_EQ(reader.Swipe(card->area, card->status), card->status);
  EXPECT_EQ(reader.Feature(), card->area);
}

TEST(SimServer, TraceLinesAndReportShapes) {
  EXPECT_EQ(hidsim::TraceLine({0x00, 0x81, 0x28, 0xAB, 0x0F}), "00 81 28 ab 0f\n");
  EXPECT_EQ(hidsim::TraceLine({}), "\n");
  EXPECT_EQ(hidsim::MakeReport({0x11, 0x20}, 5), (Bytes{0x00, 0x11, 0x20, 0x00, 0x00}));
  EXPECT_EQ(hidsim::MakeReport({0x11, 0x20, 0x30}, 3), (Bytes{0x00, 0x11, 0x20}));
  EXPECT_EQ(hidsim::MakeReport({0x11}, 0), Bytes{});
}

TEST(SimProtocol, IdentityRoundTripAndMalformedPayloads) {
  hidsim::SimIdentity id;
  id.vendorId = 0x6D13;
  id.productId = 0x4525;
  id.version = 0x0203;
  id.usagePage = 0xFF45;
  id.usage = 0x2400;
  id.inputLength = 9;
  id.outputLength = 32;
  id.featureLength = 291;
  id.serial = "SN-\xC3\xA9-1";
  const Bytes encoded = hidsim::EncodeIdentity(id);
  const auto decoded = hidsim::DecodeIdentity(encoded.data(), encoded.size());
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, id);

  EXPECT_FALSE(hidsim::DecodeIdentity(encoded.data(), 15).has_value());
  EXPECT_FALSE(hidsim::DecodeIdentity(nullptr, 0).has_value());
  Bytes absurd = encoded;
  absurd[10] = 0xFF;  // input length 0xFF09
  absurd[11] = 0xFF;
  EXPECT_FALSE(hidsim::DecodeIdentity(absurd.data(), absurd.size()).has_value());

  const Bytes error = hidsim::ErrorMessage(1167);
  ASSERT_EQ(error[0], static_cast<std::uint8_t>(hidsim::MsgType::Error));
  EXPECT_EQ(hidsim::DecodeU32(error.data() + 1, error.size() - 1), 1167u);
  EXPECT_FALSE(hidsim::DecodeU32(error.data() + 1, 3).has_value());
}

TEST(SimProtocol, DeviceNamesAndFolderEntries) {
  const struct {
    const char* name;
    bool device;  // a valid name for a new device
    bool entry;   // listed as a device in the folder
  } cases[] = {
      {"ld1", true, true},          {"MSR_front-2.a", true, true}, {"", false, false},
      {".ld1.123.tmp", false, false}, {"@resume.42", false, false}, {"a/b", false, true},
      {"with space", false, true},   {"..", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(hidsim::IsValidDeviceName(c.name), c.device);
    EXPECT_EQ(hidsim::IsDeviceEntryName(c.name), c.entry);
  }
  EXPECT_FALSE(hidsim::IsValidDeviceName(std::string(65, 'a')));
  EXPECT_TRUE(hidsim::IsValidDeviceName(std::string(64, 'a')));
}

}  // namespace
