// Where command threads wait for the callbacks that answer their Bluetooth requests. Every
// attempt gets a new number, a callback answers only the attempts it names, and each answer is
// kept until its own waiter has collected it: a signal that comes too late for one attempt can
// never end the wait of another, and two answers that arrive close together are both delivered.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

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

  // Starts a new attempt and returns its number. The attempt stays open until wait() or forget().
  uint64_t begin();

  // Answers `attempt` with `error` (none for success). Ignored when the attempt is no longer
  // open (its wait ended or it was forgotten) or was answered already.
  void signal(uint64_t attempt, std::optional<CBError> error = std::nullopt);

  // Waits until `attempt` is answered or `deadline` passes, then closes it. A deadline in the
  // past only tests.
  Outcome wait(uint64_t attempt, Clock::time_point deadline);

  // Closes an attempt that nobody will wait for; its answer, if any comes, is dropped.
  void forget(uint64_t attempt);

  // How many attempts are open; for tests.
  size_t openAttempts();

 private:
  std::mutex mutex_;
  std::condition_variable answered_;
  uint64_t latest_ = 0;
  // Open attempts; the value is the answer once there is one.
  std::unordered_map<uint64_t, std::optional<std::optional<CBError>>> open_;
};
