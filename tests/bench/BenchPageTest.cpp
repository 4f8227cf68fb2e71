// The bench's page in headless Chromium beside the whole system: what the
// application writes shows on the page's LCD, dot for dot, and a ready card
// clicked on the page reaches the application.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/bench/BenchSystem.h"
#include "tests/bench/Chromium.h"

namespace {

using benchtest::BenchSystem;
using benchtest::Chromium;
using benchtest::json;
using zoltest::WaitFor;

// The rows of one LCD cell as the page draws them: 8 rows, the lit dots of
// each in bits 4 (left) to 0 (right).
std::string CellRows(int position) {
  return "[...document.querySelectorAll('#lcd .cell')[" + std::to_string(position) +
         "].children].reduce((rows, dot, k) => { rows[k / 5 | 0] |= dot.classList.contains('on') ? "
         "16 >> (k % 5) : 0; return rows; }, [0,0,0,0,0,0,0,0])";
}

TEST(BenchPage, ShowsTheApplicationsTextAndSendsAReadyCard) {
  if (!Chromium::Available()) GTEST_SKIP() << "no chromium installed";
  BenchSystem bench;
  ASSERT_TRUE(bench.Start()) << bench.Problem();
  Chromium browser;
  ASSERT_TRUE(browser.Start(bench.Url())) << browser.Problem();
  ASSERT_TRUE(WaitFor([&] { return browser.Evaluate("document.getElementById('live').textContent") == json("live"); }));

  // The application: a user character '~' (an X), then text that uses it.
  ASSERT_TRUE(bench.Sys().OpenCom(BenchSystem::kDisplayCom));
  const std::string define = std::string("\x03~", 2) + std::string("\x11\x0a\x04\x0a\x11", 5);
  ASSERT_TRUE(bench.Sys().WriteCom("\x1f" + define + "Page~" + std::string("\x10\x14", 2) + "bottom"));
  EXPECT_TRUE(WaitFor([&] {
    return browser.Evaluate("document.getElementById('row0').dataset.text") == json("Page7               ") &&
           browser.Evaluate("document.getElementById('row1').dataset.text") == json("bottom              ");
  }));
  // The dots of the user character are those the device holds in RAM 7,
  // and a font character is drawn from the font table, not blank.
  std::vector<int> ram;
  for (const auto& report : bench.Sys().Trace("display")) {
    if (report.size() > 10 && report[1] == 0x40 && report[2] == 7) ram.assign(report.begin() + 3, report.begin() + 11);
  }
  ASSERT_EQ(ram.size(), 8u);
  EXPECT_TRUE(WaitFor([&] { return browser.Evaluate(CellRows(4)) == json(ram); }))
      << browser.Evaluate(CellRows(4)).value_or(json()).dump();
  // 'P' in the 5 x 7 table: a stem with a bowl on top, blank 8th row.
  EXPECT_EQ(browser.Evaluate(CellRows(0)), json({0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10, 0x00}));

  // A ready card clicked on the page arrives on the reader's port.
  zoltest::App* app = nullptr;
  ASSERT_TRUE(bench.Sys().OpenApp(BenchSystem::kReaderCom, app));
  ASSERT_EQ(browser.Evaluate("document.getElementById('card-track2').click(), true"), json(true));
  const std::string expected = ";5000987654321098=30011200000000000?";
  EXPECT_EQ(app->Read(expected.size()), expected);
  EXPECT_TRUE(WaitFor([&] {
    const auto last = browser.Evaluate("document.getElementById('last').textContent");
    return last && last->get<std::string>().find("5000987654321098=30011200000000000") != std::string::npos;
  }));
  // The form, with an error track.
  ASSERT_EQ(browser.Evaluate("document.getElementById('t1').value = 'ABC'; document.getElementById('t2').value = "
                             "'123'; document.getElementById('t3').value = ''; "
                             "document.querySelector('.err[value=\"2\"]').checked = true; "
                             "document.getElementById('numeric').checked = false; "
                             "document.querySelector('#swipe button[type=submit]').click(), true"),
            json(true));
  EXPECT_EQ(app->Read(6), "%ABC?E");

  // The display's unplug and plug buttons reach the port service, and the
  // page shows the state each time.
  for (const bool plugged : {false, true}) {
    SCOPED_TRACE(plugged ? "plug" : "unplug");
    const std::size_t before = bench.Sys().CountLog(plugged ? "HidLdManager::HidDeviceChanged - Initialize new LD"
                                                            : "HidLdManager::HidDeviceChanged - Unintialize old LD");
    ASSERT_EQ(browser.Evaluate("document.getElementById('ld-plug').click(), true"), json(true));
    EXPECT_TRUE(WaitFor([&] {
      return browser.Evaluate("document.getElementById('ld').dataset.plugged") == json(plugged ? "true" : "false");
    }));
    EXPECT_TRUE(bench.Sys().WaitForLog(plugged ? "HidLdManager::HidDeviceChanged - Initialize new LD"
                                               : "HidLdManager::HidDeviceChanged - Unintialize old LD",
                                       before + 1));
  }
}

}  // namespace
