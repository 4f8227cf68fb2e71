#include "platform/ResourceLimits.h"

#include <sys/resource.h>

namespace sys {

void RaiseDescriptorLimit() {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur >= r.rlim_max) return;
  r.rlim_cur = r.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &r);
}

}  // namespace sys
