// Start-up cases that need a process of their own: the end with exit code 1,
// and running as an unprivileged user.
#include <gtest/gtest.h>
#include <unistd.h>

#include "configtool/ConfigDialog.h"
#include "tests/configtool/ConfigToolTestSupport.h"

namespace zolcfg {
namespace {

using test::ReadFile;
using test::WriteFile;

class MainDialogTest : public ::testing::Test {
 protected:
  std::filesystem::path file() const { return folder / "ZolConfig.xml"; }
  test::TempFolder folder;
  test::BoxRecorder boxes;
};

TEST_F(MainDialogTest, DocumentWithoutZolEndsWithWarningAndExitCode1) {
  WriteFile(file(), "<Other><Ports_Configuration/></Other>");
  EXPECT_EXIT(
      {
        ConfigDialog dlg(file().wstring());
        dlg.Initialize();
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(ReadFile(file()), "<Other><Ports_Configuration/></Other>");
}

TEST_F(MainDialogTest, WithoutWriteAccessEveryApplyIsDisabledAndTheUserIsTold) {
  WriteFile(file(), "<ZOL><Ports_Configuration/><Logging_Configuration/><MSR_Configuration/></ZOL>");
  // Readable by everyone, writable by its owner only.
  std::filesystem::permissions(folder.path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                                  std::filesystem::perms::group_exec |
                                                  std::filesystem::perms::others_read |
                                                  std::filesystem::perms::others_exec);
  // The check runs as an unprivileged user in a child process.
  EXPECT_EXIT(
      {
        if (setgid(65534) != 0 || setuid(65534) != 0) std::exit(3);
        test::BoxRecorder recorder;
        ConfigDialog dlg(file().wstring());
        dlg.Initialize();
        bool ok = !dlg.applyAll.enabled && !dlg.ports.apply.enabled && !dlg.logging.apply.enabled &&
                  !dlg.msr.apply.enabled && recorder.boxes.size() == 1 &&
                  recorder.boxes[0].text ==
                      L"You do not have sufficient permissions.\nPlease run the application as Administrator "
                      L"if you need to change the settings." &&
                  dlg.ports.defaults.enabled;
        std::exit(ok ? 0 : 4);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace zolcfg
