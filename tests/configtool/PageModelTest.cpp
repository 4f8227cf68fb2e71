// The three pages' models against real documents on disk.
#include <gtest/gtest.h>

#include <algorithm>

#include "configtool/LogPage.h"
#include "configtool/MsrPage.h"
#include "configtool/PortsPage.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "tests/configtool/ConfigToolTestSupport.h"

namespace zolcfg {
namespace {

using test::SavedKeys;
using test::TempFolder;
using test::WriteFile;

std::wstring Sep() { return std::wstring(1, sys::PathSeparator()); }

class PageTest : public ::testing::Test {
 protected:
  // Opens a document made of the given sections' XML inside <ZOL>.
  configdoc& Open(const std::string& sections) {
    WriteFile(file(), "<ZOL>" + sections + "</ZOL>");
    EXPECT_TRUE(doc.Open(file().wstring(), false));
    return doc;
  }
  std::filesystem::path file() const { return folder / "ZolConfig.xml"; }

  TempFolder folder;
  configdoc doc;
  test::BoxRecorder boxes;
};

TEST(PortNameFromInterfacePath, TakesTheNumberAfterTheMarker) {
  const std::wstring base = L"x" + Sep() + L"devices" + Sep();
  struct Case {
    std::wstring path;
    std::wstring name;
  } cases[] = {
      {base + L"ZOL_COM12", L"COM12"}, {base + L"zol_com3", L"COM3"}, {base + L"Zol_Com3", L"COM3"},
      {base + L"ZOL_COM", L""},        {base + L"ZOL_COM0", L"COM0"}, {base + L"ZOL_COM7x", L"COM7X"},
      {L"ZOL_COM5", L""},              {base + L"OTHER5", L""},
  };
  for (const auto& c : cases) EXPECT_EQ(PortNameFromInterfacePath(c.path), c.name) << sys::ToUtf8(c.path);
}

TEST_F(PageTest, PortsListsAreSortedAsTextAndSelectTheDocumentsPorts) {
  Open("<Ports_Configuration><MSR_USB Serial_Number=\"\">com5</MSR_USB>"
       "<LD_USB Serial_Number=\"\">COM9</LD_USB></Ports_Configuration>");
  PortsPage page;
  page.FillPortLists({L"a" + Sep() + L"ZOL_COM2", L"a" + Sep() + L"ZOL_COM10", L"a" + Sep() + L"ZOL_COM5"});
  page.AttachDocument(&doc, true);  // also lists the driver's ports, none here
  ASSERT_EQ(page.msrPort.entries, (std::vector<std::wstring>{L"COM10", L"COM2", L"COM5"}));
  EXPECT_EQ(page.msrPort.Text(), L"COM5");
  // COM9 is configured but no longer present.
  EXPECT_EQ(page.ldPort.selection, -1);

  page.SaveSettings();
  EXPECT_TRUE(page.settingsChanged);
  EXPECT_EQ(SavedKeys(file(), L"Ports_Configuration"), (std::vector<std::wstring>{L"MSR_USB=COM5", L"LD_USB="}));
}

TEST_F(PageTest, PortsNeverKeepsOnePortForBothDevices) {
  Open("<Ports_Configuration/>");
  PortsPage page;
  page.FillPortLists({L"a" + Sep() + L"ZOL_COM3", L"a" + Sep() + L"ZOL_COM4"});
  page.AttachDocument(&doc, true);
  page.OnMsrSelectionChanged(0);
  page.OnLdSelectionChanged(1);
  EXPECT_EQ(page.msrPort.selection, 0);
  page.OnLdSelectionChanged(0);
  EXPECT_EQ(page.ldPort.selection, 0);
  EXPECT_EQ(page.msrPort.selection, -1);
  page.OnMsrSelectionChanged(0);
  EXPECT_EQ(page.ldPort.selection, -1);
  page.OnDefault();
  EXPECT_EQ(page.msrPort.selection, -1);
}

TEST_F(PageTest, PortsApplyIsDisabledWithoutWriteAccess) {
  Open("<Ports_Configuration/>");
  PortsPage page;
  page.AttachDocument(&doc, false);
  EXPECT_FALSE(page.apply.enabled);
}

TEST_F(PageTest, MsrFlagsAndSentinelsFromTheDocument) {
  struct Case {
    std::string xml;
    bool track2;
    std::wstring track1Start;
  } cases[] = {
      {"<Track2_Enabled>False</Track2_Enabled>", false, L"%"},
      {"<Track2_Enabled>TRUE</Track2_Enabled>", true, L"%"},
      {"<Track2_Enabled>yes</Track2_Enabled>", false, L"%"},
      {"<Track2_Enabled>1</Track2_Enabled>", false, L"%"},
      {"<Track1_Start_Sentinel>ab</Track1_Start_Sentinel>", true, L"%"},
      {"<Track1_Start_Sentinel>#</Track1_Start_Sentinel>", true, L"#"},
      {"<Track1_Start_Sentinel></Track1_Start_Sentinel>", true, L""},
  };
  for (const auto& c : cases) {
    configdoc d;
    WriteFile(file(), "<ZOL><MSR_Configuration><Raw_Data_Mode>true</Raw_Data_Mode>" + c.xml +
                          "</MSR_Configuration></ZOL>");
    ASSERT_TRUE(d.Open(file().wstring(), false));
    MsrPage page;
    page.AttachDocument(&d, true);
    EXPECT_EQ(page.track2.checked, c.track2) << c.xml;
    EXPECT_EQ(page.track1Start.text, c.track1Start) << c.xml;
    EXPECT_FALSE(page.rawDataMode.checked);
    EXPECT_FALSE(page.rawDataMode.enabled);
  }
}

TEST_F(PageTest, MsrSaveWritesEveryKeyInOrderAndKeepsRawDataMode) {
  Open("<MSR_Configuration><Raw_Data_Mode>true</Raw_Data_Mode></MSR_Configuration>");
  MsrPage page;
  page.AttachDocument(&doc, true);
  page.track1Start.UserEdit(L"");  // an emptied sentinel is saved as the empty value
  page.crEnabled.checked = true;
  page.SaveSettings();
  EXPECT_EQ(SavedKeys(file(), L"MSR_Configuration"),
            (std::vector<std::wstring>{L"Raw_Data_Mode=true", L"CR_Enabled=true", L"Track1_Enabled=true",
                                       L"Track2_Enabled=true", L"Track3_Enabled=true", L"Strip_Sentinels=",
                                       L"Hide_Error_Tracks=", L"Track1_Start_Sentinel=", L"Track2_Start_Sentinel=;",
                                       L"Track3_Start_Sentinel=+", L"End_Sentinel=?", L"Head_Wrapper=",
                                       L"Tail_Wrapper=", L"Track1_CR_Enabled=", L"Track2_CR_Enabled=",
                                       L"Track3_CR_Enabled="}));
}

TEST_F(PageTest, MsrWrapperLimits) {
  Open("<MSR_Configuration/>");
  MsrPage page;
  page.AttachDocument(&doc, true);

  // 10 + 4: the tail takes at most 4 characters.
  page.OnHeadWrapperClicked(true);
  page.OnHeadWrapperEdited(L"0123456789");
  page.OnTailWrapperClicked(true);
  EXPECT_TRUE(page.tailWrapper.enabled);
  page.OnTailWrapperEdited(L"abcde");
  EXPECT_EQ(page.tailWrapper.text, L"");
  page.OnTailWrapperEdited(L"abcd");
  EXPECT_EQ(page.tailWrapper.text, L"abcd");

  // Unticking clears the text, which "Apply" then writes empty.
  page.OnTailWrapperClicked(false);
  EXPECT_EQ(page.tailWrapper.text, L"");
  EXPECT_FALSE(page.tailWrapper.enabled);

  // 14 + 0: a full tail unticks and disables the head.
  page.OnHeadWrapperClicked(false);
  page.OnTailWrapperClicked(true);
  page.OnTailWrapperEdited(L"ABCDEFGHIJKLMN");
  EXPECT_FALSE(page.headWrapperOn.checked);
  EXPECT_FALSE(page.headWrapper.enabled);
  // Ticking the head while the tail holds 14 leaves it unticked.
  page.OnHeadWrapperClicked(true);
  EXPECT_FALSE(page.headWrapperOn.checked);
  EXPECT_FALSE(page.headWrapper.enabled);

  // "Default" unticks the switches but leaves the texts, which Apply writes.
  page.OnDefault();
  EXPECT_FALSE(page.tailWrapperOn.checked);
  EXPECT_FALSE(page.tailWrapper.enabled);
  EXPECT_EQ(page.tailWrapper.text, L"ABCDEFGHIJKLMN");
  page.SaveSettings();
  const auto keys = SavedKeys(file(), L"MSR_Configuration");
  EXPECT_NE(std::find(keys.begin(), keys.end(), L"Tail_Wrapper=ABCDEFGHIJKLMN"), keys.end());

  // On the next start the saved wrapper shows with its switch ticked.
  MsrPage again;
  configdoc d2;
  ASSERT_TRUE(d2.Open(file().wstring(), false));
  again.AttachDocument(&d2, true);
  EXPECT_TRUE(again.tailWrapperOn.checked);
  EXPECT_TRUE(again.tailWrapper.enabled);
  EXPECT_FALSE(again.headWrapper.enabled);
}

TEST_F(PageTest, MsrWrappersOverTheLimitInTheDocumentAreNotShown) {
  Open("<MSR_Configuration><Head_Wrapper>123456789012345</Head_Wrapper><Tail_Wrapper>ab</Tail_Wrapper>"
       "</MSR_Configuration>");
  MsrPage page;
  page.AttachDocument(&doc, true);
  EXPECT_EQ(page.headWrapper.text, L"");
  EXPECT_FALSE(page.headWrapperOn.checked);
  EXPECT_EQ(page.tailWrapper.text, L"ab");
  EXPECT_TRUE(page.tailWrapperOn.checked);
  EXPECT_EQ(page.headWrapper.limit, 12u);
}

TEST_F(PageTest, LoggingValuesShownOnlyWhenValid) {
  struct Case {
    std::string xml;
    int level;
    std::wstring port;
    std::wstring size;
  } cases[] = {
      {"<Log_Level>7</Log_Level>", 0, L"38674", L"10240"},
      {"<Log_Level>abc</Log_Level>", 0, L"38674", L"10240"},
      {"<Log_Level>3</Log_Level>", 3, L"38674", L"10240"},
      {"<Log_Level>0005</Log_Level>", 5, L"38674", L"10240"},
      {"<Log_Level>99999999999999999999</Log_Level>", 0, L"38674", L"10240"},
      {"<TCP_Port>123456</TCP_Port>", 0, L"38674", L"10240"},
      {"<TCP_Port>99999</TCP_Port>", 0, L"99999", L"10240"},
      {"<TCP_Port>12a4</TCP_Port>", 0, L"38674", L"10240"},
      {"<File_Size>1234567</File_Size>", 0, L"38674", L"10240"},
      {"<File_Size>1</File_Size>", 0, L"38674", L"1"},
      {"<File_Size></File_Size>", 0, L"38674", L"10240"},
  };
  for (const auto& c : cases) {
    configdoc d;
    WriteFile(file(), "<ZOL><Logging_Configuration>" + c.xml + "</Logging_Configuration></ZOL>");
    ASSERT_TRUE(d.Open(file().wstring(), false));
    LogPage page;
    page.AttachDocument(&d, true);
    EXPECT_EQ(page.logLevel.selection, c.level) << c.xml;
    EXPECT_EQ(page.tcpPort.text, c.port) << c.xml;
    EXPECT_EQ(page.fileSize.text, c.size) << c.xml;
  }
}

TEST_F(PageTest, LoggingSaveWritesTextsAsTheyStand) {
  Open("<Logging_Configuration><TCP_Port>123456</TCP_Port><Module_MSR>TRUE</Module_MSR></Logging_Configuration>");
  LogPage page;
  page.AttachDocument(&doc, true);
  EXPECT_TRUE(page.moduleMsr.checked);
  page.moduleMsr.checked = false;
  page.fileSize.UserEdit(L"");
  page.logLevel.selection = 4;
  page.OnApply();
  EXPECT_EQ(boxes.Texts().back(), L"Log settings saved.");
  const auto keys = SavedKeys(file(), L"Logging_Configuration");
  // Keys already there are updated in place; the others are appended.
  EXPECT_EQ(keys, (std::vector<std::wstring>{L"TCP_Port=38674", L"Module_MSR=", L"File_Name=" + page.fileName.text,
                                             L"File_Size=", L"Log_Level=4", L"Module_Service=true",
                                             L"Module_LD=true"}));
}

TEST(EditControl, LimitBindsTypingButNotDeleting) {
  EditControl e;
  e.limit = 3;
  EXPECT_TRUE(e.UserEdit(L"abc"));
  EXPECT_FALSE(e.UserEdit(L"abcd"));
  e.text = L"abcdef";  // set by the program, beyond the limit
  EXPECT_TRUE(e.UserEdit(L"abcde"));
  EXPECT_EQ(e.text, L"abcde");
}

TEST(EditControl, APasteBeyondTheLimitIsCutToFit) {
  const struct {
    std::wstring before, typed, after;
  } cases[] = {
      {L"", L"123456789", L"12345"},        // into an empty field
      {L"ab", L"ab123456789", L"ab123"},    // at the end
      {L"ab", L"123456789ab", L"123ab"},    // at the start
      {L"ab", L"a123456789b", L"a123b"},    // in the middle
      {L"abcd", L"a12345", L"a1234"},       // over a selection ("bcd")
      {L"abcde", L"abcde12", L"abcde"},     // full: nothing fits
      {L"aaaa", L"aaaaaaa", L"aaaaa"},      // repeated letters
      {L"abc", L"abcd", L"abcd"},           // within the limit: as typed
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(sys::ToUtf8(c.typed));
    EXPECT_EQ(FitToLimit(c.before, c.typed, 5), c.after);
  }
}

}  // namespace
}  // namespace zolcfg
