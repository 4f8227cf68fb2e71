#pragma once
// Message boxes. A program with a window installs its own presenter (the
// configuration tool does); without one the text goes to standard error and
// the default answer is returned.
#include <functional>
#include <string>

namespace sys {

enum class MessageIcon { None, Information, Warning, Error, Question };
enum class MessageButtons { Ok, YesNo, YesNoCancel, OkCancel };
enum class MessageAnswer { Ok, Yes, No, Cancel };

struct MessageBoxRequest {
  std::wstring text;
  std::wstring caption;
  MessageIcon icon = MessageIcon::None;
  MessageButtons buttons = MessageButtons::Ok;
};

using MessagePresenter = std::function<MessageAnswer(const MessageBoxRequest&)>;

// Replaces the presenter (an empty one restores the default); returns the old one.
MessagePresenter SetMessagePresenter(MessagePresenter presenter);
MessageAnswer ShowMessageBox(const MessageBoxRequest& request);

}  // namespace sys
