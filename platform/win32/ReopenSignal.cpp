#include "platform/ReopenSignal.h"

namespace sys {

struct ReopenSignal::Impl {};

ReopenSignal::ReopenSignal() = default;
ReopenSignal::~ReopenSignal() = default;

bool ReopenSignal::Start(std::function<void()>) { return true; }

}  // namespace sys
