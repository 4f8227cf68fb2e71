// The configuration keys of the log client and its filter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log/LogClient.h"
#include "common/log/ZolLog.h"

namespace {

using Keys = std::vector<std::pair<std::wstring, std::wstring>>;

struct SettingsCase {
  const char* name;
  Keys keys;
  DWORD level;
  DWORD mask;
  std::uint16_t port;
};

constexpr DWORD kAll = 0xFFFFFFFFu;

TEST(LogSettings, KeysAndDefaults) {
  const std::vector<SettingsCase> cases = {
      {"no keys", {}, 0, kAll, 38674},
      {"level 3", {{L"Log_Level", L"3"}}, 3, kAll, 38674},
      {"level 5", {{L"Log_Level", L"5"}}, 5, kAll, 38674},
      {"level 0", {{L"Log_Level", L"0"}}, 0, kAll, 38674},
      {"level 6 ignored", {{L"Log_Level", L"6"}}, 0, kAll, 38674},
      {"level -1 ignored", {{L"Log_Level", L"-1"}}, 0, kAll, 38674},
      {"level empty ignored", {{L"Log_Level", L""}}, 0, kAll, 38674},
      {"level huge ignored", {{L"Log_Level", L"99999999999999999999"}}, 0, kAll, 38674},
      {"level name case-sensitive", {{L"log_level", L"4"}}, 0, kAll, 38674},
      {"port", {{L"TCP_Port", L"40000"}}, 0, kAll, 40000},
      {"port 0", {{L"TCP_Port", L"0"}}, 0, kAll, 0},
      {"port 65535", {{L"TCP_Port", L"65535"}}, 0, kAll, 65535},
      {"port 70000 ignored", {{L"TCP_Port", L"70000"}}, 0, kAll, 38674},
      {"port 12a ignored", {{L"TCP_Port", L"12a"}}, 0, kAll, 38674},
      {"port blank ignored", {{L"TCP_Port", L" 80"}}, 0, kAll, 38674},
      {"MSR TRUE keeps the module", {{L"Module_MSR", L"TRUE"}}, 0, kAll, 38674},
      {"MSR True keeps the module", {{L"Module_MSR", L"True"}}, 0, kAll, 38674},
      {"MSR false", {{L"Module_MSR", L"false"}}, 0, kAll & ~ZOL_MSRUSB, 38674},
      {"MSR yes", {{L"Module_MSR", L"yes"}}, 0, kAll & ~ZOL_MSRUSB, 38674},
      {"MSR 1", {{L"Module_MSR", L"1"}}, 0, kAll & ~ZOL_MSRUSB, 38674},
      {"MSR empty", {{L"Module_MSR", L""}}, 0, kAll & ~ZOL_MSRUSB, 38674},
      {"service off", {{L"Module_Service", L""}}, 0, kAll & ~ZOL_SERVICE, 38674},
      {"LD off", {{L"Module_LD", L"no"}}, 0, kAll & ~ZOL_LDUSB, 38674},
      {"all three off",
       {{L"Module_Service", L""}, {L"Module_MSR", L""}, {L"Module_LD", L""}},
       0,
       kAll & ~(ZOL_SERVICE | ZOL_MSRUSB | ZOL_LDUSB),
       38674},
      {"service keys ignored", {{L"File_Name", L"/x"}, {L"File_Size", L"1"}}, 0, kAll, 38674},
      {"everything",
       {{L"File_Name", L"/x"}, {L"File_Size", L"1"}, {L"Log_Level", L"4"}, {L"TCP_Port", L"1234"},
        {L"Module_Service", L"true"}, {L"Module_MSR", L"true"}, {L"Module_LD", L""}},
       4,
       kAll & ~ZOL_LDUSB,
       1234},
  };
  for (const auto& c : cases) {
    zollog::LogSettings s = zollog::ParseLogSettings(c.keys);
    EXPECT_EQ(s.level, c.level) << c.name;
    EXPECT_EQ(s.moduleMask, c.mask) << c.name;
    EXPECT_EQ(s.tcpPort, c.port) << c.name;
  }
}

struct FilterCase {
  DWORD configured;
  DWORD mask;
  DWORD module;
  DWORD level;
  bool passes;
};

TEST(LogSettings, Filter) {
  const DWORD noMsr = kAll & ~ZOL_MSRUSB;
  const std::vector<FilterCase> cases = {
      {3, kAll, ZOL_SERVICE, 1, true},
      {3, kAll, ZOL_SERVICE, 2, true},
      {3, kAll, ZOL_SERVICE, 3, true},
      {3, kAll, ZOL_SERVICE, 4, false},
      {3, kAll, ZOL_SERVICE, 5, false},
      {3, kAll, ZOL_SERVICE, 0, false},
      {5, kAll, ZOL_SERVICE, 0, false},
      {0, kAll, ZOL_SERVICE, 1, false},
      {5, kAll, ZOL_SERVICE, 0xFFFFFFFFu, false},  // unsigned comparison
      {5, noMsr, ZOL_MSRUSB, 1, false},
      {5, noMsr, ZOL_LDUSB, 1, true},
      {5, noMsr, ZOL_MSRUSB | ZOL_LDUSB, 1, true},  // either bit enabled
      {5, noMsr, ZOL_MSRUSB | LOG_CONTINUATION, 1, true},  // bit 31 is never cleared
      {5, ZOL_SERVICE, ZOL_MSRUSB, 1, false},
  };
  for (const auto& c : cases) {
    zollog::LogSettings s;
    s.level = c.configured;
    s.moduleMask = c.mask;
    EXPECT_EQ(zollog::Passes(s, c.module, c.level), c.passes)
        << "configured " << c.configured << " mask " << std::hex << c.mask << " module " << c.module
        << " level " << std::dec << c.level;
  }
}

}  // namespace
