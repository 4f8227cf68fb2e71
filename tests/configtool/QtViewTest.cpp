// The Qt window driven as a user would: offscreen, with real widgets, and the
// message boxes answered by the test.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

#include <cstdlib>

#include "configtool/qt/ConfigWindow.h"
#include "tests/configtool/ConfigToolTestSupport.h"

namespace zolcfg {
namespace {

using test::SavedKeys;

class QtViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    model = std::make_unique<ConfigDialog>((folder / "ZolConfig.xml").wstring());
    model->Initialize();
    window = std::make_unique<ConfigWindow>(*model);
    window->show();
  }
  template <typename T>
  T* Find(int tab, const char* name) {
    T* w = window->tabs()->widget(tab)->findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  std::filesystem::path file() const { return folder / "ZolConfig.xml"; }

  test::TempFolder folder;
  test::BoxRecorder boxes;
  std::unique_ptr<ConfigDialog> model;
  std::unique_ptr<ConfigWindow> window;
};

TEST_F(QtViewTest, ShowsTheTabsAndSwitchesPages) {
  EXPECT_EQ(window->windowTitle(), QStringLiteral("ZOL Configuration Tool"));
  ASSERT_EQ(window->tabs()->count(), 3);
  EXPECT_EQ(window->tabs()->tabText(0), QStringLiteral("COM Ports"));
  EXPECT_EQ(window->tabs()->tabText(1), QStringLiteral("Logging"));
  EXPECT_EQ(window->tabs()->tabText(2), QStringLiteral("MSR"));
  EXPECT_EQ(window->tabs()->currentIndex(), 0);
  window->tabs()->setCurrentIndex(2);
  EXPECT_EQ(model->currentTab, 2);
  EXPECT_TRUE(window->tabs()->widget(2)->isVisible());
  EXPECT_FALSE(window->tabs()->widget(0)->isVisible());
}

TEST_F(QtViewTest, TypingAWrapperLimitsTheOther) {
  window->tabs()->setCurrentIndex(2);
  auto* headOn = Find<QCheckBox>(2, "headWrapperOn");
  auto* tailOn = Find<QCheckBox>(2, "tailWrapperOn");
  auto* head = Find<QLineEdit>(2, "headWrapper");
  auto* tail = Find<QLineEdit>(2, "tailWrapper");
  EXPECT_FALSE(head->isEnabled());
  QTest::mouseClick(headOn, Qt::LeftButton, {}, QPoint(5, headOn->height() / 2));
  ASSERT_TRUE(head->isEnabled());
  QTest::keyClicks(head, "0123456789");
  QTest::mouseClick(tailOn, Qt::LeftButton, {}, QPoint(5, tailOn->height() / 2));
  QTest::keyClicks(tail, "abcdefg");
  EXPECT_EQ(tail->text(), QStringLiteral("abcd"));
  EXPECT_EQ(model->msr.tailWrapper.text, L"abcd");
}

TEST_F(QtViewTest, ApplyWritesTheFileAndDefaultResets) {
  window->tabs()->setCurrentIndex(1);
  auto* port = Find<QLineEdit>(1, "tcpPort");
  port->selectAll();
  QTest::keyClicks(port, "4x2");  // the letter is refused
  EXPECT_EQ(port->text(), QStringLiteral("42"));
  auto* level = Find<QComboBox>(1, "logLevel");
  ASSERT_EQ(level->count(), 6);
  EXPECT_EQ(level->itemText(3), QStringLiteral("Info"));
  level->setCurrentIndex(3);
  emit level->activated(3);
  QTest::mouseClick(Find<QPushButton>(1, "apply"), Qt::LeftButton);
  EXPECT_EQ(boxes.Texts().back(), L"Log settings saved.");
  const auto keys = SavedKeys(file(), L"Logging_Configuration");
  EXPECT_NE(std::find(keys.begin(), keys.end(), L"TCP_Port=42"), keys.end());
  EXPECT_NE(std::find(keys.begin(), keys.end(), L"Log_Level=3"), keys.end());

  QTest::mouseClick(Find<QPushButton>(1, "default"), Qt::LeftButton);
  EXPECT_EQ(port->text(), QStringLiteral("38674"));
  EXPECT_EQ(level->currentIndex(), 0);
}

TEST_F(QtViewTest, ClosingAfterAChangeAsksToRestart) {
  // This test answers the real question box itself.
  sys::MessagePresenter recorder = sys::SetMessagePresenter({});
  InstallQtMessagePresenter();
  QString question;
  int answered = 0;
  QTimer timer;
  timer.setInterval(20);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    ++answered;
    if (box->standardButtons() & QMessageBox::No) {
      question = box->text();
      box->button(QMessageBox::No)->click();
    } else {
      box->button(QMessageBox::Ok)->click();
    }
  });
  timer.start();
  // "Apply" on the Ports page shows its box, then closing asks the question.
  QMetaObject::invokeMethod(Find<QPushButton>(0, "apply"), "click", Qt::QueuedConnection);
  QTRY_VERIFY_WITH_TIMEOUT(answered >= 1, 10000);
  window->reject();
  timer.stop();
  sys::SetMessagePresenter(recorder);
  EXPECT_TRUE(model->ports.settingsChanged);
  EXPECT_TRUE(question.startsWith(QStringLiteral("Configuration file changed.")));
  EXPECT_FALSE(window->isVisible());
}

TEST_F(QtViewTest, TheWindowAndTheAboutBoxCarryTheIconAndTheWholeTitle) {
  EXPECT_FALSE(window->windowIcon().isNull());
  bool seen = false;
  QTimer::singleShot(0, [&] {
    auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(about, nullptr);
    seen = true;
    EXPECT_EQ(about->windowTitle(), QStringLiteral("About ZOL Configuration Tool"));
    EXPECT_FALSE(about->windowIcon().isNull());
    auto* icon = about->findChild<QLabel*>("aboutIcon");
    ASSERT_NE(icon, nullptr);
    EXPECT_FALSE(icon->pixmap().isNull());
    EXPECT_GT(about->width(), about->fontMetrics().horizontalAdvance(about->windowTitle()));
    about->accept();
  });
  window->ShowAbout();
  EXPECT_TRUE(seen);
}

TEST_F(QtViewTest, EnterPressesTheFocusedButton) {
  window->tabs()->setCurrentIndex(1);
  auto* apply = Find<QPushButton>(1, "apply");
  apply->setFocus();
  QTest::keyClick(apply, Qt::Key_Return);
  EXPECT_EQ(boxes.Texts(), std::vector<std::wstring>{L"Log settings saved."});
  auto* defaults = Find<QPushButton>(1, "default");
  auto* port = Find<QLineEdit>(1, "tcpPort");
  port->selectAll();
  QTest::keyClicks(port, "42");
  defaults->setFocus();
  QTest::keyClick(defaults, Qt::Key_Enter);
  EXPECT_EQ(port->text(), QStringLiteral("38674"));
}

TEST_F(QtViewTest, APasteLongerThanTheLimitIsCut) {
  window->tabs()->setCurrentIndex(2);
  auto* headOn = Find<QCheckBox>(2, "headWrapperOn");
  auto* head = Find<QLineEdit>(2, "headWrapper");
  QTest::mouseClick(headOn, Qt::LeftButton, {}, QPoint(5, headOn->height() / 2));
  ASSERT_TRUE(head->isEnabled());
  QApplication::clipboard()->setText(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ"));
  head->setFocus();
  QTest::keyClick(head, Qt::Key_V, Qt::ControlModifier);
  ASSERT_FALSE(head->text().isEmpty());
  EXPECT_EQ(head->text().toStdWString(), model->msr.headWrapper.text);
  EXPECT_EQ(model->msr.headWrapper.text.size(), model->msr.headWrapper.limit);
  EXPECT_EQ(head->text(), QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ").left(head->text().size()));
}

// The restart runs on a worker thread: while systemd (a stand-in that holds
// the port service's stop until told) is busy, the window shows the step.
TEST_F(QtViewTest, TheRestartShowsItsStepsWhileTheWindowGoesOn) {
  const auto stub = folder / "systemctl";
  test::WriteFile(stub, "#!/bin/sh\n"
                        "d=\"$(dirname \"$0\")\"\n"
                        "case \"$1\" in\n"
                        "  is-system-running) echo running ;;\n"
                        "  show) echo loaded ;;\n"
                        "  is-active) cat \"$d/$2.state\" 2>/dev/null || echo active ;;\n"
                        "  stop) while [ ! -e \"$d/go\" ]; do sleep 0.05; done; echo inactive > \"$d/$3.state\" ;;\n"
                        "  start) echo active > \"$d/$2.state\" ;;\n"
                        "esac\n"
                        "exit 0\n");
  ::chmod(stub.c_str(), 0755);
  const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", (folder.path().string() + ":" + oldPath).c_str(), 1);
  window->SetRestartLimits({5000, 20});
  QTest::mouseClick(Find<QPushButton>(0, "apply"), Qt::LeftButton);
  boxes.answers = {sys::MessageAnswer::Yes};
  window->reject();
  QLabel* step = window->findChild<QLabel*>("restartStep");
  ASSERT_NE(step, nullptr);
  QTRY_COMPARE_WITH_TIMEOUT(step->text(), QStringLiteral("Stopping ZOL Service..."), 10000);
  EXPECT_TRUE(window->isVisible());
  test::WriteFile(folder / "go", "");
  QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 20000);
  ::setenv("PATH", oldPath.c_str(), 1);
  EXPECT_EQ(boxes.Texts().back(), L"Quillmere services restarted.\n");
}

}  // namespace
}  // namespace zolcfg

// The application object must outlive every test and go before the statics.
int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
