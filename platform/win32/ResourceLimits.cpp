#include "platform/ResourceLimits.h"

namespace sys {

// Handles have no per-process soft limit to raise.
void RaiseDescriptorLimit() {}

}  // namespace sys
