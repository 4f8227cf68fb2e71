#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/DynamicLibrary.h"
#include "platform/Process.h"
#include "platform/Thread.h"
#include "platform/Time.h"

namespace {

TEST(ProcessTest, ExecutablePathIsTheFullPathOfThisProgram) {
  const auto path = sys::ExecutablePath();
  ASSERT_TRUE(path.has_value());
  const auto slash = path->rfind(sys::PathSeparator());
  ASSERT_NE(slash, std::wstring::npos);
  EXPECT_EQ(path->substr(slash + 1, 13), L"platform_test");
  // The code of this test lives in the executable itself.
  EXPECT_EQ(sys::ModulePathOf(reinterpret_cast<const void*>(&sys::ExecutablePath)), *path);
}

TEST(ProcessTest, ThreadIdsDifferBetweenThreadsAndStayWithinOne) {
  const std::uint32_t mine = sys::CurrentThreadId();
  EXPECT_EQ(sys::CurrentThreadId(), mine);
  std::uint32_t other = mine;
  std::thread([&] { other = sys::CurrentThreadId(); }).join();
  EXPECT_NE(other, mine);
  EXPECT_NE(sys::CurrentProcessId(), 0u);
}

TEST(ProcessTest, TickCountAndClocksAreSane) {
  // The tick count may advance in steps of up to 16 ms.
  const std::uint64_t before = sys::TickCountMs();
  const auto start = std::chrono::steady_clock::now();
  sys::SleepMs(60);
  const auto slept = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  const std::uint64_t ticks = sys::TickCountMs() - before;
  EXPECT_GE(slept.count(), 59);
  EXPECT_GE(ticks + 17, static_cast<std::uint64_t>(slept.count()));
  EXPECT_LE(ticks, static_cast<std::uint64_t>(slept.count()) + 17);

  std::int64_t seconds = 0;
  std::uint16_t ms = 0;
  sys::NowEpoch(seconds, ms);
  EXPECT_GT(seconds, 1700000000);  // after 2023
  EXPECT_LT(ms, 1000);
  const sys::LocalTime t = sys::NowLocal();
  EXPECT_GE(t.year, 2023);
  EXPECT_TRUE(t.month >= 1 && t.month <= 12);
  EXPECT_TRUE(t.day >= 1 && t.day <= 31);
  EXPECT_TRUE(t.hour >= 0 && t.hour <= 23);
  EXPECT_TRUE(t.minute >= 0 && t.minute <= 59);
  EXPECT_TRUE(t.second >= 0 && t.second <= 59);
  EXPECT_TRUE(t.millisecond >= 0 && t.millisecond <= 999);
}

}  // namespace
