// Counting semaphore with a deadline wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

enum class DispatchWaitResult { success, timedOut };

// Any thread may signal or wait.
class DispatchSemaphore {
 public:
  using Clock = std::chrono::steady_clock;

  explicit DispatchSemaphore(int64_t count = 0) : count_(count) {}

  // Raises the count by one and wakes one waiter.
  void signal();

  // Takes one from the count, waiting until `deadline` at most. A deadline in the past only
  // tests the count.
  DispatchWaitResult wait(Clock::time_point deadline);

  // Deadline of now plus `seconds` (negative gives a deadline already past; huge values are
  // clamped to about a century).
  static Clock::time_point deadlineAfter(double seconds);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int64_t count_;
};
