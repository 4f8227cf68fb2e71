// ZolSetup.exe in a fresh prefix, silently: what it installs, registers and
// starts, an upgrade over an edited document, and what the uninstaller leaves.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <optional>
#include <thread>
#include <vector>

#include "common/config/ConfigDoc.h"
#include "configtool/ConfigDialog.h"
#include "tests/support/WinTestSupport.h"

namespace {

using wintest::QueryService;
using wintest::Quoted;
using wintest::RunProgram;
using wintest::WaitFor;

const std::filesystem::path kInstallDir = L"C:\\Program Files\\Halvern\\ZOL";
const std::filesystem::path kBinDir = kInstallDir / L"BIN";
const std::filesystem::path kLogDir = kInstallDir / L"LOG";
const std::filesystem::path kDocument = kBinDir / L"ZolConfig.xml";
const wchar_t* const kUninstallKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZOL";

std::filesystem::path SetupProgram() {
  wchar_t buffer[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"ZOL_SETUP", buffer, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::filesystem::path(std::wstring(buffer, n)) : std::filesystem::path();
}

// A value of the Add/Remove Programs entry; nullopt when the entry or the value is missing.
std::optional<std::wstring> UninstallValue(const wchar_t* name) {
  wchar_t text[1024] = {};
  DWORD size = sizeof text;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kUninstallKey, name, RRF_RT_REG_SZ, nullptr, text,
                   &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::wstring(text);
}

bool UninstallEntryExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

std::filesystem::path StartMenuLink() {
  PWSTR programs = nullptr;
  std::filesystem::path link;
  if (SHGetKnownFolderPath(FOLDERID_CommonPrograms, 0, nullptr, &programs) == S_OK) {
    link = std::filesystem::path(programs) / L"ZOL" / L"ZOL Configuration Tool.lnk";
  }
  CoTaskMemFree(programs);
  return link;
}

// The whole element tree of a configuration document.
std::vector<datanode> Tree(const std::filesystem::path& file) {
  configdoc doc;
  std::vector<datanode> roots;
  if (doc.Open(file.wstring(), false)) doc.ReadSection(L"ZOL", roots);
  return roots;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(SetupProgram())) << "ZOL_SETUP names no installer";
    ASSERT_FALSE(std::filesystem::exists(kInstallDir)) << "the prefix is not fresh";
  }
  void TearDown() override {
    // A failed test must not leave the next one an installation.
    if (std::filesystem::exists(kInstallDir / L"Uninstall.exe")) Uninstall(L" /REMOVELOG");
  }

  static void Install() {
    ASSERT_EQ(RunProgram(Quoted(SetupProgram()) + L" /S", 120000), 0);
  }
  // The uninstaller goes on from a copy of itself and returns at once: the
  // wait is for its work to be done.
  static void Uninstall(const std::wstring& options = L"") {
    ASSERT_EQ(RunProgram(Quoted(kInstallDir / L"Uninstall.exe") + L" /S" + options), 0);
    ASSERT_TRUE(WaitFor([] { return !std::filesystem::exists(kInstallDir / L"Uninstall.exe"); }, 120000));
  }
  // Nothing of the installation but, perhaps, the log folder.
  static void ExpectUninstalled() {
    for (const wchar_t* name : {wintest::kLogService, wintest::kPortService}) {
      EXPECT_FALSE(QueryService(name).exists) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(kBinDir));
    EXPECT_FALSE(UninstallEntryExists());
    EXPECT_FALSE(std::filesystem::exists(StartMenuLink()));
  }
};

TEST_F(InstallerTest, InstallsRegistersAndUninstallsKeepingTheLog) {
  Install();
  for (const wchar_t* file :
       {L"PortBridgeServer.exe", L"MsrHidBridge.dll", L"LdHidBridge.dll", L"ZolLogSvc.exe", L"ZolConfig.exe"}) {
    EXPECT_TRUE(std::filesystem::exists(kBinDir / file)) << file;
  }
  EXPECT_TRUE(std::filesystem::is_directory(kLogDir));
  EXPECT_TRUE(std::filesystem::exists(StartMenuLink()));

  // The configuration tool's own defaults, as it writes them for a missing document.
  wintest::TempFolder tool;
  zolcfg::ConfigDialog((tool.path / L"ZolConfig.xml").wstring()).EnsureDocument();
  const std::vector<datanode> installed = Tree(kDocument);
  EXPECT_FALSE(installed.empty());
  EXPECT_EQ(installed, Tree(tool.path / L"ZolConfig.xml"));

  const struct {
    const wchar_t* name;
    const wchar_t* program;
    const wchar_t* displayName;
    const wchar_t* description;
  } services[] = {
      {wintest::kLogService, L"ZolLogSvc.exe", L"Quillmere Logging Service",
       L"Records data from the Quillmere to a log file"},
      {wintest::kPortService, L"PortBridgeServer.exe", L"Quillmere Framework Service",
       L"Manages communication between serial applications and POS devices"},
  };
  for (const auto& s : services) {
    const wintest::ServiceConfig c = wintest::QueryServiceConfig(s.name);
    ASSERT_TRUE(c.exists) << s.name;
    EXPECT_EQ(c.binaryPath, Quoted(kBinDir / s.program));
    EXPECT_EQ(c.displayName, s.displayName);
    EXPECT_EQ(c.description, s.description);
    EXPECT_EQ(c.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(c.startType, static_cast<DWORD>(SERVICE_AUTO_START));
  }

  EXPECT_EQ(UninstallValue(L"DisplayVersion"), L"1.1.0.6");
  EXPECT_EQ(UninstallValue(L"DisplayName"), L"ZOL");
  EXPECT_EQ(UninstallValue(L"QuietUninstallString"), Quoted(kInstallDir / L"Uninstall.exe") + L" /S");

  wintest::WriteFile(kLogDir / L"earlier.log", "kept\r\n");
  Uninstall();
  ExpectUninstalled();
  EXPECT_EQ(wintest::ReadFile(kLogDir / L"earlier.log"), "kept\r\n");
  std::filesystem::remove_all(kInstallDir);
}

TEST_F(InstallerTest, UpgradeKeepsTheEditedDocumentAndRestartsTheServicesInOrder) {
  Install();
  const unsigned short port = wintest::FreePort();
  ASSERT_NE(port, 0);
  const std::string edited = Replaced(Replaced(wintest::ReadFile(kDocument), "<TCP_Port>38674</TCP_Port>",
                                               "<TCP_Port>" + std::to_string(port) + "</TCP_Port>"),
                                      "<Log_Level>0</Log_Level>", "<Log_Level>5</Log_Level>");
  ASSERT_NE(edited, wintest::ReadFile(kDocument));
  wintest::WriteFile(kDocument, edited);

  // Over running services, which must go for their files to be replaced,
  // while another program (a services console) holds the port service open:
  // it stays marked for deletion until that program lets it go.
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr);
  SC_HANDLE held = OpenServiceW(manager, wintest::kPortService, SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG);
  ASSERT_NE(held, nullptr);
  bool sawMarked = false;
  std::thread console([&] {
    sawMarked = WaitFor(
        [&] {
          return !ChangeServiceConfigW(held, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                                       nullptr, nullptr, nullptr, nullptr, nullptr) &&
                 GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
        },
        60000);
    CloseServiceHandle(held);
  });
  Install();
  console.join();
  CloseServiceHandle(manager);
  EXPECT_TRUE(sawMarked);
  EXPECT_EQ(wintest::ReadFile(kDocument), edited);
  EXPECT_EQ(QueryService(wintest::kLogService).status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  ASSERT_TRUE(WaitFor([&] { return wintest::Accepts(port); }));
  const std::string line = "05/12/2026 14:03:07.042\tP[0a3c]\tT[1f04]\tZOL_SERVICE    \tLEVEL_INFO    \tby hand\r\n";
  {
    wintest::Client client(port);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send(line));
  }
  const auto log = [] { return wintest::ReadFile(kLogDir / L"zol.log"); };
  EXPECT_TRUE(WaitFor([&] { return log().find(line) != std::string::npos; }));
  // The port service started after the logging service listened: its first
  // line is there.
  EXPECT_TRUE(WaitFor([&] { return log().find("ZOLSVC - Entered") != std::string::npos; })) << log();

  Uninstall(L" /REMOVELOG");
  ExpectUninstalled();
  EXPECT_FALSE(std::filesystem::exists(kInstallDir));
}

}  // namespace
