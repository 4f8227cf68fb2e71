#include "platform/Debug.h"
#include "platform/Text.h"
#include "platform/common/MessageBoxDefault.h"

namespace sys::detail {

// Without a window the text goes to standard error and the first button,
// the default one, is the answer.
MessageAnswer DefaultMessagePresenter(const MessageBoxRequest& request) {
  std::wstring line = request.caption.empty() ? request.text : request.caption + L": " + request.text;
  DebugOutput(line);
  switch (request.buttons) {
    case MessageButtons::YesNo:
    case MessageButtons::YesNoCancel: return MessageAnswer::Yes;
    case MessageButtons::Ok:
    case MessageButtons::OkCancel: break;
  }
  return MessageAnswer::Ok;
}

}  // namespace sys::detail
