#include "platform/Overlapped.h"

#include "platform/Error.h"
#include "platform/ErrorNumbers.h"

namespace sys {

using namespace errnum;

IoResult AwaitIo(Overlapped& io, const IoWait& wait) {
  const std::uint32_t stopIndex = wait.stopFirst ? 0 : 1;
  for (bool first = true;; first = false) {
    std::uint32_t rc;
    if (!wait.stop) {
      rc = WaitAny({io.Completion()}, wait.timeoutMs);
    } else if (wait.stopFirst) {
      rc = WaitAny({WaitItem(*wait.stop), io.Completion()}, wait.timeoutMs);
    } else {
      rc = WaitAny({io.Completion(), WaitItem(*wait.stop)}, wait.timeoutMs);
    }
    if (first && wait.onWake) wait.onWake(rc);
    if (wait.stop && rc == stopIndex) {
      // The buffer must outlive the operation: it ends before this returns.
      io.Cancel();
      return {IoEnding::Stopped, kErrorOperationAborted};
    }
    if (rc == kWaitFailed && !wait.failedWaitWakes) {
      const std::uint32_t error = LastError();
      io.Cancel();
      return {IoEnding::WaitFailed, error};
    }
    // After a time-out too: it may have completed just now.
    std::uint32_t transferred = 0;
    if (io.Result(&transferred)) return {IoEnding::Done, 0, transferred};
    const std::uint32_t error = LastError();
    if (error == kErrorIoIncomplete && rc != kWaitTimeout && wait.untilDone) continue;
    io.Cancel();  // nothing to cancel unless it still goes on
    if (error != kErrorIoIncomplete) return {IoEnding::Failed, error};
    if (rc == kWaitTimeout) return {IoEnding::TimedOut, kErrorTimeout};
    return {IoEnding::Incomplete, kErrorIoIncomplete};
  }
}

}  // namespace sys
