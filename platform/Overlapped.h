#pragma once
// One overlapped operation: the shape the virtual serial port's transfers and
// the HID interface's reports share, and the wait that completes a pending
// one. Windows: an OVERLAPPED with its own event, GetOverlappedResult,
// CancelIo. Linux: a non-blocking transfer whose descriptor is the
// completion; the result is the transfer tried again.
//
// Errors are Win32 numbers in sys::LastError().
#include <cstdint>
#include <functional>

#include "platform/ErrorNumbers.h"
#include "platform/Event.h"

namespace sys {

enum class IoState { Done, Pending, Failed };

// How a start went. It converts to true only when done, so a start reads as
// the ReadFile it wraps: a pending one also leaves ERROR_IO_PENDING in
// LastError(), a failed one its error.
struct IoStart {
  IoState state;
  constexpr operator bool() const { return state == IoState::Done; }  // NOLINT: implicit on purpose
};

// One operation at a time. Start, then either it is done at once or pending;
// a pending one is waited for through Completion() (with other items in
// sys::WaitAny) and finished by Result(), or ended by Cancel().
class Overlapped {
 public:
  // Reads or writes length bytes at buffer; *transferred (may be null) is
  // set when done. The buffer stays valid until a pending operation ends.
  virtual IoStart Start(void* buffer, std::uint32_t length, std::uint32_t* transferred) = 0;
  // Signalled when a pending operation can be finished.
  virtual WaitItem Completion() = 0;
  // The result without waiting: true with *transferred once done (a write
  // only when all its bytes went); false with ERROR_IO_INCOMPLETE while it
  // still goes on, or with its error.
  virtual bool Result(std::uint32_t* transferred) = 0;
  // Cancels a pending operation and waits until it has ended; nothing when
  // none is pending.
  virtual void Cancel() = 0;
  virtual bool IsPending() const = 0;

 protected:
  ~Overlapped() = default;
};

// How AwaitIo waits for a pending operation.
struct IoWait {
  // Ends the wait when signalled: the operation is cancelled. May be null.
  Event* stop = nullptr;
  // For each wait; kInfinite waits for ever.
  std::uint32_t timeoutMs = errnum::kInfinite;
  // The stop comes before the completion in the wait, so it wins when both
  // are signalled; else the completion does.
  bool stopFirst = false;
  // A wake before the end (a write that went only in part) waits again
  // instead of cancelling.
  bool untilDone = false;
  // A failed wait is taken as a wake (the result tells how things stand);
  // else it cancels the operation.
  bool failedWaitWakes = false;
  // Called with the first wait's result (WaitAny's, over the items in the
  // order above) before anything else is done; for log lines.
  std::function<void(std::uint32_t)> onWake;
};

enum class IoEnding {
  Done,        // finished: transferred is set
  Failed,      // the operation failed with error
  Incomplete,  // woken before it finished: cancelled (ERROR_IO_INCOMPLETE)
  Stopped,     // the stop came: cancelled (ERROR_OPERATION_ABORTED)
  TimedOut,    // not finished in time: cancelled (ERROR_TIMEOUT)
  WaitFailed,  // the wait itself failed with error: cancelled
};

struct IoResult {
  IoEnding ending;
  std::uint32_t error = 0;  // 0 when done, else the Win32 number to report
  std::uint32_t transferred = 0;
};

// Waits for a pending operation as wait says and fetches its result; it is no
// longer pending afterwards, however it ended.
IoResult AwaitIo(Overlapped& io, const IoWait& wait);

}  // namespace sys
