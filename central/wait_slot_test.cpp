#include "central/wait_slot.h"

#include <gtest/gtest.h>

namespace {

WaitSlot::Clock::time_point soon() {
  return WaitSlot::Clock::now() + std::chrono::seconds(10);
}
WaitSlot::Clock::time_point past() {
  return WaitSlot::Clock::now() - std::chrono::seconds(1);
}

TEST(WaitSlotTest, AnswersArrivingBeforeTheirWaitersAreAllKept) {
  WaitSlot slot;
  uint64_t first = slot.begin();
  uint64_t second = slot.begin();
  slot.signal(first);
  slot.signal(second, CBError{"CBErrorDomain", 7, "Second failed."});
  auto later = slot.wait(second, soon());
  auto earlier = slot.wait(first, soon());
  EXPECT_EQ(earlier.result, DispatchWaitResult::success);
  EXPECT_FALSE(earlier.error);
  EXPECT_EQ(later.result, DispatchWaitResult::success);
  ASSERT_TRUE(later.error);
  EXPECT_EQ(later.error->localizedDescription, "Second failed.");
  EXPECT_EQ(slot.openAttempts(), 0U);
}

TEST(WaitSlotTest, LateAndRepeatedSignalsEndNoOtherWait) {
  WaitSlot slot;
  uint64_t timedOut = slot.begin();
  EXPECT_EQ(slot.wait(timedOut, past()).result, DispatchWaitResult::timedOut);
  uint64_t unwaited = slot.begin();
  slot.forget(unwaited);
  uint64_t current = slot.begin();
  slot.signal(timedOut);
  slot.signal(unwaited);
  EXPECT_EQ(slot.wait(current, past()).result, DispatchWaitResult::timedOut);
  EXPECT_EQ(slot.openAttempts(), 0U);

  // The first answer counts; a second one for the same attempt is dropped.
  uint64_t answered = slot.begin();
  slot.signal(answered);
  slot.signal(answered, CBError{"CBErrorDomain", 1, "Too late."});
  EXPECT_FALSE(slot.wait(answered, past()).error);
}

}  // namespace
