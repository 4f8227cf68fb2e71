// The command parser on its own: results per byte for both command sets,
// arguments, collections and the pattern conversions.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "plugins/ld/LDParser.h"
#include "tests/ld/LdTestSupport.h"

namespace {

using ldtest::Bytes;

enum class Set { Lcm, Orvid };

std::vector<int> ParseAll(LDParser& p, const Bytes& in) {
  std::vector<int> out;
  for (BYTE b : in) out.push_back(p.ParseData(b));
  return out;
}

struct CommandCase {
  const char* name;
  Set set;
  Bytes input;
  std::vector<int> results;
  int commandByte;  // -1: not checked
};

class ParserCommands : public ::testing::TestWithParam<CommandCase> {};

TEST_P(ParserCommands, GivesResultsPerByteAndLeavesParserIdle) {
  const CommandCase& c = GetParam();
  LDParser p;
  p.m_LogicControlMode = c.set == Set::Lcm;
  EXPECT_EQ(ParseAll(p, c.input), c.results);
  if (c.commandByte >= 0) {
    EXPECT_EQ(p.m_CommandByte, c.commandByte);
  }
  // Whatever the command, the parser is idle afterwards: a letter is a letter.
  EXPECT_EQ(p.m_PendingCommand, 0);
  EXPECT_EQ(p.m_CollectMode, 0);
  EXPECT_EQ(p.ParseData('A'), 1);
}

const Bytes kFive = {0x11, 0x22, 0x33, 0x44, 0x55};
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    BothSets, ParserCommands,
    ::testing::Values(
        CommandCase{"LcmModeSelect", Set::Lcm, {0x00, 0x01}, {3, 6}, 1},
        CommandCase{"OrvidModeSelect", Set::Orvid, {0x00, 0x00}, {3, 6}, 0},
        CommandCase{"LcmCharSetIgnoredNextParsed", Set::Lcm, {0x02, 0x41}, {0, 1}, 0},
        CommandCase{"OrvidCharSetTakesArgument", Set::Orvid, {0x02, 0x05}, {3, 7}, 5},
        CommandCase{"OrvidCharSetArgumentIsControlByte", Set::Orvid, {0x02, 0x0D}, {3, 7}, 0x0D},
        CommandCase{"LcmUserCharFiveBytes", Set::Lcm, Cat({0x03, 0x41}, kFive), {3, 4, 4, 4, 4, 4, 8}, 0x41},
        CommandCase{"LcmUserCharCrIsPattern", Set::Lcm, {0x03, 0x41, 0x0D, 0x0D, 0x0D, 0x0D, 0x0D},
                    {3, 4, 4, 4, 4, 4, 8}, 0x41},
        CommandCase{"OrvidUserCharEightBytes", Set::Orvid, {0x03, 0x15, 1, 2, 0x0D, 4, 5, 6, 0x0D, 8},
                    {3, 4, 4, 4, 4, 4, 4, 4, 4, 8}, 0x15},
        CommandCase{"Command04Argument", Set::Lcm, {0x04, 0x1F}, {3, 9}, 0x1F},
        CommandCase{"MessageScroll", Set::Lcm, {0x05, 'H', 'I', 0x0D}, {5, 4, 4, 10}, -1},
        CommandCase{"Backspace", Set::Lcm, {0x08}, {11}, -1},
        CommandCase{"CursorRight", Set::Orvid, {0x09}, {12}, -1},
        CommandCase{"LineFeed", Set::Lcm, {0x0A}, {13}, -1},
        CommandCase{"CarriageReturn", Set::Orvid, {0x0D}, {14}, -1},
        CommandCase{"SelfTest", Set::Lcm, {0x0F}, {15}, -1},
        CommandCase{"PositionArgumentIsCr", Set::Lcm, {0x10, 0x0D}, {3, 16}, 0x0D},
        CommandCase{"PositionArgumentIsCommandByte", Set::Orvid, {0x10, 0x1F}, {3, 16}, 0x1F},
        CommandCase{"NormalDisplay", Set::Lcm, {0x11}, {17}, -1},
        CommandCase{"VerticalScroll", Set::Orvid, {0x12}, {18}, -1},
        CommandCase{"Command13", Set::Lcm, {0x13}, {19}, -1},
        CommandCase{"Command14", Set::Orvid, {0x14}, {20}, -1},
        CommandCase{"Reset", Set::Lcm, {0x1F}, {21}, -1},
        CommandCase{"LcmUserCodesAreIgnored", Set::Lcm, {0x15, 0x1C, 0x1D}, {0, 0, 0}, -1},
        CommandCase{"OrvidUserCodes", Set::Orvid, {0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1C, 0x1D},
                    {2, 2, 2, 2, 2, 2, 2, 2}, -1},
        CommandCase{"OrvidEscapeAnd1EIgnored", Set::Orvid, {0x1B, 0x1E}, {0, 0}, -1},
        CommandCase{"HighBytesAreCharactersLcm", Set::Lcm, {0x20, 0x7F, 0x80, 0xFF}, {1, 1, 1, 1}, -1},
        CommandCase{"HighBytesAreCharactersOrvid", Set::Orvid, {0x20, 0x80, 0xFF}, {1, 1, 1}, -1}),
    [](const auto& tc) { return std::string(tc.param.name); });

// Every control byte the command table does not list is ignored without
// leaving anything pending.
TEST(ParserIgnoredBytes, UnlistedControlBytesChangeNothing) {
  const Bytes commands = {0x00, 0x02, 0x03, 0x04, 0x05, 0x08, 0x09, 0x0A, 0x0D,
                          0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x1F};
  for (Set set : {Set::Lcm, Set::Orvid}) {
    for (int b = 0; b < 0x20; ++b) {
      const bool listed = std::find(commands.begin(), commands.end(), b) != commands.end();
      const bool orvidUser = (b >= 0x15 && b <= 0x1A) || b == 0x1C || b == 0x1D;
      if (listed || (set == Set::Orvid && orvidUser)) continue;
      if (set == Set::Lcm && b == 0x02) continue;
      LDParser p;
      p.m_LogicControlMode = set == Set::Lcm;
      SCOPED_TRACE(b);
      EXPECT_EQ(p.ParseData(static_cast<BYTE>(b)), 0);
      EXPECT_EQ(p.ParseData('Z'), 1);
    }
  }
}

TEST(ParserOrvid, Byte1ELogsItsLine) {
  ldtest::LogCapture log;
  LDParser p;
  p.m_LogicControlMode = false;
  EXPECT_EQ(p.ParseData(0x1E), 0);
  EXPECT_EQ(p.ParseData(0x1B), 0);
  EXPECT_EQ(log.Count("LDParser::IsValidCharacter - ZOL does not support Orvid Mode 0x1E as valid character"), 1);
}

TEST(ParserLcm, UserCharacterCodeIsUserCharacter) {
  LDParser p;
  p.m_UserCharacter = 0x41;
  EXPECT_EQ(p.IsValidCharacter(0x41), 2);
  EXPECT_EQ(p.ParseData(0x41), 2);
  EXPECT_EQ(p.ParseData(0x42), 1);
  p.m_LogicControlMode = false;  // Orvid Mode does not know the LCM character
  EXPECT_EQ(p.ParseData(0x41), 1);
}

struct ScrollCase {
  const char* name;
  Set set;
  Bytes text;  // between 0x05 and 0x0D
  Bytes stored;
  int discardedExtra;
  int discardedInvalid;
};

class ParserScrollMessage : public ::testing::TestWithParam<ScrollCase> {};

TEST_P(ParserScrollMessage, StoresValidTextUpTo45Bytes) {
  const ScrollCase& c = GetParam();
  ldtest::LogCapture log;
  LDParser p;
  p.m_LogicControlMode = c.set == Set::Lcm;
  ASSERT_EQ(p.ParseData(0x05), 5);
  for (BYTE b : c.text) ASSERT_EQ(p.ParseData(b), 4);
  ASSERT_EQ(p.ParseData(0x0D), 10);
  ASSERT_EQ(p.m_Count, static_cast<int>(c.stored.size()));
  EXPECT_EQ(Bytes(p.m_Data, p.m_Data + p.m_Count), c.stored);
  EXPECT_EQ(log.Count("LDParser::ParseData - Discarding data after 45th message scroll character"),
            c.discardedExtra);
  EXPECT_EQ(log.Count("LDParser::ParseData - Discarding invalid message scroll character"), c.discardedInvalid);
}

Bytes Letters(int n) {
  Bytes b;
  for (int i = 0; i < n; ++i) b.push_back(static_cast<BYTE>('a' + i % 26));
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ParserScrollMessage,
    ::testing::Values(ScrollCase{"Empty", Set::Lcm, {}, {}, 0, 0},
                      ScrollCase{"Hello", Set::Lcm, ldtest::Of("HELLO"), ldtest::Of("HELLO"), 0, 0},
                      ScrollCase{"FortyFive", Set::Lcm, Letters(45), Letters(45), 0, 0},
                      ScrollCase{"FortySixDropsLast", Set::Lcm, Letters(46), Letters(45), 1, 0},
                      ScrollCase{"FiftyDropsFive", Set::Orvid, Letters(50), Letters(45), 5, 0},
                      ScrollCase{"ControlBytesDiscarded", Set::Lcm, {'A', 0x01, 0x15, 'B', 0x1F}, {'A', 'B'}, 0, 3},
                      ScrollCase{"OrvidKeepsUserCodes", Set::Orvid, {0x15, 'A', 0x1D, 0x1B, 0x1E}, {0x15, 'A', 0x1D},
                                 0, 2}),
    [](const auto& tc) { return std::string(tc.param.name); });

struct PatternCase {
  const char* name;
  Set set;
  Bytes definition;
  Bytes rows;
};

class ParserPatterns : public ::testing::TestWithParam<PatternCase> {};

TEST_P(ParserPatterns, ConvertToDeviceRows) {
  const PatternCase& c = GetParam();
  LDParser p;
  std::copy(c.definition.begin(), c.definition.end(), p.m_Data);
  if (c.set == Set::Lcm) {
    p.ConvertLogicControlPattern();
  } else {
    p.ConvertOrvidPattern();
  }
  EXPECT_EQ(Bytes(p.m_Data, p.m_Data + 8), c.rows);
}

INSTANTIATE_TEST_SUITE_P(
    BothSets, ParserPatterns,
    ::testing::Values(
        PatternCase{"LcmAllOnes", Set::Lcm, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0}},
        PatternCase{"LcmBit0IsTopLeft", Set::Lcm, {0x01, 0, 0, 0, 0}, {0x10, 0, 0, 0, 0, 0, 0, 0}},
        PatternCase{"LcmBit4IsTopRight", Set::Lcm, {0x10, 0, 0, 0, 0}, {0x01, 0, 0, 0, 0, 0, 0, 0}},
        PatternCase{"LcmBit5StartsRow1", Set::Lcm, {0x20, 0, 0, 0, 0}, {0, 0x10, 0, 0, 0, 0, 0, 0}},
        PatternCase{"LcmRowsMeetInsideAByte", Set::Lcm, {0, 0x06, 0, 0, 0}, {0, 0x01, 0x10, 0, 0, 0, 0, 0}},
        PatternCase{"LcmBit34IsBottomRight", Set::Lcm, {0, 0, 0, 0, 0x04}, {0, 0, 0, 0, 0, 0, 0x01, 0}},
        PatternCase{"LcmBits35To39Unused", Set::Lcm, {0, 0, 0, 0, 0xF8}, {0, 0, 0, 0, 0, 0, 0, 0}},
        PatternCase{"OrvidAllF8", Set::Orvid, {0xF8, 0xF8, 0xF8, 0xF8, 0xF8, 0xF8, 0xF8, 0xF8},
                    {0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0}},
        PatternCase{"OrvidBit3IsLeft", Set::Orvid, {0x08, 0, 0, 0, 0, 0, 0, 0}, {0x10, 0, 0, 0, 0, 0, 0, 0}},
        PatternCase{"OrvidBit7IsRight", Set::Orvid, {0, 0x80, 0, 0, 0, 0, 0, 0}, {0, 0x01, 0, 0, 0, 0, 0, 0}},
        PatternCase{"OrvidLowBitsAndLastRowUnused", Set::Orvid, {0x07, 0x07, 0, 0, 0, 0, 0x07, 0xFF},
                    {0, 0, 0, 0, 0, 0, 0, 0}}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(ParserCollection, ExceededUserCharacterIsDiscardedWithLog) {
  ldtest::LogCapture log;
  LDParser p;
  p.m_CollectMode = LDParser::kCollectUserCharacter;
  p.m_Count = 5;
  p.m_Expected = 5;
  EXPECT_EQ(p.ParseData('A'), 0);
  EXPECT_EQ(log.Count("LDParser::ParseData - Exceeded user character expected bytes"), 1);
  EXPECT_EQ(p.m_CollectMode, 0);
  EXPECT_EQ(p.m_Count, 0);
  EXPECT_EQ(p.ParseData('A'), 1);
}

TEST(ParserCollection, UnfinishedCommandWaitsAcrossCallsUntilReset) {
  LDParser p;
  EXPECT_EQ(p.ParseData(0x10), 3);
  EXPECT_EQ(p.m_PendingCommand, PR_DISPLAY_POSITION);
  p.Reset();
  EXPECT_EQ(p.ParseData(0x0D), 14);  // the abandoned argument no longer waits
}

}  // namespace
