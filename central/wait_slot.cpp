#include "central/wait_slot.h"

uint64_t WaitSlot::begin() {
  std::lock_guard lock(mutex_);
  open_.emplace(++latest_, std::nullopt);
  return latest_;
}

void WaitSlot::signal(uint64_t attempt, std::optional<CBError> error) {
  {
    std::lock_guard lock(mutex_);
    auto entry = open_.find(attempt);
    if (entry == open_.end() || entry->second) return;
    entry->second = std::move(error);
  }
  answered_.notify_all();
}

WaitSlot::Outcome WaitSlot::wait(uint64_t attempt, Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  auto isAnswered = [&] {
    auto entry = open_.find(attempt);
    return entry != open_.end() && entry->second.has_value();
  };
  bool answered = answered_.wait_until(lock, deadline, isAnswered);
  Outcome outcome;
  auto entry = open_.find(attempt);
  if (answered && entry != open_.end()) outcome = {DispatchWaitResult::success, *entry->second};
  if (entry != open_.end()) open_.erase(entry);
  return outcome;
}

void WaitSlot::forget(uint64_t attempt) {
  std::lock_guard lock(mutex_);
  open_.erase(attempt);
}

size_t WaitSlot::openAttempts() {
  std::lock_guard lock(mutex_);
  return open_.size();
}
