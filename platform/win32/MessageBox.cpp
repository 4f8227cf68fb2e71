#include "platform/common/MessageBoxDefault.h"
#include "platform/win32/WinHeaders.h"

namespace sys::detail {

MessageAnswer DefaultMessagePresenter(const MessageBoxRequest& request) {
  UINT flags = MB_OK;
  switch (request.buttons) {
    case MessageButtons::Ok: flags = MB_OK; break;
    case MessageButtons::OkCancel: flags = MB_OKCANCEL; break;
    case MessageButtons::YesNo: flags = MB_YESNO; break;
    case MessageButtons::YesNoCancel: flags = MB_YESNOCANCEL; break;
  }
  switch (request.icon) {
    case MessageIcon::None: break;
    case MessageIcon::Information: flags |= MB_ICONINFORMATION; break;
    case MessageIcon::Warning: flags |= MB_ICONWARNING; break;
    case MessageIcon::Error: flags |= MB_ICONERROR; break;
    case MessageIcon::Question: flags |= MB_ICONQUESTION; break;
  }
  switch (MessageBoxW(nullptr, request.text.c_str(), request.caption.c_str(), flags)) {
    case IDYES: return MessageAnswer::Yes;
    case IDNO: return MessageAnswer::No;
    case IDCANCEL: return MessageAnswer::Cancel;
    case IDOK: return MessageAnswer::Ok;
    default: break;
  }
  // No box could be shown: the default (first) button.
  return (request.buttons == MessageButtons::YesNo || request.buttons == MessageButtons::YesNoCancel)
             ? MessageAnswer::Yes
             : MessageAnswer::Ok;
}

}  // namespace sys::detail
