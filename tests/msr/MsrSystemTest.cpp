// The whole system with a simulated stripe reader: vcomd, ZolLogSvc and
// PortBridgeServer with MsrHidBridge on COM3, the test as the application.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/msr/MsrTestSupport.h"

namespace {

using namespace msrtest;

constexpr const char* kReader = "r1";
constexpr const char* kDeviceInfoRequest = "00 00 00 01 00 00 00 00";
constexpr const char* kNotReadyLine = "HidMsrManager::ProcessMsrStatus - Write failed with rc=11";

struct Swipe {
  Card card;
  std::string text;
};

struct SettingsCase {
  const char* name;
  std::string section;     // MSR_Configuration element, or empty for none
  std::string configLine;  // one of the settings lines it must log
  std::vector<Swipe> swipes;
};

TEST(MsrSystemTest, SwipesArriveAsTheConfiguredText) {
  const std::string t1 = "B4539148803436467^DOE/JOHN^2512101000";
  const std::string t2 = "4539148803436467=2512101000";
  const std::vector<SettingsCase> cases = {
      {"defaults",
       "",
       "MsrFormat::GetConfiguration - Could not read ZolConfig.xml",
       {{{"ABC", "123", "", false, ""}, "%ABC?;123?"},
        {{t1, t2, "0123456789", false, ""}, "%" + t1 + "?;" + t2 + "?+0123456789?"},
        {{"12", "34", "", true, ""}, "%12?%34?"},
        {{"ABC", "123", "", false, "2"}, "%ABC?E"}}},
      {"strip, CR, wrappers, no track 3",
       "<MSR_Configuration><CR_Enabled>true</CR_Enabled><Strip_Sentinels>TRUE</Strip_Sentinels>"
       "<Head_Wrapper>[</Head_Wrapper><Tail_Wrapper>]</Tail_Wrapper><Track3_Enabled></Track3_Enabled>"
       "</MSR_Configuration>",
       "MsrFormat::GetConfiguration - HeadWrapper=[, TailWrapper=], Track1CREnabled=0, Track2CREnabled=0, "
       "Track3CREnabled=0",
       {{{"ABC", "123", "789", false, ""}, "[ABC]\r[123]\r"},
        {{"12", "34", "", true, ""}, "[12]\r[34]\r"},
        {{"ABC", "123", "", false, "1"}, "E[123]\r"}}},
      {"hidden errors, own sentinels, CR after track 2",
       "<MSR_Configuration><Hide_Error_Tracks>True</Hide_Error_Tracks>"
       "<Track1_Start_Sentinel>#</Track1_Start_Sentinel><End_Sentinel>!</End_Sentinel>"
       "<Track2_CR_Enabled>true</Track2_CR_Enabled></MSR_Configuration>",
       "MsrFormat::GetConfiguration - Track1StartSentinel=#, Track2StartSentinel=;, Track3StartSentinel=+, "
       "EndSentinel=!",
       {{{"ABC", "123", "", false, ""}, "#ABC!;123!\r"},
        {{"ABC", "123", "789", false, "1,2"}, "+789!"},
        {{"12", "34", "", true, ""}, "#12!#34!\r"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MsrSystem system(c.section);
    Child reader;
    ASSERT_NO_FATAL_FAILURE(system.StartWith(reader, kReader));
    EXPECT_TRUE(system.WaitLog(c.configLine));
    App* app = nullptr;
    ASSERT_TRUE(system.OpenApp(app));
    for (const auto& s : c.swipes) {
      ASSERT_TRUE(system.Sim().Swipe(kReader, s.card));
      EXPECT_EQ(app->Read(s.text.size()), s.text);
    }
    EXPECT_TRUE(system.WaitLog("HidMsrManager::ProcessMsrStatus - Sent: ", c.swipes.size()));
    EXPECT_EQ(app->Drain(), "");
  }
}

TEST(MsrSystemTest, SwipeWhileThePortIsClosedIsDropped) {
  MsrSystem system;
  Child reader;
  ASSERT_NO_FATAL_FAILURE(system.StartWith(reader, kReader));

  // Never opened yet.
  ASSERT_TRUE(system.Sim().Swipe(kReader, {"LOST", "1111", "", false, ""}));
  ASSERT_TRUE(system.WaitLog(kNotReadyLine, 1));
  App* app = nullptr;
  ASSERT_TRUE(system.OpenApp(app));
  ASSERT_TRUE(system.Sim().Swipe(kReader, {"KEPT", "2222", "", false, ""}));
  EXPECT_EQ(app->Read(12), "%KEPT?;2222?");

  // Opened and closed again.
  ASSERT_TRUE(system.CloseApp());
  ASSERT_TRUE(system.Sim().Swipe(kReader, {"GONE", "3333", "", false, ""}));
  ASSERT_TRUE(system.WaitLog(kNotReadyLine, 2));
  ASSERT_TRUE(system.OpenApp(app));
  ASSERT_TRUE(system.Sim().Swipe(kReader, {"BACK", "4444", "", false, ""}));
  EXPECT_EQ(app->Read(12), "%BACK?;4444?");
  EXPECT_EQ(app->Drain(), "");
}

TEST(MsrSystemTest, ReaderPluggedInAfterStartWorks) {
  MsrSystem system;
  ASSERT_TRUE(system.Start());
  EXPECT_TRUE(system.WaitLog("HidMsrManager::Initialize - SendMSRDeviceInfoRequest failed"));
  App* app = nullptr;
  ASSERT_TRUE(system.OpenApp(app));

  Child reader;
  ASSERT_TRUE(system.Sim().Plug(reader, kReader));
  ASSERT_TRUE(system.WaitLog("HidMsrManager::HidDeviceChanged - SendMSRDeviceInfoRequest success", 1));
  ASSERT_TRUE(system.Sim().Swipe(kReader, {"LATE", "5555", "", false, ""}));
  EXPECT_EQ(app->Read(12), "%LATE?;5555?");

  // Unplugged and plugged back: a fresh wrapper takes over.
  reader.Signal(SIGTERM);
  ASSERT_EQ(reader.WaitExit(), 0);
  ASSERT_TRUE(system.WaitLog("HidMsrManager::HidDeviceChanged - Unintialize old MSR", 1));
  Child again;
  ASSERT_TRUE(system.Sim().Plug(again, kReader));
  ASSERT_TRUE(system.WaitLog("HidMsrManager::HidDeviceChanged - SendMSRDeviceInfoRequest success", 2));
  ASSERT_TRUE(system.Sim().Swipe(kReader, {"AGAIN", "6666", "", false, ""}));
  EXPECT_EQ(app->Read(13), "%AGAIN?;6666?");
}

TEST(MsrSystemTest, OtherHidDevicesLeaveTheReaderAlone) {
  MsrSystem system;
  Child reader;
  App* app = nullptr;
  ASSERT_NO_FATAL_FAILURE(system.StartWith(reader, kReader, &app));

  // A line display comes and goes. A swipe ends the status read that holds
  // the device list, so the re-enumeration need not wait for its time limit.
  Child display;
  ASSERT_TRUE(display.Start(HidsimCommand({"ld", "--name", "d1"}), system.Env(), system.Out() + "/d1.out"));
  ASSERT_TRUE(system.Sim().Swipe(kReader, {"ONE", "1", "", false, ""}));
  EXPECT_EQ(app->Read(8), "%ONE?;1?");
  ASSERT_TRUE(system.WaitLog("HidMsrManager::Enumerate - Number of USB MSR: 1", 2, 20000));
  display.Signal(SIGTERM);
  ASSERT_EQ(display.WaitExit(), 0);
  ASSERT_TRUE(system.Sim().Swipe(kReader, {"TWO", "2", "", false, ""}));
  EXPECT_EQ(app->Read(8), "%TWO?;2?");
  ASSERT_TRUE(system.WaitLog("HidMsrManager::Enumerate - Number of USB MSR: 1", 3, 20000));

  const std::string log = system.Log();
  EXPECT_EQ(Count(log, "HidMsrManager::HidDeviceChanged - Re-enumerating USBs devices"), 2u);
  EXPECT_EQ(Count(log, "HidMsrManager::HidDeviceChanged - Unintialize old MSR"), 0u);
  EXPECT_EQ(system.Sim().Trace(kReader), std::vector<std::string>{kDeviceInfoRequest});
  ASSERT_TRUE(system.Sim().Swipe(kReader, {"THREE", "3", "", false, ""}));
  EXPECT_EQ(app->Read(10), "%THREE?;3?");
}

TEST(MsrSystemTest, ResumeSendsTheDeviceInformationRequestAgain) {
  MsrSystem system;
  Child reader;
  ASSERT_NO_FATAL_FAILURE(system.StartWith(reader, kReader));
  ASSERT_TRUE(WaitFor([&] { return system.Sim().Trace(kReader).size() == 1; }));
  EXPECT_EQ(system.Sim().Trace(kReader)[0], kDeviceInfoRequest);
  App* app = nullptr;
  ASSERT_TRUE(system.OpenApp(app));

  // Re-enumeration waits for the status read in progress; a swipe ends it.
  ASSERT_TRUE(system.Sim().Resume());
  ASSERT_TRUE(system.Sim().Swipe(kReader, {"ASLEEP", "7", "", false, ""}));
  EXPECT_EQ(app->Read(11), "%ASLEEP?;7?");
  ASSERT_TRUE(system.WaitLog("HidMsrManager::HidResumeSuspend - StatusRequest success", 1, 20000));
  ASSERT_TRUE(WaitFor([&] { return system.Sim().Trace(kReader).size() == 2; }));
  EXPECT_EQ(system.Sim().Trace(kReader)[1], kDeviceInfoRequest);

  ASSERT_TRUE(system.Sim().Swipe(kReader, {"AWAKE", "7777", "", false, ""}));
  EXPECT_EQ(app->Read(13), "%AWAKE?;7777?");
}

TEST(MsrSystemTest, BytesFromTheApplicationHaveNoEffect) {
  MsrSystem system;
  Child reader;
  App* app = nullptr;
  ASSERT_NO_FATAL_FAILURE(system.StartWith(reader, kReader, &app));
  const std::size_t received = Count(system.Log(), "ZolPort::DataReceivedInternal - COM3");
  ASSERT_TRUE(app->Write(std::string("\x00\x00\x00\x01", 4)));
  ASSERT_TRUE(app->Write("%ECHO?\r\n"));
  ASSERT_TRUE(system.WaitLog("ZolPort::DataReceivedInternal - COM3", received + 1));

  ASSERT_TRUE(system.Sim().Swipe(kReader, {"ONLY", "8888", "", false, ""}));
  EXPECT_EQ(app->Read(12), "%ONLY?;8888?");
  EXPECT_EQ(app->Drain(), "");
  // Nothing of it reached the reader: the only output report is the request at start.
  EXPECT_EQ(system.Sim().Trace(kReader), std::vector<std::string>{kDeviceInfoRequest});
}

TEST(MsrSystemTest, StopEndsTheStripeReaderThreads) {
  for (bool withReader : {true, false}) {
    SCOPED_TRACE(withReader ? "status read pending" : "no reader");
    MsrSystem system;
    Child reader;
    if (withReader) {
      ASSERT_TRUE(system.Sim().Plug(reader, kReader));
    }
    ASSERT_TRUE(system.Start());
    if (withReader) {
      App* app = nullptr;
      ASSERT_TRUE(system.OpenApp(app));
      ASSERT_TRUE(system.Sim().Swipe(kReader, {"STOP", "9999", "", false, ""}));
      ASSERT_EQ(app->Read(12), "%STOP?;9999?");
    }
    // A status read waits up to 7 s for a swipe; the stop must not.
    system.Service().Signal(SIGINT);
    EXPECT_EQ(system.Service().WaitExit(6000), 0);
    EXPECT_TRUE(system.WaitLog("HidMsrManager::Terminate - Exiting"));
  }
}

}  // namespace
