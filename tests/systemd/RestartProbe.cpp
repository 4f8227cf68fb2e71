// The configuration tool's restart, without its window: answers Yes to the
// question and prints every box it shows, one per line.
#include <cstdio>

#include "configtool/ServiceRestart.h"
#include "platform/MessageBox.h"
#include "platform/Text.h"

int main() {
  sys::SetMessagePresenter([](const sys::MessageBoxRequest& box) {
    std::printf("box: %s\n", sys::ToUtf8(box.text).c_str());
    std::fflush(stdout);
    return box.buttons == sys::MessageButtons::YesNo ? sys::MessageAnswer::Yes : sys::MessageAnswer::Ok;
  });
  zolcfg::RestartServices();
  return 0;
}
