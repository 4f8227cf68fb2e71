// The restart of the two services through a stand-in systemctl on PATH that
// records its calls and keeps each unit's state in a file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>

#include "configtool/ServiceRestart.h"
#include "platform/Text.h"
#include "tests/configtool/ConfigToolTestSupport.h"

namespace zolcfg {
namespace {

using test::ReadFile;
using test::WriteFile;

const char* kStandIn = R"SH(#!/bin/sh
d="$(dirname "$0")"
echo "$*" >> "$d/calls"
case "$1" in
  --version) echo "systemd 252"; exit 0 ;;
  show) u="$5"; if [ -e "$d/$u.missing" ]; then echo not-found; else echo loaded; fi; exit 0 ;;
  is-active) u="$2"; if [ -e "$d/$u.broken" ]; then exit 1; fi
             s=$(cat "$d/$u.state" 2>/dev/null || echo inactive); echo "$s"
             [ "$s" = active ] && exit 0; exit 3 ;;
  stop) u="$3"; [ -e "$d/$u.refuse" ] && exit 1
        [ -e "$d/$u.stuck" ] || echo inactive > "$d/$u.state"; exit 0 ;;
  start) u="$2"; [ -e "$d/$u.nostart" ] && exit 1; echo active > "$d/$u.state"; exit 0 ;;
esac
exit 1
)SH";

class RestartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(folder / "systemctl", kStandIn);
    chmod((folder / "systemctl").c_str(), 0755);
    const char* path = std::getenv("PATH");
    m_oldPath = path ? path : "";
    setenv("PATH", (folder.path().string() + ":" + m_oldPath).c_str(), 1);
    State("ZOLSVC", "active");
    State("ZOLLOGSVC", "active");
    boxes.answers = {sys::MessageAnswer::Yes};
  }
  void TearDown() override { setenv("PATH", m_oldPath.c_str(), 1); }

  void State(const std::string& unit, const std::string& state) {
    WriteFile(folder / (unit + ".service.state"), state + "\n");
  }
  void Mark(const std::string& unit, const std::string& what) { WriteFile(folder / (unit + ".service." + what), ""); }
  // The calls that change something, in order.
  std::vector<std::string> Actions() {
    std::vector<std::string> out;
    std::istringstream in(ReadFile(folder / "calls"));
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("stop", 0) == 0 || line.rfind("start", 0) == 0) out.push_back(line);
    }
    return out;
  }

  test::TempFolder folder;
  test::BoxRecorder boxes;
  std::string m_oldPath;
  RestartLimits fast{2000, 20};
};

TEST_F(RestartTest, StopsPortThenLogServiceThenStartsLogThenPort) {
  RestartServices(fast);
  EXPECT_EQ(Actions(), (std::vector<std::string>{"stop --no-block ZOLSVC.service", "stop --no-block ZOLLOGSVC.service",
                                                 "start ZOLLOGSVC.service", "start ZOLSVC.service"}));
  ASSERT_EQ(boxes.boxes.size(), 2u);
  EXPECT_EQ(boxes.boxes[0].buttons, sys::MessageButtons::YesNo);
  EXPECT_EQ(boxes.boxes[1].text, L"Quillmere services restarted.\n");
}

TEST_F(RestartTest, AServiceThatWasStoppedIsOnlyWaitedForThenStarted) {
  State("ZOLSVC", "inactive");
  RestartServices(fast);
  EXPECT_EQ(Actions(), (std::vector<std::string>{"stop --no-block ZOLLOGSVC.service", "start ZOLLOGSVC.service",
                                                 "start ZOLSVC.service"}));
}

TEST_F(RestartTest, AnsweringNoTouchesNothing) {
  boxes.answers = {sys::MessageAnswer::No};
  RestartServices(fast);
  EXPECT_TRUE(Actions().empty());
  EXPECT_EQ(boxes.boxes.size(), 1u);
}

TEST_F(RestartTest, FailuresEndInTheirReportsAndLeaveLaterStepsUndone) {
  struct Case {
    std::string unit, mark;
    std::wstring firstBox, warning;
    std::vector<std::string> actions;
  } cases[] = {
      {"ZOLSVC", "refuse", L"Stop ZOL Service GetLastError = ",
       L"Quillmere Framework Service failed to stop.\nRestart Quillmere services manually.",
       {"stop --no-block ZOLSVC.service"}},
      {"ZOLLOGSVC", "refuse", L"Stop Log Service GetLastError = ",
       L"Quillmere Logging Service failed to stop.\nRestart Quillmere services manually.",
       {"stop --no-block ZOLSVC.service", "stop --no-block ZOLLOGSVC.service"}},
      {"ZOLSVC", "missing", L"Stop ZOL Service GetLastError = 1060",
       L"Quillmere Framework Service failed to stop.\nRestart Quillmere services manually.", {}},
      {"ZOLLOGSVC", "broken", L"Stop Log Service GetLastError = ",
       L"Quillmere Logging Service failed to stop.\nRestart Quillmere services manually.",
       {"stop --no-block ZOLSVC.service"}},
      {"ZOLLOGSVC", "nostart", L"Start Log Service GetLastError = ", L"",
       {"stop --no-block ZOLSVC.service", "stop --no-block ZOLLOGSVC.service", "start ZOLLOGSVC.service"}},
      {"ZOLSVC", "nostart", L"Start ZOL Service GetLastError = ", L"",
       {"stop --no-block ZOLSVC.service", "stop --no-block ZOLLOGSVC.service", "start ZOLLOGSVC.service",
        "start ZOLSVC.service"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unit + " " + c.mark);
    std::filesystem::remove(folder / "calls");
    for (const char* m : {"refuse", "missing", "broken", "nostart", "stuck"}) {
      std::filesystem::remove(folder / ("ZOLSVC.service." + std::string(m)));
      std::filesystem::remove(folder / ("ZOLLOGSVC.service." + std::string(m)));
    }
    State("ZOLSVC", "active");
    State("ZOLLOGSVC", "active");
    Mark(c.unit, c.mark);
    boxes.boxes.clear();
    boxes.answers = {sys::MessageAnswer::Yes};
    RestartServices(fast);
    EXPECT_EQ(Actions(), c.actions);
    ASSERT_EQ(boxes.boxes.size(), 3u);
    EXPECT_EQ(boxes.boxes[1].text.rfind(c.firstBox, 0), 0u) << sys::ToUtf8(boxes.boxes[1].text);
    // The box ends in the error's decimal number.
    const std::wstring& text = boxes.boxes[1].text;
    const size_t number = text.rfind(L"= ") + 2;
    EXPECT_LT(number, text.size());
    EXPECT_EQ(text.find_first_not_of(L"0123456789", number), std::wstring::npos);
    EXPECT_EQ(boxes.boxes[1].icon, sys::MessageIcon::None);
    EXPECT_EQ(boxes.boxes[2].icon, sys::MessageIcon::Warning);
    if (!c.warning.empty()) {
      EXPECT_EQ(boxes.boxes[2].text, c.warning);
    }
  }
}

TEST_F(RestartTest, AServiceThatNeverStopsEndsInItsReportWithinTheBound) {
  Mark("ZOLSVC", "stuck");
  const auto start = std::chrono::steady_clock::now();
  RestartServices(fast);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(20));
  EXPECT_EQ(Actions(), (std::vector<std::string>{"stop --no-block ZOLSVC.service"}));
  ASSERT_EQ(boxes.boxes.size(), 3u);
  EXPECT_EQ(boxes.boxes[1].text, L"Stop ZOL Service GetLastError = 1460");
}

}  // namespace
}  // namespace zolcfg
