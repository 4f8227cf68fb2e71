#include <gtest/gtest.h>

#include <vector>

#include "platform/MessageBox.h"

namespace {

TEST(MessageBoxTest, AnInstalledPresenterShowsTheRequestAndAnswers) {
  std::vector<sys::MessageBoxRequest> shown;
  const auto previous = sys::SetMessagePresenter([&](const sys::MessageBoxRequest& r) {
    shown.push_back(r);
    return r.buttons == sys::MessageButtons::YesNo ? sys::MessageAnswer::No : sys::MessageAnswer::Cancel;
  });
  EXPECT_FALSE(previous);  // none was installed
  EXPECT_EQ(sys::ShowMessageBox({L"Restart?", L"ZolConfig", sys::MessageIcon::Question, sys::MessageButtons::YesNo}),
            sys::MessageAnswer::No);
  EXPECT_EQ(sys::ShowMessageBox({L"Saved", L"", sys::MessageIcon::Information, sys::MessageButtons::OkCancel}),
            sys::MessageAnswer::Cancel);
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].text, L"Restart?");
  EXPECT_EQ(shown[0].caption, L"ZolConfig");
  EXPECT_EQ(shown[0].icon, sys::MessageIcon::Question);
  const auto mine = sys::SetMessagePresenter({});
  EXPECT_TRUE(mine);
}

}  // namespace
