#pragma once
// Internal to the POSIX backend: running a helper program (systemctl) with a
// time limit and collecting its standard output.
#include <cstdint>
#include <string>
#include <vector>

namespace sys::posix {

struct ChildResult {
  bool started = false;   // the program could be run at all
  bool timedOut = false;  // killed after the time limit
  int exitCode = -1;      // its exit status when it ended normally
  std::string output;     // standard output, up to 64 KiB
  std::uint32_t error = 0;  // Win32 number when not started
};

// Runs argv[0] found on PATH with the other arguments, standard input from
// /dev/null; standard error is discarded, or with withErrors joins the output
// (for a program whose complaints say why it failed).
ChildResult RunChild(const std::vector<std::string>& argv, std::uint32_t timeoutMs, bool withErrors = false);

}  // namespace sys::posix
