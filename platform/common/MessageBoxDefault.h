#pragma once
// Internal: the platform's own presenter, used when no program installed one.
#include "platform/MessageBox.h"

namespace sys::detail {

MessageAnswer DefaultMessagePresenter(const MessageBoxRequest& request);

}  // namespace sys::detail
