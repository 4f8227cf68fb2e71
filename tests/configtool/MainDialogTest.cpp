// The main dialog's start-up steps and "Apply All" on real files.
#include <gtest/gtest.h>

#include "configtool/ConfigDialog.h"
#include "platform/Paths.h"
#include "tests/configtool/ConfigToolTestSupport.h"

namespace zolcfg {
namespace {

using test::ReadFile;
using test::SavedKeys;
using test::TempFolder;
using test::Wide;
using test::WriteFile;

class MainDialogTest : public ::testing::Test {
 protected:
  std::filesystem::path file() const { return folder / "ZolConfig.xml"; }
  TempFolder folder;
  test::BoxRecorder boxes;
};

TEST_F(MainDialogTest, MissingDocumentIsCreatedWithEveryDefaultInOrder) {
  ConfigDialog dlg(file().wstring());
  dlg.Initialize();
  ASSERT_TRUE(std::filesystem::exists(file()));
  const std::wstring logFile = sys::GetFixedPath(sys::FixedPath::LogFile);
  configdoc doc;
  ASSERT_TRUE(doc.Open(file().wstring(), false));
  std::vector<datanode> roots;
  ASSERT_EQ(doc.ReadSection(L"ZOL", roots), 0);
  ASSERT_EQ(roots.size(), 1u);
  std::vector<std::wstring> sections;
  for (const auto& s : roots[0].children) sections.push_back(s.name);
  EXPECT_EQ(sections, (std::vector<std::wstring>{L"Ports_Configuration", L"Logging_Configuration",
                                                 L"MSR_Configuration"}));
  EXPECT_EQ(SavedKeys(file(), L"Ports_Configuration"), (std::vector<std::wstring>{L"MSR_USB=", L"LD_USB="}));
  for (const auto& key : roots[0].children[0].children) {
    EXPECT_EQ(key.attributes, (attributemap{{L"Serial_Number", L""}}));
  }
  for (const auto& key : roots[0].children[1].children) EXPECT_TRUE(key.attributes.empty());
  EXPECT_EQ(SavedKeys(file(), L"Logging_Configuration"),
            (std::vector<std::wstring>{L"File_Name=" + logFile, L"File_Size=10240", L"Log_Level=0",
                                       L"TCP_Port=38674", L"Module_Service=true", L"Module_MSR=true",
                                       L"Module_LD=true"}));
  EXPECT_EQ(SavedKeys(file(), L"MSR_Configuration"),
            (std::vector<std::wstring>{L"CR_Enabled=", L"Track1_Enabled=true", L"Track2_Enabled=true",
                                       L"Track3_Enabled=true", L"Strip_Sentinels=", L"Hide_Error_Tracks=",
                                       L"Track1_Start_Sentinel=%", L"Track2_Start_Sentinel=;",
                                       L"Track3_Start_Sentinel=+", L"End_Sentinel=?", L"Head_Wrapper=",
                                       L"Tail_Wrapper=", L"Track1_CR_Enabled=", L"Track2_CR_Enabled=",
                                       L"Track3_CR_Enabled="}));
  EXPECT_FALSE(std::filesystem::exists(folder / "ZolConfig.xml.bad"));
  EXPECT_TRUE(boxes.boxes.empty());  // root may write: no permission box
  EXPECT_TRUE(dlg.applyAll.enabled);
}

TEST_F(MainDialogTest, DocumentNotWellFormedIsKeptAsBadThenReplaced) {
  const std::string broken = "<ZOL><Ports_Configuration><MSR_USB>COM3</MSR_USB>";
  WriteFile(folder / "ZolConfig.xml.bad", "older");
  WriteFile(file(), broken);
  ConfigDialog dlg(file().wstring());
  dlg.Initialize();
  EXPECT_EQ(ReadFile(folder / "ZolConfig.xml.bad"), broken);
  EXPECT_EQ(SavedKeys(file(), L"Ports_Configuration"), (std::vector<std::wstring>{L"MSR_USB=", L"LD_USB="}));
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_NE(boxes.boxes[0].text.find(L"ZolConfig.xml.bad"), std::wstring::npos);
  EXPECT_EQ(boxes.boxes[0].icon, sys::MessageIcon::Information);
}

TEST_F(MainDialogTest, DocumentMissingOrBrokenInAFolderNamedBeyondAsciiIsReplaced) {
  const std::filesystem::path folderName(u8"Kass\u00e9 \u20ac");
  for (bool broken : {false, true}) {
    const std::filesystem::path dir = folder.path() / folderName / (broken ? "broken" : "missing");
    std::filesystem::create_directories(dir);
    const std::filesystem::path doc = dir / "ZolConfig.xml";
    if (broken) WriteFile(doc, "<ZOL><Ports_Configuration>");
    ConfigDialog dlg(Wide(doc));
    dlg.Initialize();
    EXPECT_EQ(SavedKeys(doc, L"Ports_Configuration"), (std::vector<std::wstring>{L"MSR_USB=", L"LD_USB="})) << broken;
    EXPECT_EQ(ReadFile(dir / "ZolConfig.xml.bad"), broken ? "<ZOL><Ports_Configuration>" : "") << broken;
  }
}

TEST_F(MainDialogTest, CommentBeforeTheSectionsKeepsThemAndTheComment) {
  const std::string text =
      "<ZOL><!-- top --><Ports_Configuration><MSR_USB Serial_Number=\"\">COM3</MSR_USB></Ports_Configuration>"
      "<Logging_Configuration><Log_Level>2</Log_Level></Logging_Configuration></ZOL>";
  WriteFile(file(), text);
  ConfigDialog dlg(file().wstring());
  dlg.Initialize();
  EXPECT_EQ(SavedKeys(file(), L"Ports_Configuration"), (std::vector<std::wstring>{L"MSR_USB=COM3"}));
  EXPECT_EQ(SavedKeys(file(), L"Logging_Configuration"), (std::vector<std::wstring>{L"Log_Level=2"}));
  EXPECT_EQ(dlg.logging.logLevel.selection, 2);
  const std::string saved = ReadFile(file());
  EXPECT_NE(saved.find("<!-- top -->"), std::string::npos) << saved;
  EXPECT_NE(saved.find("MSR_Configuration"), std::string::npos) << saved;  // the missing section is added
}

TEST_F(MainDialogTest, DocumentMissingOnlyMsrSectionIsCompleted) {
  WriteFile(file(), "<ZOL><Ports_Configuration><LD_USB Serial_Number=\"\">COM4</LD_USB></Ports_Configuration>"
                    "<Logging_Configuration><Log_Level>3</Log_Level></Logging_Configuration></ZOL>");
  ConfigDialog dlg(file().wstring());
  dlg.Initialize();
  configdoc doc;
  ASSERT_TRUE(doc.Open(file().wstring(), false));
  std::vector<datanode> roots;
  doc.ReadSection(L"ZOL", roots);
  ASSERT_EQ(roots.size(), 1u);
  ASSERT_EQ(roots[0].children.size(), 3u);
  EXPECT_EQ(roots[0].children[2].name, L"MSR_Configuration");
  EXPECT_TRUE(roots[0].children[2].children.empty());
  EXPECT_EQ(SavedKeys(file(), L"Logging_Configuration"), (std::vector<std::wstring>{L"Log_Level=3"}));
  EXPECT_EQ(dlg.logging.logLevel.selection, 3);
  EXPECT_TRUE(dlg.msr.track1.checked);  // the MSR page shows its defaults
}

TEST_F(MainDialogTest, ApplyAllSavesEveryPageAndSaysSo) {
  ConfigDialog dlg(file().wstring());
  dlg.Initialize();
  dlg.logging.logLevel.selection = 5;
  dlg.msr.stripSentinels.checked = true;
  dlg.ApplyAll();
  EXPECT_TRUE(dlg.ports.settingsChanged && dlg.logging.settingsChanged && dlg.msr.settingsChanged);
  EXPECT_EQ(boxes.Texts().back(), L"All settings saved.");
  const auto logging = SavedKeys(file(), L"Logging_Configuration");
  EXPECT_NE(std::find(logging.begin(), logging.end(), L"Log_Level=5"), logging.end());
  const auto msr = SavedKeys(file(), L"MSR_Configuration");
  EXPECT_NE(std::find(msr.begin(), msr.end(), L"Strip_Sentinels=true"), msr.end());
}

TEST_F(MainDialogTest, ClosingWithoutChangesAsksNothing) {
  ConfigDialog dlg(file().wstring());
  dlg.Initialize();
  dlg.OnClose();
  EXPECT_TRUE(boxes.boxes.empty());
}

}  // namespace
}  // namespace zolcfg
