// Where a command thread waits for the callback that answers its Bluetooth request. Every
// attempt gets a new number, and a callback signals only the attempt it answers, so a signal
// that comes too late for one attempt can never end the wait of a later one.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

#include "bluetooth/cb_error.h"
#include "platform/dispatch_semaphore.h"

// Thread-safe: attempts are begun and signalled on a role's queue, waited for on command threads.
class WaitSlot {
 public:
  using Clock = std::chrono::steady_clock;

  struct Outcome {
    DispatchWaitResult result = DispatchWaitResult::timedOut;
    std::optional<CBError> error;  // what the answering callback reported; none on success
  };

  // Starts a new attempt and returns its number. Earlier attempts can no longer be signalled.
  uint64_t begin();

  // Answers `attempt` with `error` (none for success). Ignored unless `attempt` is the latest.
  void signal(uint64_t attempt, std::optional<CBError> error = std::nullopt);

  // Waits until `attempt` is answered or `deadline` passes. A deadline in the past only tests.
  Outcome wait(uint64_t attempt, Clock::time_point deadline);

 private:
  std::mutex mutex_;
  std::condition_variable answered_;
  uint64_t latest_ = 0;
  uint64_t answeredAttempt_ = 0;
  std::optional<CBError> error_;  // the answer of answeredAttempt_
};
