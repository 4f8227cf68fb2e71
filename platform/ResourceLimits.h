#pragma once
// Process resource limits a long-running service adjusts at start.
namespace sys {

// Raises the soft limit of open descriptors to the hard limit (Linux; the
// usual soft limit of 1024 is far below what a server with many clients
// needs). Nothing to do on Windows.
void RaiseDescriptorLimit();

}  // namespace sys
