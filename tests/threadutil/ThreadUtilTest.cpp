#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "common/thread/ThreadUtil.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "tests/support/Wait.h"

namespace {

using std::chrono::milliseconds;
using zoltest::Clock;
using zoltest::WaitFor;
// What these tests have always allowed a worker.
constexpr milliseconds kWait{10000};

// Counts its steps; each step returns at once.
class QuickWorker : public CThreadUtil {
 public:
  ~QuickWorker() override { StopAndJoin(); }
  std::atomic<int> steps{0};
  std::atomic<int> stepsBegunAfterStop{0};
  std::atomic<int> exits{0};
  std::atomic<DWORD> exitThread{0};

 protected:
  void Run() override {
    if (IsStopRequested()) ++stepsBegunAfterStop;
    ++steps;
  }
  void OnExit() override {
    ++exits;
    exitThread = sys::CurrentThreadId();
  }
};

// A step that blocks on a gate the test controls, not on the stop request.
class BlockedWorker : public CThreadUtil {
 public:
  explicit BlockedWorker(sys::Event& gate) : m_gate(gate) {}
  ~BlockedWorker() override {
    StopAndJoin();
    if (destroyedAfterWorker) *destroyedAfterWorker = m_stepFinished.load();
  }
  std::atomic<bool> inStep{false};
  std::atomic<bool>* stopReturned = nullptr;
  std::atomic<bool>* destroyedAfterWorker = nullptr;  // set by the destructor

  DWORD Stop() override {
    const DWORD result = CThreadUtil::Stop();
    if (stopReturned) *stopReturned = true;
    return result;
  }

 protected:
  void Run() override {
    inStep = true;
    m_gate.Wait(INFINITE);
    m_payload.assign(64, 'x');  // uses the object's members after the long block
    m_stepFinished = true;
  }

 private:
  sys::Event& m_gate;
  std::string m_payload;
  std::atomic<bool> m_stepFinished{false};
};

// A step that waits on the stop request as well as on its work.
class StopAwareWorker : public CThreadUtil {
 public:
  ~StopAwareWorker() override { StopAndJoin(); }
  sys::Event work;
  std::atomic<int> items{0};
  std::atomic<bool> waiting{false};

 protected:
  void Run() override {
    waiting = true;
    if (sys::WaitAny({StopEvent(), work}, INFINITE) == 1) {
      work.Reset();
      ++items;
    }
  }
};

TEST(ThreadUtilTest, StopEndsAQuickWorkerAfterAtMostOneMoreStep) {
  QuickWorker worker;
  ASSERT_EQ(worker.Start(), 0u);
  EXPECT_TRUE(worker.IsStarted());
  EXPECT_NE(worker.ThreadId(), 0u);
  EXPECT_NE(worker.ThreadId(), sys::CurrentThreadId());
  ASSERT_TRUE(WaitFor([&] { return worker.steps.load() >= 3; }, kWait));  // Run repeats

  EXPECT_EQ(worker.Stop(), 0u);
  EXPECT_TRUE(WaitFor([&] { return worker.HasExited(); }, kWait));  // set just after the done event
  EXPECT_LE(worker.stepsBegunAfterStop.load(), 1);
  EXPECT_EQ(worker.exits.load(), 1);
  EXPECT_EQ(worker.exitThread.load(), worker.ThreadId());
  const int steps = worker.steps.load();
  EXPECT_EQ(worker.Stop(), 0u);  // a second stop finds the worker done
  EXPECT_EQ(worker.steps.load(), steps);
  EXPECT_EQ(worker.exits.load(), 1);
}

TEST(ThreadUtilTest, RunIsCalledAtLeastOnceEvenWhenStoppedAtOnce) {
  QuickWorker worker;
  ASSERT_EQ(worker.Start(), 0u);
  EXPECT_EQ(worker.StopAndJoin(), 0u);
  EXPECT_GE(worker.steps.load(), 1);
  EXPECT_EQ(worker.exits.load(), 1);
}

TEST(ThreadUtilTest, StopTimesOutAfter2500MsWhileAStepBlocks) {
  sys::Event gate;
  BlockedWorker worker(gate);
  ASSERT_EQ(worker.Start(), 0u);
  ASSERT_TRUE(WaitFor([&] { return worker.inStep.load(); }, kWait));
  const auto start = Clock::now();
  EXPECT_EQ(worker.Stop(), WAIT_TIMEOUT);
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, milliseconds(2450));
  EXPECT_LT(elapsed, milliseconds(10000));
  EXPECT_FALSE(worker.HasExited());
  gate.Set();
  EXPECT_EQ(worker.StopAndJoin(), 0u);  // the step ended, so the worker has too
  EXPECT_TRUE(worker.HasExited());
}

TEST(ThreadUtilTest, DestructionWaitsForAWorkerStillBlockedAfterStop) {
  sys::Event gate;
  std::atomic<bool> stopReturned{false};
  auto worker = std::make_unique<BlockedWorker>(gate);
  worker->stopReturned = &stopReturned;
  ASSERT_EQ(worker->Start(), 0u);
  ASSERT_TRUE(WaitFor([&] { return worker->inStep.load(); }, kWait));

  // Opens the gate only once Stop has given up on the blocked step.
  std::thread opener([&] {
    if (WaitFor([&] { return stopReturned.load(); }, kWait)) gate.Set();
  });
  std::atomic<bool> destroyedAfterWorker{false};
  worker->destroyedAfterWorker = &destroyedAfterWorker;
  worker.reset();
  opener.join();
  EXPECT_TRUE(stopReturned.load());
  EXPECT_TRUE(destroyedAfterWorker);
}

TEST(ThreadUtilTest, AStepWaitingOnTheStopRequestEndsPromptly) {
  StopAwareWorker worker;
  ASSERT_EQ(worker.Start(), 0u);
  worker.work.Set();
  ASSERT_TRUE(WaitFor([&] { return worker.items.load() == 1 && worker.waiting.load(); }, kWait));
  const auto start = Clock::now();
  EXPECT_EQ(worker.Stop(), 0u);
  EXPECT_LT(Clock::now() - start, milliseconds(2500));  // not the time-out
  EXPECT_TRUE(WaitFor([&] { return worker.HasExited(); }, kWait));
}

TEST(ThreadUtilTest, AnObjectNeverStartedHasNothingToStopOrAwait) {
  struct Case {
    const char* name;
    bool callStop;
  };
  const Case cases[] = {{"destroyed only", false}, {"stopped, then destroyed", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto worker = std::make_unique<QuickWorker>();
    EXPECT_FALSE(worker->IsStarted());
    EXPECT_EQ(worker->ThreadId(), 0u);
    if (c.callStop) {
      EXPECT_EQ(worker->Stop(), WAIT_FAILED);  // no done event to test
    }
    worker.reset();
  }
}

TEST(ThreadUtilTest, AnObjectStartsOnce) {
  QuickWorker worker;
  ASSERT_EQ(worker.Start(), 0u);
  const DWORD id = worker.ThreadId();
  EXPECT_EQ(worker.Start(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(worker.ThreadId(), id);
  EXPECT_EQ(worker.StopAndJoin(), 0u);
}

}  // namespace
