#include <gtest/gtest.h>

#include "platform/Debug.h"
#include "platform/MessageBox.h"

namespace {

TEST(OutputPosixTest, DebugOutputIsOneLineOnStandardError) {
  struct Case {
    std::wstring text;
    std::string line;
  };
  const Case cases[] = {
      {L"[ZOL]: /opt/halvern/zol/bin/ZolConfig.xml", "[ZOL]: /opt/halvern/zol/bin/ZolConfig.xml\n"},
      {L"ends in a newline\n", "ends in a newline\n"},
      {L"caf\u00E9", "caf\xC3\xA9\n"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    sys::DebugOutput(c.text);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
  }
}

TEST(OutputPosixTest, WithoutAPresenterAMessageGoesToStandardErrorWithTheDefaultAnswer) {
  struct Case {
    sys::MessageButtons buttons;
    sys::MessageAnswer answer;
  };
  const Case cases[] = {{sys::MessageButtons::Ok, sys::MessageAnswer::Ok},
                        {sys::MessageButtons::OkCancel, sys::MessageAnswer::Ok},
                        {sys::MessageButtons::YesNo, sys::MessageAnswer::Yes},
                        {sys::MessageButtons::YesNoCancel, sys::MessageAnswer::Yes}};
  sys::SetMessagePresenter({});
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(sys::ShowMessageBox({L"Access is denied.", L"ZolConfig", sys::MessageIcon::Error, c.buttons}), c.answer);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ZolConfig: Access is denied.\n");
  }
}

}  // namespace
