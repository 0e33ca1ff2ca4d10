#include "platform/dispatch_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "platform/dispatch_semaphore.h"

TEST(DispatchQueueTest, RunsTasksInSubmissionOrderOnItsOwnThread) {
  DispatchQueue queue("test.order");
  std::vector<int> seen;
  for (int i = 0; i < 100; ++i) {
    queue.async([&seen, i, &queue] {
      EXPECT_TRUE(queue.isCurrent());
      seen.push_back(i);
    });
  }
  queue.sync([] {});
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_FALSE(queue.isCurrent());
}

TEST(DispatchQueueTest, SyncReturnsValueAndRethrows) {
  DispatchQueue queue("test.sync");
  EXPECT_EQ(queue.sync([] { return 42; }), 42);
  EXPECT_EQ(queue.sync([] { return DispatchQueue::current()->label(); }), "test.sync");
  EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
  // The queue survives a throwing task, sync or async.
  queue.async([] { throw std::logic_error("dropped"); });
  EXPECT_EQ(queue.sync([] { return 7; }), 7);
}

TEST(DispatchQueueTest, SyncCarriesTheCallersContextAndNothingElseDoes) {
  DispatchQueue outer("test.outer");
  DispatchQueue inner("test.inner");
  int mine = 0;
  void* previous = DispatchQueue::exchangeCallerContext(&mine);
  // Through a sync, and through a sync made from inside it onto another queue.
  EXPECT_EQ(outer.sync([] { return DispatchQueue::callerContext(); }), &mine);
  EXPECT_EQ(outer.sync([&] { return inner.sync([] { return DispatchQueue::callerContext(); }); }),
            &mine);
  // A task queued asynchronously, even from within a sync block, runs without one.
  std::atomic<void*> seenByAsync{&outer};
  outer.sync([&] { inner.async([&] { seenByAsync = DispatchQueue::callerContext(); }); });
  inner.sync([] {});
  EXPECT_EQ(seenByAsync.load(), nullptr);
  // The queue's thread gives the context back when the block ends, also when it threw.
  EXPECT_THROW(outer.sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
  DispatchQueue::exchangeCallerContext(previous);
  EXPECT_EQ(outer.sync([] { return DispatchQueue::callerContext(); }), nullptr);
  EXPECT_EQ(DispatchQueue::callerContext(), previous);
}

TEST(DispatchQueueTest, DelayedTasksRunInDeadlineOrderAfterReadyOnes) {
  DispatchQueue queue("test.delay");
  std::vector<int> seen;
  DispatchSemaphore done;
  queue.asyncAfter(0.05, [&] {
    seen.push_back(2);
    done.signal();
  });
  queue.asyncAfter(0.01, [&] { seen.push_back(1); });
  queue.async([&] { seen.push_back(0); });
  ASSERT_EQ(done.wait(DispatchSemaphore::deadlineAfter(10)), DispatchWaitResult::success);
  queue.sync([] {});
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));
}

#ifdef VELNOR_DEBUG
TEST(DispatchQueueDeathTest, SyncOnOwnQueueFailsLoudly) {
  EXPECT_DEATH(
      {
        DispatchQueue queue("test.self");
        queue.sync([&] { queue.sync([] {}); });
      },
      "sync called on its own queue \"test.self\"");
}
#endif

TEST(DispatchSemaphoreTest, CountsSignalsAndTimesOut) {
  DispatchSemaphore sem;
  EXPECT_EQ(sem.wait(DispatchSemaphore::deadlineAfter(-1)), DispatchWaitResult::timedOut);
  sem.signal();
  sem.signal();
  EXPECT_EQ(sem.wait(DispatchSemaphore::deadlineAfter(0)), DispatchWaitResult::success);
  EXPECT_EQ(sem.wait(DispatchSemaphore::deadlineAfter(0)), DispatchWaitResult::success);
  EXPECT_EQ(sem.wait(DispatchSemaphore::deadlineAfter(0.01)), DispatchWaitResult::timedOut);
}
