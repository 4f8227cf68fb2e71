#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Error.h"
#include "platform/Event.h"
#include "platform/WinTypes.h"

namespace {

using sys::Event;

struct ResetCase {
  const char* name;
  Event::ResetMode mode;
  bool initiallySet;
  DWORD first;   // Wait(0) right after construction (and Set when not initially set)
  DWORD second;  // Wait(0) again
};

TEST(EventTest, ManualStaysSetAutoIsConsumedByAWait) {
  const ResetCase cases[] = {
      {"manual, set later", Event::Reset::Manual, false, WAIT_OBJECT_0, WAIT_OBJECT_0},
      {"manual, initially set", Event::Reset::Manual, true, WAIT_OBJECT_0, WAIT_OBJECT_0},
      {"auto, set later", Event::Reset::Auto, false, WAIT_OBJECT_0, WAIT_TIMEOUT},
      {"auto, initially set", Event::Reset::Auto, true, WAIT_OBJECT_0, WAIT_TIMEOUT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Event event(c.mode, c.initiallySet);
    ASSERT_TRUE(event.IsValid());
    EXPECT_EQ(event.IsAuto(), c.mode == Event::Reset::Auto);
    if (!c.initiallySet) {
      EXPECT_EQ(event.Wait(0), WAIT_TIMEOUT);
      event.Set();
    }
    EXPECT_EQ(event.Wait(0), c.first);
    EXPECT_EQ(event.Wait(0), c.second);
    event.Set();
    event.Set();  // setting twice is still one signal
    event.Reset();
    EXPECT_FALSE(event.Test());
    event.Set();
    event.Set();
    EXPECT_TRUE(event.Test());
    EXPECT_EQ(event.Test(), !event.IsAuto());
  }
}

TEST(EventTest, WaitAnyReturnsTheLowestSignalledIndex) {
  struct Case {
    std::vector<int> set;
    DWORD expected;
  };
  const Case cases[] = {
      {{0}, 0}, {{2}, 2}, {{1, 2}, 1}, {{3, 1}, 1}, {{0, 1, 2, 3}, 0}, {{}, WAIT_TIMEOUT},
  };
  for (const auto& c : cases) {
    std::array<Event, 4> events;
    for (int i : c.set) events[static_cast<std::size_t>(i)].Set();
    EXPECT_EQ(sys::WaitAny({events[0], events[1], events[2], events[3]}, 0), c.expected);
  }
}

TEST(EventTest, OnlyTheAutoEventThatEndsTheWaitIsConsumed) {
  Event first(Event::Reset::Auto), second(Event::Reset::Auto);
  first.Set();
  second.Set();
  EXPECT_EQ(sys::WaitAny({first, second}, 0), 0u);
  EXPECT_EQ(sys::WaitAny({first, second}, 0), 1u);
  EXPECT_EQ(sys::WaitAny({first, second}, 0), WAIT_TIMEOUT);
}

TEST(EventTest, TimesOutAfterTheLimit) {
  Event a, b(Event::Reset::Auto);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sys::WaitAny({a, b}, 50), WAIT_TIMEOUT);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(45));
}

TEST(EventTest, WakesAWaiterOnAnotherThread) {
  Event ready, go(Event::Reset::Auto);
  std::atomic<DWORD> result{WAIT_FAILED};
  std::thread waiter([&] {
    ready.Set();
    result = sys::WaitAny({go}, 10000);
  });
  ASSERT_EQ(ready.Wait(10000), 0u);
  go.Set();
  waiter.join();
  EXPECT_EQ(result.load(), 0u);
  EXPECT_FALSE(go.Test());  // consumed by the waiter
}

TEST(EventTest, OneSetOfAnAutoEventReleasesOneWaiter) {
  Event go(Event::Reset::Auto);
  std::atomic<int> released{0}, timedOut{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      const DWORD r = go.Wait(500);
      (r == 0 ? released : timedOut)++;
    });
  }
  go.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 1);
  EXPECT_EQ(timedOut.load(), 2);
}

TEST(EventTest, ABadListFails) {
  std::vector<Event> many(65);
  std::vector<sys::WaitItem> items(many.begin(), many.end());
  sys::SetLastError(0);
  EXPECT_EQ(sys::WaitAny(std::span<const sys::WaitItem>(items.data(), 0), 0), WAIT_FAILED);
  EXPECT_EQ(sys::LastError(), ERROR_INVALID_PARAMETER);
  sys::SetLastError(0);
  EXPECT_EQ(sys::WaitAny(items, 0), WAIT_FAILED);
  EXPECT_EQ(sys::LastError(), ERROR_INVALID_PARAMETER);
  many[63].Set();
  EXPECT_EQ(sys::WaitAny(std::span<const sys::WaitItem>(items.data(), 64), 0), 63u);
}

TEST(EventTest, AnEventIsAWaitableNativeObject) {
  Event event;
  sys::NativeWaitable native = event.Waitable();
  EXPECT_EQ(sys::WaitAny({native}, 0), WAIT_TIMEOUT);
  event.Set();
  EXPECT_EQ(sys::WaitAny({native}, 0), 0u);
}

}  // namespace
