// The display emulation on its own, through what its operations return:
// image, cursor, user characters, modes, scrolling message state and the
// exact reports, pauses and scroll starts and stops it asks for.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "plugins/ld/LdDisplay.h"
#include "plugins/ld/LdReports.h"
#include "tests/ld/LdTestSupport.h"

namespace {

using ldtest::Bytes;
using ldtest::LineReport;
using ldtest::Of;

const BYTE kTop = 0x81;
const BYTE kBottom = 0x82;

// A display and everything its operations returned so far.
struct Emu {
  struct Returned {
    std::vector<Bytes> reports;
    std::vector<DWORD> pauses;
    int stops = 0;
    int starts = 0;
    std::vector<const char*> failureLogs;
  } host;
  LdDisplay d;
  void Take(const LdActions& actions) {
    for (const LdAction& a : actions) {
      switch (a.type) {
        case LdAction::Type::Send:
          host.reports.emplace_back(a.bytes.begin(), a.bytes.begin() + a.length);
          if (a.failureLog != nullptr) host.failureLogs.push_back(a.failureLog);
          break;
        case LdAction::Type::Pause: host.pauses.push_back(a.pauseMs); break;
        case LdAction::Type::StopScroll: ++host.stops; break;
        case LdAction::Type::StartScroll: ++host.starts; break;
      }
    }
  }
  void Feed(const Bytes& bytes) { Take(d.ApplyHandOver(bytes.data(), bytes.size())); }
  void Step() { Take(d.ScrollStep()); }
  std::string Top() const { return std::string(d.m_DisplayImage, d.m_DisplayImage + 20); }
  std::string Bottom() const { return std::string(d.m_DisplayImage + 20, d.m_DisplayImage + 40); }
  // The last report sent with this command byte (empty if none).
  Bytes Last(BYTE command) const {
    for (auto it = host.reports.rbegin(); it != host.reports.rend(); ++it) {
      if (it->size() > 1 && (*it)[1] == command) return *it;
    }
    return {};
  }
};

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::string Blanks(std::size_t n, char c = ' ') { return std::string(n, c); }

Bytes RamReport(BYTE location, const Bytes& rows) { return Cat({{0x00, 0x40, location}, rows}); }

const Bytes kSolidRows = {0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x00};
const Bytes kZeroRows(8, 0x00);

TEST(LdLineReports, TwentyBlanksGiveTheDocumentedChecksums) {
  Emu e;
  e.Take(e.d.DeviceArrived());
  Bytes top = {0x00, 0x81, 0x28};
  Bytes bottom = {0x00, 0x82, 0x28};
  top.insert(top.end(), 20, 0x20);
  bottom.insert(bottom.end(), 20, 0x20);
  top.push_back(0x29);
  bottom.push_back(0x2A);
  ASSERT_EQ(e.host.reports.size(), 5u);
  EXPECT_EQ(e.host.reports[3], top);
  EXPECT_EQ(e.host.reports[4], bottom);
}

TEST(LdLineReports, ChecksumKeepsLowEightBits) {
  Emu e;
  std::memset(e.d.m_DisplayImage, 0xFF, 20);
  e.Take(e.d.DeviceArrived());
  ASSERT_EQ(e.host.reports.size(), 5u);
  EXPECT_EQ(e.host.reports[3].size(), 24u);
  EXPECT_EQ(e.host.reports[3][23], 0x95);  // 0x81 + 0x28 + 20 * 0xFF = 0x1495
}

TEST(LdReportsBytes, ArrivalAndResetBuildTheirBytes) {
  Emu e;
  e.Take(e.d.DeviceArrived());
  e.Take(e.d.ResetDisplay(true));
  Bytes top = {0x00, 0x81, 0x28};
  top.insert(top.end(), 20, 0x20);
  top.push_back(0x29);
  Bytes bottom = {0x00, 0x82, 0x28};
  bottom.insert(bottom.end(), 20, 0x20);
  bottom.push_back(0x2A);
  const std::vector<Bytes> expected = {{0x00, 0x00, 0x20},
                                       {0x00, 0x42},
                                       {0x00, 0x00, 0x00, 0x01},
                                       top,
                                       bottom,
                                       {0x00, 0x01, 0x00},
                                       {0x00, 0x02, 0x00},
                                       {0x00, 0x41, 0x1F}};
  EXPECT_EQ(e.host.reports, expected);
}

TEST(LdReportsBytes, WriteRamCarriesItsLocationAndRows) {
  Emu e;
  e.Feed(Cat({{0x00, 0x01, 0x03, 0x1A}, Bytes(8, 0xF8)}));
  EXPECT_EQ(e.Last(0x40), (Bytes{0x00, 0x40, 0x05, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x00}));
}

TEST(LdHandOver, AbcAtCursorZeroSendsOnlyTheTopLine) {
  Emu e;
  e.Feed(Of("ABC"));
  ASSERT_EQ(e.host.reports.size(), 1u);
  EXPECT_EQ(e.host.reports[0], LineReport(kTop, "ABC"));
  EXPECT_EQ(e.d.m_Cursor, 3);
}

TEST(LdHandOver, UnchangedLinesAreNotSent) {
  Emu e;
  e.Feed({0x13, 0x14, 0x04, 0x07, 0x09});  // no visible change
  EXPECT_TRUE(e.host.reports.empty());
  e.Feed(Cat({{0x10, 20}, Of("XY")}));
  ASSERT_EQ(e.host.reports.size(), 1u);
  EXPECT_EQ(e.host.reports[0], LineReport(kBottom, "XY"));
  e.Feed({});
  EXPECT_EQ(e.host.reports.size(), 1u);
}

struct WrapCase {
  const char* name;
  bool verticalScroll;
  int count;
  int cursor;
  const char* screen;           // both lines
  std::vector<BYTE> linesSent;  // commands of the line reports, in order
};

class LdWrap : public ::testing::TestWithParam<WrapCase> {};

TEST_P(LdWrap, CharactersPastTheEndWrapOrScroll) {
  const WrapCase& c = GetParam();
  Emu e;
  if (!c.verticalScroll) e.Feed({0x11});
  std::string text;
  for (int i = 0; i < c.count; ++i) text.push_back(static_cast<char>('A' + i % 26));
  e.Feed(Of(text));
  EXPECT_EQ(e.d.m_Cursor, c.cursor);
  EXPECT_EQ(e.Top() + e.Bottom(), c.screen);
  std::vector<BYTE> sent;
  for (const Bytes& r : e.host.reports) sent.push_back(r[1]);
  EXPECT_EQ(sent, c.linesSent);
}

INSTANTIATE_TEST_SUITE_P(Modes, LdWrap,
                         ::testing::Values(
                             WrapCase{"Normal40", false, 40, 0, "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMN",
                                      {kTop, kBottom}},
                             WrapCase{"Normal41", false, 41, 1, "OBCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMN",
                                      {kTop, kBottom}},
                             WrapCase{"Vertical40", true, 40, 20, "UVWXYZABCDEFGHIJKLMN                    ", {kTop}},
                             WrapCase{"Vertical41", true, 41, 21, "UVWXYZABCDEFGHIJKLMNO                   ",
                                      {kTop, kBottom}},
                             WrapCase{"Vertical61", true, 61, 21, "OPQRSTUVWXYZABCDEFGHI                   ",
                                      {kTop, kBottom}}),
                         [](const auto& tc) { return std::string(tc.param.name); });

TEST(LdCursor, BackspaceAtZeroBlanksPosition39) {
  Emu e;
  e.Feed(Cat({{0x11, 0x10, 39}, Of("X")}));
  ASSERT_EQ(e.d.m_Cursor, 0);
  ASSERT_EQ(e.d.m_DisplayImage[39], 'X');
  e.host.reports.clear();
  e.Feed({0x08});
  EXPECT_EQ(e.d.m_Cursor, 39);
  EXPECT_EQ(e.d.m_DisplayImage[39], ' ');
  ASSERT_EQ(e.host.reports.size(), 1u);
  EXPECT_EQ(e.host.reports[0], LineReport(kBottom, ""));
}

TEST(LdCursor, Position40IsRefusedAnd39Taken) {
  ldtest::LogCapture log;
  Emu e;
  e.Feed({0x10, 5, 0x10, 40});
  EXPECT_EQ(e.d.m_Cursor, 5);
  EXPECT_TRUE(log.Has(3, "HidLdManager::ProcessReceiveBuffer - Command Byte = 40; Invalid display position command"));
  e.Feed({0x10, 39});
  EXPECT_EQ(e.d.m_Cursor, 39);
}

struct MoveCase {
  const char* name;
  bool verticalScroll;
  BYTE start;
  BYTE command;
  BYTE cursor;
  bool stops;
  bool scrolledUp;
};

class LdCursorMoves : public ::testing::TestWithParam<MoveCase> {};

TEST_P(LdCursorMoves, MoveStopAndScrollAsTheCommandSays) {
  const MoveCase& c = GetParam();
  Emu e;
  // Filled in normal display, so the fortieth character wraps instead of scrolling.
  e.Feed(Cat({{0x11}, Of(Blanks(20, 'T') + Blanks(20, 'B'))}));
  if (c.verticalScroll) e.Feed({0x12});
  e.Feed({0x10, c.start});
  e.host.stops = 0;
  e.Feed({c.command});
  EXPECT_EQ(e.d.m_Cursor, c.cursor);
  EXPECT_EQ(e.host.stops > 0, c.stops);
  std::string screen = c.scrolledUp ? Blanks(20, 'B') + Blanks(20) : Blanks(20, 'T') + Blanks(20, 'B');
  if (c.command == 0x08) screen[c.cursor] = ' ';
  EXPECT_EQ(e.Top() + e.Bottom(), screen);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, LdCursorMoves,
    ::testing::Values(MoveCase{"CrTop", true, 5, 0x0D, 0, true, false},
                      MoveCase{"CrBottom", true, 25, 0x0D, 20, false, false},
                      MoveCase{"LfTop", true, 5, 0x0A, 25, true, false},
                      MoveCase{"LfBottomScrolls", true, 25, 0x0A, 25, true, true},
                      MoveCase{"LfBottomNormalGoesUp", false, 25, 0x0A, 5, false, false},
                      MoveCase{"RightTop", true, 5, 0x09, 6, true, false},
                      MoveCase{"Right19", true, 19, 0x09, 20, true, false},
                      MoveCase{"Right39Scrolls", true, 39, 0x09, 20, true, true},
                      MoveCase{"Right39NormalWraps", false, 39, 0x09, 0, false, false},
                      MoveCase{"RightBottom", true, 30, 0x09, 31, false, false},
                      MoveCase{"BackspaceTop", true, 5, 0x08, 4, true, false},
                      MoveCase{"Backspace20", true, 20, 0x08, 19, false, false},
                      MoveCase{"BackspaceBottom", true, 25, 0x08, 24, false, false}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(LdLcmUserCharacter, DefinedFor41ShowsRamLocation7WhereverAStands) {
  Emu e;
  e.Feed(Of("A"));
  e.host.reports.clear();
  e.Feed(Cat({{0x03, 0x41, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, Of("BA")}));
  EXPECT_EQ(e.d.m_Parser.m_UserCharacter, 0x41);
  EXPECT_EQ(e.d.m_LcmUserCharacter, 0x41);
  EXPECT_EQ(e.Top(), std::string("\x07" "B\x07") + Blanks(17));
  ASSERT_EQ(e.host.reports.size(), 3u);
  EXPECT_EQ(e.host.reports[0], RamReport(7, kSolidRows));
  EXPECT_EQ(e.host.reports[1], LineReport(kTop, std::string("\x07" "B\x07")));
  EXPECT_EQ(e.host.reports[2], LineReport(kBottom, ""));  // user characters changed
  EXPECT_EQ(e.d.m_Parser.m_Count, 0);
}

TEST(LdLcmUserCharacter, DefinedForSpaceTakesBlanksAndIsGivenBack) {
  Emu e;
  e.Feed(Of("A"));
  e.Feed({0x03, 0x20, 0x01, 0x00, 0x00, 0x00, 0x00});
  EXPECT_EQ(e.d.m_BlankCharacter, 0x07);
  EXPECT_EQ(e.Top(), "A" + Blanks(19, '\x07'));
  EXPECT_EQ(e.Bottom(), Blanks(20, '\x07'));
  EXPECT_EQ(e.Last(0x40), RamReport(7, {0x10, 0, 0, 0, 0, 0, 0, 0}));
  // A cleared position takes the blank character, which is the user character.
  e.Feed(Cat({Of("C"), {0x08}}));
  EXPECT_EQ(e.d.m_Cursor, 1);
  EXPECT_EQ(e.d.m_DisplayImage[1], 0x07);
  // Replacing it gives the blanks back and takes the new code.
  e.Feed(Cat({{0x03, 0x42, 0x02, 0, 0, 0, 0}, Of("B")}));
  EXPECT_EQ(e.d.m_BlankCharacter, 0x20);
  EXPECT_EQ(e.d.m_LcmUserCharacter, 0x42);
  EXPECT_EQ(e.Top(), "A\x07" + Blanks(18));
  EXPECT_EQ(e.Bottom(), Blanks(20));
}

TEST(LdLcmUserCharacter, InvalidCodeIsRefusedAndCollectionCleared) {
  ldtest::LogCapture log;
  Emu e;
  e.Feed({0x03, 0x80, 1, 2, 3, 4, 5});
  EXPECT_EQ(log.Count("HidLdManager::ProcessReceiveBuffer - LCM Invalid user character definition command"), 1);
  EXPECT_EQ(e.d.m_LcmUserCharacter, 0);
  EXPECT_EQ(e.d.m_Parser.m_Count, 0);
  EXPECT_TRUE(e.host.reports.empty());
}

struct OrvidDefinitionCase {
  const char* name;
  BYTE code;
  int location;  // -1: refused
  const char* log;
};

class LdOrvidUserCharacter : public ::testing::TestWithParam<OrvidDefinitionCase> {};

TEST_P(LdOrvidUserCharacter, DefinitionWritesItsLocationOrIsRefused) {
  const OrvidDefinitionCase& c = GetParam();
  ldtest::LogCapture log;
  Emu e;
  e.Feed({0x00, 0x01});
  e.host.reports.clear();
  e.Feed(Cat({{0x03, c.code}, Bytes(8, 0xF8)}));
  if (c.location < 0) {
    EXPECT_TRUE(e.host.reports.empty());
    EXPECT_EQ(log.Count(c.log), 1);
    return;
  }
  ASSERT_FALSE(e.host.reports.empty());
  EXPECT_EQ(e.host.reports[0], RamReport(static_cast<BYTE>(c.location), kSolidRows));
  EXPECT_EQ(Bytes(e.d.m_OrvidPatterns[c.location], e.d.m_OrvidPatterns[c.location] + 8), kSolidRows);
  e.Feed({c.code});
  EXPECT_EQ(e.d.m_DisplayImage[0], c.location);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, LdOrvidUserCharacter,
    ::testing::Values(
        OrvidDefinitionCase{"First", 0x15, 0, ""}, OrvidDefinitionCase{"Sixth", 0x1A, 5, ""},
        OrvidDefinitionCase{"SkipsEscape", 0x1C, 6, ""}, OrvidDefinitionCase{"Last", 0x1D, 7, ""},
        OrvidDefinitionCase{"Unsupported1E", 0x1E, -1,
                            "HidLdManager::ProcessReceiveBuffer - ZOL does not support Orvid Mode 0x1E user character "
                            "definition"},
        OrvidDefinitionCase{"Letter", 0x41, -1,
                            "HidLdManager::ProcessReceiveBuffer - Command Byte = 65; Orvid Mode invalid user character "
                            "definition command"}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(LdModes, SwitchesRestorePositionsAndWriteAllOrvidPatterns) {
  Emu e;
  e.Feed(Cat({{0x03, 0x41, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, Of("AB")}));
  ASSERT_EQ(e.Top(), "\x07" "B" + Blanks(18));
  e.host.reports.clear();

  e.Feed({0x00, 0x01});  // to Orvid Mode
  EXPECT_FALSE(e.d.m_Parser.m_LogicControlMode);
  EXPECT_EQ(e.Top(), "AB" + Blanks(18));
  ASSERT_EQ(e.host.reports.size(), 10u);
  for (BYTE loc = 0; loc < 8; ++loc) EXPECT_EQ(e.host.reports[loc], RamReport(loc, kZeroRows));
  EXPECT_EQ(e.host.reports[8], LineReport(kTop, "AB"));
  EXPECT_EQ(e.host.reports[9], LineReport(kBottom, ""));

  e.Feed(Cat({{0x03, 0x16}, Bytes(8, 0xF8), {0x16}}));
  ASSERT_EQ(e.Top(), std::string("AB\x01") + Blanks(17));
  e.host.reports.clear();

  e.Feed({0x00, 0x00});  // back to LCM: Orvid characters blank, A is the user character again
  EXPECT_TRUE(e.d.m_Parser.m_LogicControlMode);
  EXPECT_EQ(e.Top(), "\x07" "B" + Blanks(18));
  const std::vector<Bytes> expected = {RamReport(7, kSolidRows), {0x00, 0x41, 0x1F},
                                       LineReport(kTop, "\x07" "B"), LineReport(kBottom, "")};
  EXPECT_EQ(e.host.reports, expected);

  e.host.reports.clear();
  e.Feed({0x00, 0x01});  // the kept Orvid pattern goes out again
  ASSERT_GE(e.host.reports.size(), 8u);
  EXPECT_EQ(e.host.reports[1], RamReport(1, kSolidRows));
}

TEST(LdModes, ReselectingTheActiveSetKeepsUserCharacters) {
  Emu e;
  e.Feed(Cat({{0x03, 0x41, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, Of("A")}));
  e.Feed({0x00, 0x00});
  EXPECT_EQ(e.d.m_DisplayImage[0], 0x07);
  e.Feed(Cat({{0x00, 0x01, 0x03, 0x1D}, Bytes(8, 0xF8), {0x1D}}));
  ASSERT_EQ(e.d.m_DisplayImage[1], 0x07);  // Orvid 0x1D lives in location 7
  e.Feed({0x00, 0x01});
  EXPECT_EQ(e.d.m_DisplayImage[1], 0x07);
  EXPECT_EQ(e.Top(), std::string("A\x07") + Blanks(18));
}

TEST(LdModes, InvalidEmulationModeOnlyLogs) {
  ldtest::LogCapture log;
  Emu e;
  e.Feed({0x00, 0x02});
  EXPECT_TRUE(e.d.m_Parser.m_LogicControlMode);
  EXPECT_TRUE(e.host.reports.empty());
  EXPECT_EQ(log.Count("HidLdManager::ProcessReceiveBuffer - Command Byte = 2; Invalid emulation mode command"), 1);
}

struct CharSetCase {
  const char* name;
  BYTE argument;
  bool failureLog;  // log is the failed send's, logged by the manager
  int sentSet;  // -1: nothing sent
  const char* log;
};

class LdCharacterSet : public ::testing::TestWithParam<CharSetCase> {};

TEST_P(LdCharacterSet, SelectSendsTheSetAndBothLines) {
  const CharSetCase& c = GetParam();
  ldtest::LogCapture log;
  Emu e;
  e.Feed({0x00, 0x01});
  e.host.reports.clear();
  e.Feed({0x02, c.argument});
  if (c.sentSet < 0) {
    EXPECT_TRUE(e.host.reports.empty());
  } else {
    const std::vector<Bytes> expected = {{0x00, 0x41, static_cast<BYTE>(c.sentSet)}, LineReport(kTop, ""),
                                         LineReport(kBottom, "")};
    EXPECT_EQ(e.host.reports, expected);
  }
  if (c.failureLog) {
    ASSERT_EQ(e.host.failureLogs.size(), 1u);
    EXPECT_STREQ(e.host.failureLogs[0], c.log);
    // Later operations reuse the actions' room: their first report, here a
    // bottom-line write, carries no failure log on.
    e.Feed({0x10, 20});
    e.Feed(Of("A"));
    EXPECT_EQ(e.host.failureLogs.size(), 1u);
  } else if (c.log[0] != '\0') {
    EXPECT_EQ(log.Count(c.log), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, LdCharacterSet,
    ::testing::Values(CharSetCase{"ZeroIsDefault", 0, false, 0x1F, ""}, CharSetCase{"One", 1, false, 1, ""},
                      CharSetCase{"Eleven", 11, false, 11, ""},
                      CharSetCase{"TwelveRefused", 12, false, -1,
                                  "HidLdManager::ProcessReceiveBuffer - Command Byte = 12; Invalid character set select "
                                  "command"},
                      CharSetCase{"SendFailureLogged", 3, true, 3,
                                  "HidLdManager::ProcessReceiveBuffer - SelectCharacterSet failed"}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(LdSelfTest, SendsTheDocumentedSequenceThenResets) {
  Emu e;
  e.Feed(Of("HI"));
  e.host.reports.clear();
  e.Feed({0x0F});
  std::vector<Bytes> expected;
  std::string screen(40, ' ');
  for (int i = 0; i < 40; ++i) {
    screen[i] = static_cast<char>(0x20 + i);
    expected.push_back(LineReport(kTop, screen.substr(0, 20)));
    expected.push_back(LineReport(kBottom, screen.substr(20)));
  }
  expected.push_back(RamReport(7, Bytes(8, 0xFF)));
  expected.push_back(LineReport(kTop, Blanks(20, '\x07')));
  expected.push_back(LineReport(kBottom, Blanks(20, '\x07')));
  expected.push_back({0x00, 0x01, 0x00});
  expected.push_back({0x00, 0x02, 0x00});
  expected.push_back({0x00, 0x41, 0x1F});
  expected.push_back(LineReport(kTop, ""));  // "HI" is gone from the top line
  EXPECT_EQ(e.host.reports, expected);
  std::vector<DWORD> pauses(40, 100);
  pauses.push_back(2000);
  EXPECT_EQ(e.host.pauses, pauses);
  EXPECT_EQ(e.Top() + e.Bottom(), Blanks(40));
}

TEST(LdReset, ClearsStateKeepsOrvidPatternsAndSendsResetReports) {
  Emu e;
  e.Feed(Cat({{0x00, 0x01, 0x03, 0x15}, Bytes(8, 0xF8), {0x11, 0x10, 25}, Of("XY"), {0x15}}));
  e.Feed({0x00, 0x00, 0x03, 0x41, 1, 2, 3, 4, 5});
  ASSERT_FALSE(e.d.m_Parser.m_VerticalScroll);
  e.host.reports.clear();
  e.Feed({0x1F});
  const std::vector<Bytes> expected = {{0x00, 0x01, 0x00}, {0x00, 0x02, 0x00}, {0x00, 0x41, 0x1F},
                                       LineReport(kBottom, "")};
  EXPECT_EQ(e.host.reports, expected);
  EXPECT_EQ(e.d.m_Cursor, 0);
  EXPECT_EQ(e.Top() + e.Bottom(), Blanks(40));
  EXPECT_TRUE(e.d.m_Parser.m_LogicControlMode);
  EXPECT_TRUE(e.d.m_Parser.m_VerticalScroll);
  EXPECT_EQ(e.d.m_Parser.m_UserCharacter, 0);
  EXPECT_EQ(e.d.m_LcmUserCharacter, 0);
  EXPECT_EQ(Bytes(e.d.m_OrvidPatterns[0], e.d.m_OrvidPatterns[0] + 8), kSolidRows);
}

TEST(LdReset, WithoutSendingAbandonsPendingCommandAndSendsNothing) {
  Emu e;
  e.Feed({0x10});
  e.Take(e.d.ResetDisplay(false));
  EXPECT_TRUE(e.host.reports.empty());
  e.Feed(Of("A"));  // would have been the position argument
  EXPECT_EQ(e.Top(), "A" + Blanks(19));
}

// What the top line shows at some steps of "HELLO": it enters at position
// 19, leaves at 0, and after 25 steps the cycle starts again.
const std::vector<std::pair<int, const char*>> kHelloSteps = {
    {0, "                   H"},  {1, "                  HE"},  {4, "               HELLO"},
    {19, "HELLO               "}, {23, "O                   "}, {24, "                    "},
    {25, "                   H"}, {44, "HELLO               "}, {49, "                    "},
};

TEST(LdScrollingMessage, HelloEntersFromTheRightInCyclesOf25Steps) {
  Emu e;
  e.Feed(Of("TOP"));
  e.host.reports.clear();
  e.Feed(Cat({{0x05}, Of("HELLO"), {0x0D}}));
  EXPECT_EQ(e.d.m_Cursor, 20);
  EXPECT_TRUE(e.d.Scrolling());
  EXPECT_EQ(e.d.m_ScrollMessageLength, 5);
  ASSERT_EQ(e.host.reports.size(), 1u);
  EXPECT_EQ(e.host.reports[0], LineReport(kTop, ""));
  e.host.reports.clear();
  EXPECT_EQ(e.host.starts, 1);
  std::size_t next = 0;
  for (int step = 0; step < 50; ++step) {
    SCOPED_TRACE(step);
    e.Step();
    ASSERT_EQ(e.host.reports.size(), 1u);
    if (next < kHelloSteps.size() && kHelloSteps[next].first == step) {
      EXPECT_EQ(e.host.reports[0], LineReport(kTop, kHelloSteps[next].second));
      ++next;
    }
    e.host.reports.clear();
  }
  EXPECT_EQ(next, kHelloSteps.size());
  // Bottom-line characters do not stop it; a top-line character does.
  e.Feed(Of("low"));
  EXPECT_TRUE(e.d.Scrolling());
  e.Feed(Cat({{0x10, 0}, Of("X")}));
  EXPECT_FALSE(e.d.Scrolling());
  EXPECT_EQ(e.d.m_ScrollMessageLength, 0);
  EXPECT_EQ(std::string(e.d.m_ScrollWindow, e.d.m_ScrollWindow + 84), Blanks(84));
}

TEST(LdScrollingMessage, BackspaceFromTheBottomLineBlanksTheShownCharacter) {
  Emu e;
  e.Feed(Cat({{0x05}, Of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), {0x0D}}));
  for (int i = 0; i < 10; ++i) e.Step();
  const BYTE shown19 = e.d.m_DisplayImage[19];
  ASSERT_NE(shown19, ' ');
  e.Feed({0x08});
  EXPECT_EQ(e.d.m_Cursor, 19);
  EXPECT_TRUE(e.d.Scrolling());
  EXPECT_EQ(e.d.m_ScrollWindow[e.d.m_ScrollOffset + 18], ' ');
  e.Step();  // the next step shows the blank one position further left
  EXPECT_EQ(e.d.m_DisplayImage[18], ' ');
}

TEST(LdScrollingMessage, UserCharactersAreTranslatedInTheWindow) {
  Emu e;
  e.Feed(Cat({{0x00, 0x01, 0x05, 0x15, 0x1C, 0x1D, 'A', 0x0D}}));
  EXPECT_EQ(Bytes(e.d.m_ScrollWindow + 19, e.d.m_ScrollWindow + 23), (Bytes{0, 6, 7, 'A'}));
  e.Take(e.d.StopScroll());
  e.Feed(Cat({{0x00, 0x00, 0x03, 0x41, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x05}, Of("BAB"), {0x0D}}));
  EXPECT_EQ(Bytes(e.d.m_ScrollWindow + 19, e.d.m_ScrollWindow + 22), (Bytes{'B', 7, 'B'}));
}

TEST(LdScrollingMessage, EmptyMessageScrollsABlankLine) {
  Emu e;
  e.Feed({0x05, 0x0D});
  ASSERT_TRUE(e.d.Scrolling());
  for (int step = 0; step < 21; ++step) e.Step();
  EXPECT_EQ(e.d.m_ScrollOffset, 1);  // a cycle of 20 steps
  EXPECT_EQ(e.Top(), Blanks(20));
}

// The same bytes give the same display whatever the hand-over boundaries.
TEST(LdHandOver, StreamSplitAtEveryPositionMatchesOnePiece) {
  const Bytes stream = Cat({Of("Hello"), {0x10, 0x0D, 0x03, 0x41, 0x0D, 0xFF, 0x00, 0x0D, 0x11},
                            Of("ABA"), {0x0A, 0x09, 0x08, 0x0D, 0x00, 0x01, 0x03, 0x17},
                            Bytes(8, 0xF8), {0x17, 0x02, 0x04, 0x1B, 0x1E, 0x00, 0x00, 0x12},
                            Of("0123456789012345678901234567890"), {0x05}, Of("scroll"), {0x0D, 0x04, 0x05}});
  Emu whole;
  whole.Feed(stream);
  for (std::size_t split = 0; split <= stream.size(); ++split) {
    SCOPED_TRACE(split);
    Emu parts;
    parts.Take(parts.d.ApplyHandOver(stream.data(), split));
    parts.Take(parts.d.ApplyHandOver(stream.data() + split, stream.size() - split));
    EXPECT_EQ(parts.Top() + parts.Bottom(), whole.Top() + whole.Bottom());
    EXPECT_EQ(parts.d.m_Cursor, whole.d.m_Cursor);
    EXPECT_EQ(parts.d.m_BlankCharacter, whole.d.m_BlankCharacter);
    EXPECT_EQ(parts.d.m_Parser.m_LogicControlMode, whole.d.m_Parser.m_LogicControlMode);
    EXPECT_EQ(parts.d.m_Parser.m_VerticalScroll, whole.d.m_Parser.m_VerticalScroll);
    EXPECT_EQ(parts.d.m_Parser.m_UserCharacter, whole.d.m_Parser.m_UserCharacter);
    EXPECT_EQ(parts.d.m_Parser.m_PendingCommand, whole.d.m_Parser.m_PendingCommand);
    EXPECT_EQ(parts.d.Scrolling(), whole.d.Scrolling());
    EXPECT_EQ(std::memcmp(parts.d.m_OrvidPatterns, whole.d.m_OrvidPatterns, 64), 0);
    EXPECT_EQ(std::memcmp(parts.d.m_ScrollWindow, whole.d.m_ScrollWindow, 84), 0);
    // The device ends up showing the same lines.
    EXPECT_EQ(parts.Last(kTop), whole.Last(kTop));
    EXPECT_EQ(parts.Last(kBottom), whole.Last(kBottom));
  }
}

}  // namespace
