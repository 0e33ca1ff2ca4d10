#include "central/wait_slot.h"

uint64_t WaitSlot::begin() {
  std::lock_guard lock(mutex_);
  return ++latest_;
}

void WaitSlot::signal(uint64_t attempt, std::optional<CBError> error) {
  {
    std::lock_guard lock(mutex_);
    if (attempt != latest_) return;
    answeredAttempt_ = attempt;
    error_ = std::move(error);
  }
  answered_.notify_all();
}

WaitSlot::Outcome WaitSlot::wait(uint64_t attempt, Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  bool answered = answered_.wait_until(lock, deadline, [&] { return answeredAttempt_ == attempt; });
  if (!answered) return {};
  return {DispatchWaitResult::success, error_};
}
