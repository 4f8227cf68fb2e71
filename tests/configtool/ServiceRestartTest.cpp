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
if [ -e "$d/offline" ]; then
  echo "System has not been booted with systemd as init system (PID 1). Can't operate." >&2; exit 1
fi
case "$1" in
  is-system-running) echo running; exit 0 ;;
  show) u="$5"; if [ "$3" = Result ]; then echo exit-code; exit 0; fi
        if [ -e "$d/$u.missing" ]; then echo not-found; else echo loaded; fi; exit 0 ;;
  is-active) u="$2"; if [ -e "$d/$u.broken" ]; then exit 1; fi
             s=$(cat "$d/$u.state" 2>/dev/null || echo inactive); echo "$s"
             [ "$s" = active ] && exit 0; exit 3 ;;
  stop) u="$3"; if [ -e "$d/$u.refuse" ]; then echo "Failed to stop $u: Access denied" >&2; exit 4; fi
        [ -e "$d/$u.stuck" ] || echo inactive > "$d/$u.state"; exit 0 ;;
  start) u="$2"; if [ -e "$d/$u.nostart" ]; then
           echo "Job for $u failed because the control process exited with error code." >&2; exit 1; fi
         echo active > "$d/$u.state"; exit 0 ;;
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

TEST_F(RestartTest, FailuresEndInTheirReportsWithTheirCauseAndLeaveLaterStepsUndone) {
  const std::wstring portNotStopped = L"Quillmere Framework Service failed to stop.\nRestart Quillmere services manually.";
  const std::wstring logNotStopped = L"Quillmere Logging Service failed to stop.\nRestart Quillmere services manually.";
  struct Case {
    std::string unit, mark;
    std::wstring firstBox, cause, warning;
    std::vector<std::string> actions;
  } cases[] = {
      {"", "offline", L"Stop ZOL Service GetLastError = 1722\n", L"systemd is not running on this machine",
       portNotStopped, {}},
      {"ZOLSVC", "refuse", L"Stop ZOL Service GetLastError = 5\n",
       L"Access was refused: only root may stop and start services (systemctl: Failed to stop ZOLSVC.service: Access "
       L"denied).",
       portNotStopped, {"stop --no-block ZOLSVC.service"}},
      {"ZOLLOGSVC", "refuse", L"Stop Log Service GetLastError = 5\n", L"Access was refused", logNotStopped,
       {"stop --no-block ZOLSVC.service", "stop --no-block ZOLLOGSVC.service"}},
      {"ZOLSVC", "missing", L"Stop ZOL Service GetLastError = 1060\n", L"The service ZOLSVC.service is not installed.",
       portNotStopped, {}},
      {"ZOLLOGSVC", "broken", L"Stop Log Service GetLastError = ", L"", logNotStopped,
       {"stop --no-block ZOLSVC.service"}},
      {"ZOLLOGSVC", "nostart", L"Start Log Service GetLastError = 1066\n",
       L"ZOLLOGSVC.service failed to start (exit-code). Its messages: journalctl -u ZOLLOGSVC.service\nsystemctl: Job "
       L"for ZOLLOGSVC.service failed because the control process exited with error code.",
       L"", {"stop --no-block ZOLSVC.service", "stop --no-block ZOLLOGSVC.service", "start ZOLLOGSVC.service"}},
      {"ZOLSVC", "nostart", L"Start ZOL Service GetLastError = 1066\n", L"ZOLSVC.service failed to start (exit-code).",
       L"", {"stop --no-block ZOLSVC.service", "stop --no-block ZOLLOGSVC.service", "start ZOLLOGSVC.service",
        "start ZOLSVC.service"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unit + " " + c.mark);
    std::filesystem::remove(folder / "calls");
    std::filesystem::remove(folder / "offline");
    for (const char* m : {"refuse", "missing", "broken", "nostart", "stuck"}) {
      std::filesystem::remove(folder / ("ZOLSVC.service." + std::string(m)));
      std::filesystem::remove(folder / ("ZOLLOGSVC.service." + std::string(m)));
    }
    State("ZOLSVC", "active");
    State("ZOLLOGSVC", "active");
    if (c.unit.empty()) WriteFile(folder / c.mark, "");
    else Mark(c.unit, c.mark);
    boxes.boxes.clear();
    boxes.answers = {sys::MessageAnswer::Yes};
    RestartServices(fast);
    EXPECT_EQ(Actions(), c.actions);
    ASSERT_EQ(boxes.boxes.size(), 3u);
    // The system's text, the error's decimal number, then the cause on a line of its own.
    const std::wstring& text = boxes.boxes[1].text;
    EXPECT_EQ(text.rfind(c.firstBox, 0), 0u) << sys::ToUtf8(text);
    const size_t number = text.rfind(L"= ") + 2;
    const size_t end = text.find_first_not_of(L"0123456789", number);
    EXPECT_GT(end, number) << sys::ToUtf8(text);
    if (!c.cause.empty()) {
      EXPECT_EQ(text.substr(end, 1), L"\n");
      EXPECT_EQ(text.find(c.cause, end + 1), end + 1) << sys::ToUtf8(text);
    }
    EXPECT_EQ(boxes.boxes[1].icon, sys::MessageIcon::None);
    EXPECT_EQ(boxes.boxes[2].icon, sys::MessageIcon::Warning);
    if (!c.warning.empty()) {
      EXPECT_EQ(boxes.boxes[2].text, c.warning);
    }
  }
}

TEST_F(RestartTest, EachStepIsAnnouncedBeforeItRuns) {
  std::vector<std::pair<std::wstring, size_t>> seen;  // the step, and how many actions were done before it
  const RestartReport report =
      RunRestart(fast, [&](RestartStep step) { seen.emplace_back(StepText(step), Actions().size()); });
  EXPECT_TRUE(report.restarted);
  EXPECT_EQ(seen, (std::vector<std::pair<std::wstring, size_t>>{{L"Stopping ZOL Service...", 0},
                                                                {L"Stopping Log Service...", 1},
                                                                {L"Starting Log Service...", 2},
                                                                {L"Starting ZOL Service...", 3}}));
  EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(RestartTest, AServiceThatNeverStopsEndsInItsReportWithinTheBound) {
  Mark("ZOLSVC", "stuck");
  const auto start = std::chrono::steady_clock::now();
  RestartServices(fast);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(20));
  EXPECT_EQ(Actions(), (std::vector<std::string>{"stop --no-block ZOLSVC.service"}));
  ASSERT_EQ(boxes.boxes.size(), 3u);
  EXPECT_EQ(boxes.boxes[1].text, L"Stop ZOL Service GetLastError = 1460\nThe service ZOLSVC did not stop in time.");
}

}  // namespace
}  // namespace zolcfg
