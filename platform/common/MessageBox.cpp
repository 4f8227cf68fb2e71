#include "platform/MessageBox.h"

#include <mutex>
#include <utility>

#include "platform/common/MessageBoxDefault.h"

namespace sys {
namespace {

std::mutex g_presenterLock;
MessagePresenter g_presenter;

}  // namespace

MessagePresenter SetMessagePresenter(MessagePresenter presenter) {
  std::lock_guard<std::mutex> lock(g_presenterLock);
  return std::exchange(g_presenter, std::move(presenter));
}

MessageAnswer ShowMessageBox(const MessageBoxRequest& request) {
  MessagePresenter presenter;
  {
    // Called outside the lock: a presenter may run a modal loop for long.
    std::lock_guard<std::mutex> lock(g_presenterLock);
    presenter = g_presenter;
  }
  return presenter ? presenter(request) : detail::DefaultMessagePresenter(request);
}

}  // namespace sys
