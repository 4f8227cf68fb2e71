// The track formatter: settings, both layouts, bounds, the log masks and the
// clearing of card data.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/log/ZolLog.h"
#include "plugins/msr/MsrFormat.h"
#include "tests/support/LogLines.h"

namespace {

using Keys = std::vector<std::pair<std::wstring, std::wstring>>;
using Bytes = std::vector<BYTE>;

// A formatter whose log lines are captured.
struct Harness {
  zoltest::LogLines log;
  MsrFormat format{&log};
  std::vector<zoltest::LogLines::Line> Lines() { return log.Lines(); }

  bool Configure(const Keys& keys, ConfigRead read = ConfigRead::Found) {
    std::vector<datanode> nodes;
    for (const auto& [k, v] : keys) {
      nodes.push_back(datanode{k, v, {}, {}});
    }
    return format.ApplyConfiguration(read, nodes);
  }

  // Formats a card-data area held in a heap block of exactly 290 bytes, so a
  // read past its end is caught by the address sanitizer; the output sits in
  // a larger block whose tail must stay untouched.
  std::string Format(const Bytes& bytes, bool numeric = false) {
    std::vector<BYTE> area(MSR_CARD_DATA_SIZE, 0);
    std::copy_n(bytes.begin(), std::min(bytes.size(), area.size()), area.begin());
    std::vector<BYTE> out(MSR_OUTPUT_SIZE + 16, 0xA5);
    DWORD length = 0xFFFF;
    MsrCardData in(area.data(), MSR_CARD_DATA_SIZE);
    MsrOutput o(out.data(), MSR_OUTPUT_SIZE);
    const bool ok = numeric ? format.formatNumericFeatureReport(in, o, &length)
                            : format.formatISOFeatureReport(in, o, &length);
    EXPECT_TRUE(ok);
    EXPECT_LE(length, MSR_OUTPUT_SIZE);
    for (std::size_t i = MSR_OUTPUT_SIZE; i < out.size(); ++i) {
      EXPECT_EQ(out[i], 0xA5) << "written past the output at " << i;
    }
    EXPECT_FALSE(format.HoldsCardData()) << "card data left in the formatter";
    return std::string(out.begin(), out.begin() + std::min<DWORD>(length, MSR_OUTPUT_SIZE));
  }

  std::string LineAfter(const std::string& prefix) {
    for (const auto& l : Lines()) {
      if (l.text.rfind(prefix, 0) == 0) {
        return l.text.substr(prefix.size());
      }
    }
    ADD_FAILURE() << "no log line " << prefix;
    return {};
  }
};

// The card-data area the reader delivers for three track texts (ISO layout):
// track 1 less 0x20, track 2 less 0x30, track 3 as it is.
Bytes IsoArea(const std::string& t1, const std::string& t2, const std::string& t3, BYTE errors = 0) {
  Bytes a = {0, errors, 0, 0};
  const std::string* tracks[3] = {&t1, &t2, &t3};
  const int offsets[3] = {0x20, 0x30, 0};
  for (int i = 0; i < 3; ++i) {
    a.push_back(static_cast<BYTE>(tracks[i]->size()));
    for (char c : *tracks[i]) {
      a.push_back(static_cast<BYTE>(c - offsets[i]));
    }
  }
  return a;
}

std::string Stars(std::size_t n) { return std::string(n, '*'); }
std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

const Bytes kAbc123 = {0x00, 0x00, 0x00, 0x00, 0x03, 0x21, 0x22, 0x23, 0x03, 0x01, 0x02, 0x03, 0x00};

Bytes With(Bytes b, std::size_t at, BYTE value) {
  b[at] = value;
  return b;
}

struct OutputCase {
  const char* name;
  Keys keys;
  Bytes area;
  bool numeric;
  std::string expected;
};

TEST(MsrFormatTest, FormatsTheWorkedExamples) {
  const std::vector<OutputCase> cases = {
      {"defaults", {}, kAbc123, false, "%ABC?;123?"},
      {"strip and CR", {{L"Strip_Sentinels", L"true"}, {L"CR_Enabled", L"true"}}, kAbc123, false,
       "ABC\r123\r"},
      {"wrappers", {{L"Head_Wrapper", L"["}, {L"Tail_Wrapper", L"]"}}, kAbc123, false,
       "[%ABC?][;123?]"},
      {"track 2 error", {}, With(kAbc123, 1, 0x04), false, "%ABC?E"},
      {"track 2 error hidden", {{L"Hide_Error_Tracks", L"true"}}, With(kAbc123, 1, 0x04), false,
       "%ABC?"},
      {"track 1 off, CR after track 2",
       {{L"Track1_Enabled", L""}, {L"Track2_CR_Enabled", L"true"}}, kAbc123, false, ";123?\r"},
      {"numeric", {}, {0x00, 0x00, 0x00, 0x00, 0x02, 0x01, 0x02, 0x02, 0x03, 0x04}, true, "%12?%34?"},
      {"track 3 taken unchanged", {}, IsoArea("ABC", "123", "789"), false, "%ABC?;123?+789?"},
      {"track 3 error flag", {}, IsoArea("ABC", "123", "789", 0x10), false, "%ABC?;123?E"},
      {"track 1 error flag wins over its data", {}, IsoArea("ABC", "123", "", 0x01), false, "E;123?"},
      {"error track of a disabled slot", {{L"Track2_Enabled", L""}}, With(kAbc123, 1, 0x04), false,
       "%ABC?"},
      {"own sentinels and CR per track",
       {{L"Track1_Start_Sentinel", L"<"}, {L"Track2_Start_Sentinel", L"["}, {L"Track3_Start_Sentinel", L"{"},
        {L"End_Sentinel", L"!"}, {L"Track1_CR_Enabled", L"true"}, {L"Track3_CR_Enabled", L"true"}},
       IsoArea("A", "1", "x"), false, "<A!\r[1!{x!\r"},
      {"numeric error in first block", {}, {0x00, 0x01, 0x00, 0x00, 0x02, 0x01, 0x02, 0x02, 0x03, 0x04},
       true, "E%34?"},
      {"numeric second block uses track 1 sentinel",
       {{L"Track1_Start_Sentinel", L"#"}, {L"Track2_Start_Sentinel", L"@"}, {L"CR_Enabled", L"true"}},
       {0x00, 0x00, 0x00, 0x00, 0x01, 0x05, 0x01, 0x06}, true, "#5?\r#6?\r"},
      {"numeric track 2 disabled", {{L"Track2_Enabled", L"no"}},
       {0x00, 0x00, 0x00, 0x00, 0x01, 0x05, 0x01, 0x06}, true, "%5?"},
      {"all tracks disabled",
       {{L"Track1_Enabled", L""}, {L"Track2_Enabled", L""}, {L"Track3_Enabled", L""}},
       IsoArea("ABC", "123", "789"), false, ""},
      {"empty tracks give nothing", {}, IsoArea("", "", ""), false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    ASSERT_TRUE(h.Configure(c.keys));
    EXPECT_EQ(h.Format(c.area, c.numeric), c.expected);
  }
}

struct SettingCase {
  const char* name;
  Keys keys;
  std::function<int(const MsrSettings&)> field;
  int expected;
};

int T1(const MsrSettings& s) { return s.track1Enabled; }

TEST(MsrFormatTest, ReadsEachSetting) {
  const std::vector<SettingCase> cases = {
      {"True turns a flag on", {{L"Track1_Enabled", L""}, {L"Track1_Enabled", L"True"}}, T1, 1},
      {"TRUE turns a flag on", {{L"Track1_Enabled", L""}, {L"Track1_Enabled", L"TRUE"}}, T1, 1},
      {"tRuE turns a flag on", {{L"Track1_Enabled", L""}, {L"Track1_Enabled", L"tRuE"}}, T1, 1},
      {"1 is off", {{L"Track1_Enabled", L"1"}}, T1, 0},
      {"yes is off", {{L"Track1_Enabled", L"yes"}}, T1, 0},
      {"false is off", {{L"Track1_Enabled", L"false"}}, T1, 0},
      {"empty is off", {{L"Track1_Enabled", L""}}, T1, 0},
      {"padded true is off", {{L"Track1_Enabled", L" true"}}, T1, 0},
      {"key names are case-sensitive", {{L"track1_enabled", L""}}, T1, 1},
      {"missing key keeps the default", {}, T1, 1},
      {"Raw_Data_Mode", {{L"Raw_Data_Mode", L"true"}}, [](const MsrSettings& s) { return s.rawDataMode; }, 1},
      {"CR_Enabled", {{L"CR_Enabled", L"TRUE"}}, [](const MsrSettings& s) { return s.crEnabled; }, 1},
      {"Track2_Enabled", {{L"Track2_Enabled", L"x"}}, [](const MsrSettings& s) { return s.track2Enabled; }, 0},
      {"Track3_Enabled", {{L"Track3_Enabled", L"x"}}, [](const MsrSettings& s) { return s.track3Enabled; }, 0},
      {"Strip_Sentinels", {{L"Strip_Sentinels", L"True"}},
       [](const MsrSettings& s) { return s.stripSentinels; }, 1},
      {"Hide_Error_Tracks", {{L"Hide_Error_Tracks", L"True"}},
       [](const MsrSettings& s) { return s.hideErrorTracks; }, 1},
      {"Track1_CR_Enabled", {{L"Track1_CR_Enabled", L"true"}},
       [](const MsrSettings& s) { return s.track1CrEnabled; }, 1},
      {"Track2_CR_Enabled", {{L"Track2_CR_Enabled", L"true"}},
       [](const MsrSettings& s) { return s.track2CrEnabled; }, 1},
      {"Track3_CR_Enabled", {{L"Track3_CR_Enabled", L"true"}},
       [](const MsrSettings& s) { return s.track3CrEnabled; }, 1},
      {"end sentinel of one character", {{L"End_Sentinel", L"#"}},
       [](const MsrSettings& s) { return s.endSentinel; }, '#'},
      {"empty end sentinel keeps the previous", {{L"End_Sentinel", L"#"}, {L"End_Sentinel", L""}},
       [](const MsrSettings& s) { return s.endSentinel; }, '#'},
      {"two-character end sentinel keeps the previous", {{L"End_Sentinel", L"#"}, {L"End_Sentinel", L"ab"}},
       [](const MsrSettings& s) { return s.endSentinel; }, '#'},
      {"empty start sentinel keeps the default", {{L"Track1_Start_Sentinel", L""}},
       [](const MsrSettings& s) { return s.track1StartSentinel; }, '%'},
      {"two-character start sentinel keeps the default", {{L"Track2_Start_Sentinel", L"::"}},
       [](const MsrSettings& s) { return s.track2StartSentinel; }, ';'},
      {"track 3 start sentinel", {{L"Track3_Start_Sentinel", L"!"}},
       [](const MsrSettings& s) { return s.track3StartSentinel; }, '!'},
      {"wide sentinel narrowed to its low byte", {{L"End_Sentinel", std::wstring(1, wchar_t(0x141))}},
       [](const MsrSettings& s) { return static_cast<BYTE>(s.endSentinel); }, 0x41},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    ASSERT_TRUE(h.Configure(c.keys));
    EXPECT_EQ(c.field(h.format.Settings()), c.expected);
  }
}

struct WrapperCase {
  const char* name;
  Keys keys;
  std::string head;
  std::string tail;
};

TEST(MsrFormatTest, KeepsWrappersWithinFourteenCharacters) {
  const std::vector<WrapperCase> cases = {
      {"8 and 7 are both emptied", {{L"Head_Wrapper", L"12345678"}, {L"Tail_Wrapper", L"abcdefg"}}, "", ""},
      {"7 and 7 are kept", {{L"Head_Wrapper", L"1234567"}, {L"Tail_Wrapper", L"abcdefg"}}, "1234567",
       "abcdefg"},
      {"14 alone is kept", {{L"Head_Wrapper", L"12345678901234"}}, "12345678901234", ""},
      {"15 leaves the previous", {{L"Head_Wrapper", L"<<"}, {L"Head_Wrapper", L"123456789012345"}}, "<<", ""},
      {"14 and 1 are both emptied", {{L"Head_Wrapper", L"12345678901234"}, {L"Tail_Wrapper", L">"}}, "", ""},
      {"an empty value clears", {{L"Tail_Wrapper", L">>"}, {L"Tail_Wrapper", L""}}, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    ASSERT_TRUE(h.Configure(c.keys));
    EXPECT_EQ(std::string(h.format.Settings().headWrapper), c.head);
    EXPECT_EQ(std::string(h.format.Settings().tailWrapper), c.tail);
    // What is kept is what the output carries around every track.
    EXPECT_EQ(h.Format(kAbc123), c.head + "%ABC?" + c.tail + c.head + ";123?" + c.tail);
  }
}

TEST(MsrFormatTest, ReportsTheOutcomeOfReadingTheDocument) {
  struct Case {
    ConfigRead read;
    bool result;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {ConfigRead::NotLoaded, false, {"MsrFormat::GetConfiguration - Could not load ZolConfig.xml"}},
      {ConfigRead::NoSection, false, {"MsrFormat::GetConfiguration - Could not read ZolConfig.xml"}},
      {ConfigRead::Found,
       true,
       {"MsrFormat::GetConfiguration - RawDataMode=0, CREnabled=1, Track1Enabled=1, Track2Enabled=0, "
        "Track3Enabled=1, StripSentinels=0, HideErrorTracks=1",
        "MsrFormat::GetConfiguration - Track1StartSentinel=%, Track2StartSentinel=;, "
        "Track3StartSentinel=+, EndSentinel=!",
        "MsrFormat::GetConfiguration - HeadWrapper=<<, TailWrapper=>, Track1CREnabled=0, "
        "Track2CREnabled=1, Track3CREnabled=0"}},
  };
  const Keys keys = {{L"CR_Enabled", L"true"},      {L"Track2_Enabled", L""},
                     {L"Hide_Error_Tracks", L"True"}, {L"End_Sentinel", L"!"},
                     {L"", L"a comment"},            {L"Head_Wrapper", L"<<"},
                     {L"Tail_Wrapper", L">"},         {L"Track2_CR_Enabled", L"TRUE"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines.front());
    Harness h;
    EXPECT_EQ(h.Configure(keys, c.read), c.result);
    ASSERT_EQ(h.Lines().size(), c.lines.size());
    for (std::size_t i = 0; i < c.lines.size(); ++i) {
      EXPECT_EQ(h.Lines()[i].text, c.lines[i]);
      EXPECT_EQ(h.Lines()[i].level, c.result ? LEVEL_INFO : LEVEL_ERROR);
    }
    // A failed read changes nothing.
    EXPECT_EQ(h.format.Settings().crEnabled, c.result ? 1 : 0);
    EXPECT_EQ(h.format.Settings().endSentinel, c.result ? '!' : '?');
  }
}

TEST(MsrFormatTest, StaysWithinTheAreaAndTheOutput) {
  const Keys wrapped = {{L"Head_Wrapper", L"<<<<<<<"}, {L"Tail_Wrapper", L">>>>>>>"}, {L"CR_Enabled", L"true"}};
  const std::string t1 = Repeat('A', 139);
  const std::string t2 = Repeat('1', 139);
  const std::string w1 = "<<<<<<<%" + t1 + "?>>>>>>>\r";
  const std::string w2 = "<<<<<<<;" + t2 + "?>>>>>>>\r";
  // Track 3's length byte sits at offset 284: 5 data bytes end the area exactly.
  Bytes crossing = IsoArea(t1, t2, "123456");
  crossing.resize(MSR_CARD_DATA_SIZE);
  const std::vector<OutputCase> cases = {
      {"length 140 on track 1 is an error; track 2 follows the length byte", {},
       {0, 0, 0, 0, 140, 0x03, 0x01, 0x02, 0x03, 0x00}, false, "E;123?"},
      {"length 140 hidden", {{L"Hide_Error_Tracks", L"true"}}, {0, 0, 0, 0, 140, 0x03, 0x01, 0x02, 0x03, 0x00},
       false, ";123?"},
      {"length 255 on the numeric first block", {}, {0, 0, 0, 0, 255, 0x02, 0x01, 0x02}, true, "E%12?"},
      {"three blocks filling the area exactly fill the output exactly", wrapped, IsoArea(t1, t2, "12345"), false,
       w1 + w2 + "<<<<<<<+12345?>>>>>>>\r"},
      {"a block crossing the end of the area is an error track", wrapped, crossing, false, w1 + w2 + "E"},
      {"a crossing block hidden", {{L"Hide_Error_Tracks", L"true"}}, crossing, false,
       "%" + t1 + "?;" + t2 + "?"},
      {"every length byte at its maximum", {}, Bytes{0, 0, 0, 0, 255, 255, 255}, false, "EEE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    ASSERT_TRUE(h.Configure(c.keys));
    EXPECT_EQ(h.Format(c.area, c.numeric), c.expected);
  }
  ASSERT_EQ((w1 + w2 + "<<<<<<<+12345?>>>>>>>\r").size(), MSR_OUTPUT_SIZE);
}

struct MaskCase {
  const char* name;
  std::string track;
  std::string logged;
};

TEST(MsrFormatTest, MasksTrack1InTheLog) {
  const std::vector<MaskCase> cases = {
      {"16-digit account", "B4539148803436467^DOE/JOHN Q^2512101000000000000",
       "B" + Stars(12) + "6467^DOE/JOHN Q^2512101" + Stars(12)},
      {"account starting with 59", "B5900123456781234^SMITH/ANN^2712101987654",
       "B" + Stars(12) + "1234^SMITH/ANN^2712101" + Stars(6)},
      {"account starting with 59, short name", "B5900123456781234^AB^2712101987654",
       "B" + Stars(12) + "1234^AB^271" + Stars(10)},
      {"empty name field", "B4539148803436467^^2512101000000000000", "B" + Stars(12) + "6467^^251" + Stars(16)},
      {"no separator at all", "B4539148803436467DOE/JOHN2512101", Stars(32)},
      {"first separator beyond reach", "B45391488034364671234^DOE/JOHN^2512", Stars(35)},
      {"short account", "B1234^X^99", "B1234^X^99"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.Format(IsoArea(c.track, "", ""));
    EXPECT_EQ(h.LineAfter("MsrFormat::formatISOFeatureReport - Track 1: "), c.logged);
  }
}

TEST(MsrFormatTest, MasksTrack2InTheLog) {
  const std::vector<MaskCase> cases = {
      {"16-digit account", "4539148803436467=25121010000000000000", Stars(12) + "6467=2512101" + Stars(13)},
      {"account starting with 59", "5900123456781234=2712101987654321", Stars(12) + "1234=2712101987" + Stars(6)},
      {"no separator", "45391488034364672512101", Stars(23)},
      {"separator beyond reach", "45391488034364671234567=2512", Stars(28)},
      {"short tail stays", "4539148803436467=2512", Stars(12) + "6467=2512"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.Format(IsoArea("", c.track, ""));
    EXPECT_EQ(h.LineAfter("MsrFormat::formatISOFeatureReport - Track 2: "), c.logged);
  }
}

TEST(MsrFormatTest, NeverLogsTrack3OrWholeTracksInTheFinalLine) {
  struct Case {
    const char* name;
    Keys keys;
    std::string expected;
  };
  const std::string t1 = "B4539148803436467^DOE/JOHN^2512101";
  const std::string t2 = "4539148803436467=2512101";
  const std::string t3 = "011234567890123445=724724100000000000030300";
  const std::vector<Case> cases = {
      {"defaults", {}, "%" + Stars(t1.size()) + "?;" + Stars(t2.size()) + "?+" + Stars(t3.size()) + "?"},
      {"wrappers equal to track text",
       {{L"Head_Wrapper", L"4539"}, {L"Tail_Wrapper", L"B45"}, {L"Strip_Sentinels", L"true"}},
       "4539" + Stars(t1.size()) + "B454539" + Stars(t2.size()) + "B454539" + Stars(t3.size()) + "B45"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    ASSERT_TRUE(h.Configure(c.keys));
    h.Format(IsoArea(t1, t2, t3));
    EXPECT_EQ(h.LineAfter("MsrFormat::formatISOFeatureReport - Track 3: "), Stars(t3.size()));
    EXPECT_EQ(h.LineAfter("MsrFormat::formatISOFeatureReport - Final Track: "), c.expected);
    for (const auto& l : h.Lines()) {
      EXPECT_EQ(l.level, l.text.find("formatISO") != std::string::npos ? LEVEL_VERBOSE : LEVEL_INFO);
      EXPECT_EQ(l.text.find("453914"), std::string::npos) << l.text;
      EXPECT_EQ(l.text.find("1234567890"), std::string::npos) << l.text;
    }
  }
}

TEST(MsrFormatTest, NumericLayoutLogsNothing) {
  Harness h;
  EXPECT_EQ(h.Format({0, 0, 0, 0, 0x02, 0x01, 0x02, 0x02, 0x03, 0x04}, true), "%12?%34?");
  EXPECT_TRUE(h.Lines().empty());
}

TEST(MsrFormatTest, LeavesNothingOfOneSwipeForTheNext) {
  Harness h;
  EXPECT_EQ(h.Format(IsoArea("LONGNAME", "12345678", "999"), false), "%LONGNAME?;12345678?+999?");
  EXPECT_EQ(h.Format(IsoArea("AB", "1", ""), false), "%AB?;1?");
  EXPECT_EQ(h.Format({0, 0, 0, 0, 0x01, 0x07}, true), "%7?");
  EXPECT_EQ(h.Format(IsoArea("", "", "", 0x15), false), "EEE");
  EXPECT_EQ(h.Format(IsoArea("X", "", ""), false), "%X?");
}

}  // namespace
