// The logging service's settings and the rotated file name.
#include <gtest/gtest.h>

#include <regex>

#include "logservice/LogService.h"

namespace {

using Keys = std::vector<std::pair<std::wstring, std::wstring>>;

struct Case {
  const char* name;
  Keys keys;
  std::string file;
  std::uint64_t limit;
  std::uint16_t port;
};

TEST(LogServiceSettings, KeysAndDefaults) {
  const std::string def = "/default/zol.log";
  const std::uint64_t defLimit = 10240ull * 1024;
  const std::vector<Case> cases = {
      {"defaults", {}, def, defLimit, 38674},
      {"file name", {{L"File_Name", L"/var/x.log"}}, "/var/x.log", defLimit, 38674},
      {"file name in UTF-8", {{L"File_Name", std::wstring(L"/caf") + wchar_t(0xE9) + L"/a" + wchar_t(0x0141) + L".log"}},
       "/caf\xC3\xA9/a\xC5\x81.log", defLimit, 38674},
      {"size 0 turns rotation off", {{L"File_Size", L"0"}}, def, 0, 38674},
      {"size 1", {{L"File_Size", L"1"}}, def, 1024, 38674},
      {"size 2097152 (2 GiB) is not cut to 31 bits", {{L"File_Size", L"2097152"}}, def, 2147483648ull, 38674},
      {"size 999999", {{L"File_Size", L"999999"}}, def, 999999ull * 1024, 38674},
      {"largest size that fits", {{L"File_Size", L"18014398509481983"}}, def, 18014398509481983ull * 1024, 38674},
      {"size whose bytes overflow: no limit", {{L"File_Size", L"18014398509481984"}}, def, 0, 38674},
      {"size of 30 digits: no limit", {{L"File_Size", L"999999999999999999999999999999"}}, def, 0, 38674},
      {"size with letters ignored", {{L"File_Size", L"12a"}}, def, defLimit, 38674},
      {"size empty ignored", {{L"File_Size", L""}}, def, defLimit, 38674},
      {"size negative ignored", {{L"File_Size", L"-5"}}, def, defLimit, 38674},
      {"port", {{L"TCP_Port", L"40001"}}, def, defLimit, 40001},
      {"port 0 accepted", {{L"TCP_Port", L"0"}}, def, defLimit, 0},
      {"port 70000 ignored", {{L"TCP_Port", L"70000"}}, def, defLimit, 38674},
      {"port 12a ignored", {{L"TCP_Port", L"12a"}}, def, defLimit, 38674},
      {"client keys ignored", {{L"Log_Level", L"5"}, {L"Module_MSR", L""}}, def, defLimit, 38674},
      {"names are case-sensitive", {{L"file_size", L"1"}, {L"tcp_port", L"1"}}, def, defLimit, 38674},
  };
  for (const auto& c : cases) {
    zollogsvc::LogServiceSettings s = zollogsvc::ParseServiceSettings(c.keys, def);
    EXPECT_EQ(s.fileName, c.file) << c.name;
    EXPECT_EQ(s.limitBytes, c.limit) << c.name;
    EXPECT_EQ(s.tcpPort, c.port) << c.name;
  }
}

TEST(LogServiceSettings, RotatedNameCarriesTheTime) {
  std::string n = zollogsvc::RotatedName("/log/zol.log");
  EXPECT_TRUE(std::regex_match(n, std::regex(R"(/log/zol\.log\.\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d)"))) << n;
}

}  // namespace
