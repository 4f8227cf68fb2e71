// Judging the status report: which lines each flag combination logs and when
// the device information is recorded.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugins/ld/LdStatus.h"
#include "tests/ld/LdTestSupport.h"

namespace {

const char kInvalid[] = "HidLdManager::ProcessLdStatus - Command received was not a valid display command";
const char kFlash[] = "HidLdManager::ProcessLdStatus - Flash update in progress - cannot process commands";
const char kInfo[] = "HidLdManager::ProcessLdStatus - Device Information follows the status byte in the response";
const char kType[] = "HidLdManager::ProcessLdStatus - Device Type is not 0x20";
const char kSet[] = "HidLdManager::ProcessLdStatus - Command Set is not 0x03";
const char kOffline[] = "HidLdManager::ProcessLdStatus - The LCD is offline";
const char kList[] = "HidLdManager::ProcessLdStatus - Get Character Set List response is attached";
const char kIncomplete[] = "HidLdManager::ProcessLdStatus - Command is not complete";
const std::vector<std::string> kAll = {kInvalid, kFlash, kInfo, kType, kSet, kOffline, kList, kIncomplete};

struct StatusCase {
  const char* name;
  std::vector<BYTE> status;
  std::vector<std::string> lines;
  bool recorded;
};

class LdStatusJudge : public ::testing::TestWithParam<StatusCase> {};

TEST_P(LdStatusJudge, LogsTheLinesOfItsFlags) {
  const StatusCase& c = GetParam();
  ldtest::LogCapture log;
  DWORD info[3] = {0xAAAA, 0xBBBB, 0xCCCC};
  JudgeLdStatus(c.status.data(), info);
  for (const std::string& line : kAll) {
    const bool expected = std::find(c.lines.begin(), c.lines.end(), line) != c.lines.end();
    EXPECT_EQ(log.Count(line), expected ? 1 : 0) << line;
  }
  if (c.recorded) {
    EXPECT_EQ(info[0], c.status[2]);
    EXPECT_EQ(info[1], c.status[3]);
    EXPECT_EQ(info[2], c.status[5]);
  } else {
    EXPECT_EQ(info[0], 0xAAAAu);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Flags, LdStatusJudge,
    ::testing::Values(
        StatusCase{"CompleteOnly", {0x01, 0, 0, 0, 0, 0, 0, 0}, {}, false},
        StatusCase{"InformationValid", {0x11, 0x20, 7, 8, 0x03, 9, 0, 0}, {kInfo}, true},
        StatusCase{"InformationWrongTypeAndSet", {0x11, 0x21, 1, 2, 0x04, 3, 0, 0}, {kInfo, kType, kSet}, true},
        StatusCase{"NothingIsIncomplete", {0x00, 0, 0, 0, 0, 0, 0, 0}, {kIncomplete}, false},
        StatusCase{"ListAttachedCountsAsComplete", {0x02, 0, 0, 0, 0, 0, 0, 0}, {kList}, false},
        StatusCase{"InvalidFlashOffline", {0xC8, 0, 0, 0, 0, 0, 0, 0}, {kInvalid, kFlash, kOffline, kIncomplete}, false},
        StatusCase{"UninterpretedBits", {0x25, 0, 0, 0, 0, 0, 0, 0}, {}, false}),
    [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace
