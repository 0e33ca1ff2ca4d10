#include "platform/dispatch_semaphore.h"

#include <cmath>

void DispatchSemaphore::signal() {
  {
    std::lock_guard lock(mutex_);
    ++count_;
  }
  cv_.notify_one();
}

DispatchWaitResult DispatchSemaphore::wait(Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_until(lock, deadline, [this] { return count_ > 0; })) {
    return DispatchWaitResult::timedOut;
  }
  --count_;
  return DispatchWaitResult::success;
}

DispatchSemaphore::Clock::time_point DispatchSemaphore::deadlineAfter(double seconds) {
  constexpr double kCentury = 100.0 * 365 * 24 * 3600;
  if (std::isnan(seconds)) seconds = 0;
  if (seconds > kCentury) seconds = kCentury;
  if (seconds < -kCentury) seconds = -kCentury;
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}
