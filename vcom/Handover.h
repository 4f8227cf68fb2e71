#pragma once
// The opening of a vcomd interface, both ends: vcomd answers a connect with
// the pty master and the state page (SCM_RIGHTS) or a refusal; the opener
// connects and takes them.
#include <cstdint>
#include <string>

#include "platform/posix/UniqueFd.h"
#include "vcom/Failure.h"

namespace vcom {

// vcomd: hands the opening over on the accepted connection (without a page
// when page is -1); true when the whole answer was sent.
bool SendOpening(int connection, int master, int page);
// vcomd: refuses the connection (ERROR_SHARING_VIOLATION for a second opener).
void SendRefusal(int connection, std::uint32_t status);

// What vcomd hands an opener.
struct Opening {
  sys::posix::UniqueFd control;  // the interface socket: the I/O controls
  sys::posix::UniqueFd master;   // the pty master, non-blocking: the data path
  sys::posix::UniqueFd page;     // the state page, when vcomd sent one
};

// The opener: connects to the interface and takes vcomd's answer. Each wait
// (a connect to a full backlog, the answer, later each I/O control) is
// bounded by answerLimitMs. False with why.
bool OpenInterface(const std::string& path, int answerLimitMs, Opening& out, Failure& why);

}  // namespace vcom
