// The device-list lock: granted in request order, and its waits can be called off.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/hid/FifoLock.h"
#include "tests/msr/MsrTestSupport.h"

namespace {

using msrtest::WaitFor;

// The status cycle releases the lock and asks for it again at once; a
// re-enumeration already waiting must get it first.
TEST(FifoLockTest, AWaitingThreadGoesBeforeTheOneThatJustReleased) {
  FifoLock lock;
  std::mutex orderLock;
  std::vector<std::string> order;
  const auto note = [&](const char* who) {
    std::lock_guard<std::mutex> guard(orderLock);
    order.push_back(who);
  };
  ASSERT_TRUE(lock.Acquire());
  std::thread waiter([&] {
    ASSERT_TRUE(lock.Acquire());
    note("waiter");
    lock.Release();
  });
  ASSERT_TRUE(WaitFor([&] { return lock.Waiting() == 1; }));
  lock.Release();
  ASSERT_TRUE(lock.Acquire());
  note("cycle");
  lock.Release();
  waiter.join();
  EXPECT_EQ(order, (std::vector<std::string>{"waiter", "cycle"}));
  EXPECT_EQ(lock.Waiting(), 0u);
}

TEST(FifoLockTest, CloseCallsOffEveryWait) {
  FifoLock lock;
  ASSERT_TRUE(lock.Acquire());
  std::vector<std::future<bool>> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.push_back(std::async(std::launch::async, [&] { return lock.Acquire(); }));
  }
  ASSERT_TRUE(WaitFor([&] { return lock.Waiting() == 3; }));
  lock.Close();
  for (auto& w : waiters) {
    ASSERT_EQ(w.wait_for(std::chrono::milliseconds(msrtest::kDeadlineMs)), std::future_status::ready);
    EXPECT_FALSE(w.get());
  }
  lock.Release();  // the holder still releases normally
  EXPECT_FALSE(lock.Acquire());
}

}  // namespace
