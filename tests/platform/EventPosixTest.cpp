#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/Error.h"
#include "platform/Event.h"
#include "platform/WinTypes.h"

namespace {

struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0); }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  void CloseRead() {
    if (fds[0] >= 0) close(fds[0]);
    fds[0] = -1;
  }
  void CloseWrite() {
    if (fds[1] >= 0) close(fds[1]);
    fds[1] = -1;
  }
  sys::NativeWaitable Read() const { return {fds[0], false}; }
  sys::NativeWaitable Write() const { return {fds[1], true}; }
};

TEST(EventPosixTest, DescriptorReadinessEndsTheWait) {
  Pipe p;
  sys::Event stop;
  EXPECT_EQ(sys::WaitAny({stop, p.Read()}, 0), WAIT_TIMEOUT);
  ASSERT_EQ(write(p.fds[1], "x", 1), 1);
  EXPECT_EQ(sys::WaitAny({stop, p.Read()}, 0), 1u);
  stop.Set();
  EXPECT_EQ(sys::WaitAny({stop, p.Read()}, 0), 0u);  // the lower index wins
}

TEST(EventPosixTest, WriteReadinessFollowsRoomInThePipe) {
  Pipe p;
  EXPECT_EQ(sys::WaitAny({p.Write()}, 0), 0u);
  char block[4096] = {};
  while (write(p.fds[1], block, sizeof block) > 0) {
  }
  EXPECT_EQ(sys::WaitAny({p.Write()}, 0), WAIT_TIMEOUT);
  char sink[65536];
  while (read(p.fds[0], sink, sizeof sink) > 0) {
  }
  EXPECT_EQ(sys::WaitAny({p.Write()}, 0), 0u);
}

TEST(EventPosixTest, APeerThatClosedCountsAsReady) {
  Pipe p;
  p.CloseWrite();
  EXPECT_EQ(sys::WaitAny({p.Read()}, 1000), 0u);  // hang-up, so a reader sees the end
}

TEST(EventPosixTest, AClosedDescriptorFailsTheWait) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  close(fds[1]);
  const sys::NativeWaitable bad[] = {{fds[0], false}, {-1, false}};
  for (const auto& b : bad) {
    sys::SetLastError(0);
    EXPECT_EQ(sys::WaitAny({b}, 0), WAIT_FAILED);
    EXPECT_EQ(sys::LastError(), ERROR_INVALID_HANDLE);
  }
}

}  // namespace
