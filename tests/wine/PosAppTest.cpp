// A Windows point-of-sale application under Wine on the Linux system's ports:
// COM4 and COM3 in the prefix are links to vcomd's ports; the port service
// drives simulated devices. Built on Linux, run by the cross build's tests
// (it needs the Win32 program and a prefix: ZOL_POS_APP, WINEPREFIX).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "tests/support/ZolSystem.h"
#include "tests/support/Hex.h"

namespace {

using zoltest::Bytes;
using zoltest::LineReport;
using zoltest::WaitFor;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

// Points dosdevices/com<n> at a port for the test's life; puts back what was there.
class DosDeviceLink {
 public:
  DosDeviceLink(const std::string& prefix, unsigned n, const std::string& target)
      : m_link(std::filesystem::path(prefix) / "dosdevices" / ("com" + std::to_string(n))) {
    std::error_code e;
    if (std::filesystem::is_symlink(m_link, e)) m_old = std::filesystem::read_symlink(m_link, e).string();
    std::filesystem::remove(m_link, e);
    std::filesystem::create_symlink(target, m_link, e);
    m_ok = !e;
  }
  ~DosDeviceLink() {
    std::error_code e;
    std::filesystem::remove(m_link, e);
    if (!m_old.empty()) std::filesystem::create_symlink(m_old, m_link, e);
  }
  bool Ok() const { return m_ok; }

 private:
  std::filesystem::path m_link;
  std::string m_old;
  bool m_ok = false;
};

TEST(PosAppTest, WindowsApplicationDrivesTheDisplayAndReadsASwipeThroughDosDevices) {
  const std::string app = Env("ZOL_POS_APP");
  const std::string prefix = Env("WINEPREFIX");
  const std::string wine = Env("ZOL_WINE").empty() ? "/usr/lib/wine/wine64" : Env("ZOL_WINE");
  ASSERT_FALSE(app.empty() || prefix.empty()) << "set ZOL_POS_APP and WINEPREFIX";

  zoltest::SystemOptions o = zoltest::PosSystemOptions();
  zoltest::ZolSystem sys(o);
  ASSERT_TRUE(sys.Prepare()) << sys.Problem();
  ASSERT_TRUE(sys.StartVcomd());
  ASSERT_TRUE(sys.StartLogService());
  ASSERT_TRUE(sys.StartDevice("ld", "ld1"));
  ASSERT_TRUE(sys.StartDevice("msr", "msr1"));
  ASSERT_TRUE(sys.StartService());
  ASSERT_TRUE(sys.WaitForLog("HidMsrManager::Initialize - Initialize success"));

  DosDeviceLink com3(prefix, 3, sys.ComPath(3));
  DosDeviceLink com4(prefix, 4, sys.ComPath(4));
  ASSERT_TRUE(com3.Ok() && com4.Ok());

  const std::string readerReady = "ZolPort::PortReadyInternal - COM3 Ready=1";
  const std::size_t readyBefore = sys.CountLog(readerReady);
  const std::string out = sys.Temp() + "/posapp.out";
  zoltest::Child posApp;
  ASSERT_TRUE(posApp.Start({wine, app, "COM4", "COM3"}, {{"WINEDEBUG", "-all"}}, out));
  ASSERT_TRUE(WaitFor([&] { return zoltest::ReadText(out).find("reader open") != std::string::npos; }, 120000))
      << zoltest::ReadText(out);
  EXPECT_NE(zoltest::ReadText(out).find("display 51"), std::string::npos);
  // What the reader sends before the port service has the opening is not kept.
  ASSERT_TRUE(sys.WaitForLog(readerReady, readyBefore + 1));

  const std::string track1 = "B4000123456789010^WINE/CARD^28121010000000000000";
  const std::string track2 = "4000123456789010=28121010000000000000";
  const std::string track3 = "011234567890123456=000000000000000000";
  ASSERT_TRUE(sys.RunHidsim({"swipe", "msr1", "--track1", track1, "--track2", track2, "--track3", track3}));
  ASSERT_EQ(posApp.WaitExit(120000), 0) << zoltest::ReadText(out);
  const std::string card = "%" + track1 + "?\r;" + track2 + "?\r+" + track3 + "?\r";
  EXPECT_NE(zoltest::ReadText(out).find("swipe " + zoltest::Hex(card) + "\r\n"), std::string::npos) << zoltest::ReadText(out);

  // The display: both lines as line reports, the block in display RAM and
  // shown at the end of the top line (a RAM code below 0x08).
  ASSERT_TRUE(WaitFor([&] {
    for (const Bytes& r : sys.Trace("ld1")) {
      if (r == LineReport(0x82, "Coffee          2.50")) return true;
    }
    return false;
  }));
  bool ramPattern = false;
  bool topWithBlock = false;
  for (const Bytes& r : sys.Trace("ld1")) {
    if (r.size() >= 11 && r[1] == 0x40 && Bytes(r.begin() + 3, r.begin() + 10) == Bytes(7, 0x1F)) ramPattern = true;
    if (r.size() >= 23 && r[1] == 0x81 && std::string(r.begin() + 3, r.begin() + 22) == "  Welcome to ZOL!  " &&
        r[22] < 0x08) {
      topWithBlock = true;
    }
  }
  EXPECT_TRUE(ramPattern);
  EXPECT_TRUE(topWithBlock);
}

}  // namespace
