// The command-line words of the service host.
#include <gtest/gtest.h>

#include "common/servicehost/ServiceHost.h"

namespace {

using svchost::Command;

TEST(HostCommand, FirstWordWithoutRegardToCase) {
  struct Case {
    std::vector<std::wstring> args;
    Command expected;
  };
  const std::vector<Case> cases = {
      {{}, Command::Service},
      {{L"install"}, Command::Install},
      {{L"INSTALL"}, Command::Install},
      {{L"Install", L"now"}, Command::Install},
      {{L"remove"}, Command::Remove},
      {{L"ReMoVe"}, Command::Remove},
      {{L"console"}, Command::Console},
      {{L"Console"}, Command::Console},
      {{L"CONSOLE"}, Command::Console},
      {{L"console", L"remove"}, Command::Console},
      {{L"now", L"install"}, Command::Service},
      {{L"consoles"}, Command::Service},
      {{L" console"}, Command::Service},
      {{L""}, Command::Service},
      {{L"-console"}, Command::Service},
  };
  for (const auto& c : cases) {
    std::wstring joined;
    for (auto& a : c.args) joined += L"[" + a + L"]";
    EXPECT_EQ(svchost::ParseCommand(c.args), c.expected) << std::string(joined.begin(), joined.end());
  }
}

}  // namespace
