// The handle owner with real descriptors: each is closed exactly once, by the
// owner that holds it last. A second close would hit whatever descriptor took
// the number meanwhile, so the cases hand the number to a new descriptor
// before a moved-from owner ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <utility>

#include "platform/posix/UniqueFd.h"

namespace {

using sys::posix::UniqueFd;

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// Gives the number fd to a new descriptor (fd must be closed).
void Reuse(int fd) {
  const int spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(spare, 0);
  if (spare == fd) return;  // the open took the number itself
  ASSERT_EQ(::dup2(spare, fd), fd);
  ::close(spare);
}

struct Case {
  const char* name;
  std::function<void(int a, int b)> run;
  bool aOpenAfter;
  bool bOpenAfter;
};

const Case kCases[] = {
    {"the destructor closes", [](int a, int) { UniqueFd h(a); }, false, true},
    {"release gives the descriptor up",
     [](int a, int) {
       UniqueFd h(a);
       EXPECT_EQ(h.Release(), a);
       EXPECT_FALSE(h.IsValid());
     },
     true, true},
    {"a moved-from owner closes nothing",
     [](int a, int) {
       UniqueFd source(a);
       {
         UniqueFd target(std::move(source));
         EXPECT_FALSE(source.IsValid());
         EXPECT_EQ(target.Get(), a);
       }
       EXPECT_FALSE(IsOpen(a));
       Reuse(a);
     },
     true, true},
    {"move assignment closes the target's own descriptor at once",
     [](int a, int b) {
       UniqueFd target(a);
       UniqueFd source(b);
       target = std::move(source);
       EXPECT_FALSE(IsOpen(a));
       EXPECT_TRUE(IsOpen(b));
       target.Reset();
       EXPECT_FALSE(IsOpen(b));
       Reuse(b);
     },
     false, true},
    {"move assignment to itself keeps the descriptor",
     [](int a, int) {
       UniqueFd h(a);
       UniqueFd& same = h;
       h = std::move(same);
       EXPECT_TRUE(IsOpen(a));
       EXPECT_EQ(h.Get(), a);
     },
     false, true},
    {"reset closes the old and owns the new",
     [](int a, int b) {
       UniqueFd h(a);
       h.Reset(b);
       EXPECT_FALSE(IsOpen(a));
       EXPECT_TRUE(IsOpen(b));
     },
     false, false},
    {"receive closes the one held before the call fills it",
     [](int a, int b) {
       UniqueFd h(a);
       int* slot = h.Receive();
       EXPECT_FALSE(IsOpen(a));
       EXPECT_FALSE(h.IsValid());
       *slot = b;
       EXPECT_EQ(h.Get(), b);
     },
     false, false},
    {"an invalid value is never closed",
     [](int, int) {
       UniqueFd none;
       UniqueFd failed(-1);
       EXPECT_FALSE(none.IsValid());
       EXPECT_FALSE(static_cast<bool>(failed));
     },
     true, true},
};

TEST(ScopedHandlePosixTest, ClosesEachDescriptorOnce) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    c.run(p[0], p[1]);
    EXPECT_EQ(IsOpen(p[0]), c.aOpenAfter);
    EXPECT_EQ(IsOpen(p[1]), c.bOpenAfter);
    for (int fd : p) {
      if (IsOpen(fd)) ::close(fd);
    }
  }
}

}  // namespace
