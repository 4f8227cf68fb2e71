// The Qt window driven as a user would: offscreen, with real widgets, and the
// message boxes answered by the test.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

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

}  // namespace
}  // namespace zolcfg

// The application object must outlive every test and go before the statics.
int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
