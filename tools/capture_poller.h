// Recording what the helper hands out: a thread that takes every queued script as it comes and
// times it, for `velnor-sim capture`.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/capture.h"
#include "tools/helper_client.h"

namespace tool {

using namespace std::chrono_literals;

// The helper hands out at most one script per 0.1 s.
constexpr auto kPacing = 100ms;
constexpr auto kPollInterval = 2ms;

// A script the helper handed out, and when.
struct HandedOut {
  CaptureClock::time_point at;
  std::string script;
  std::string fileName;
  std::string parameters;
  bool held = false;  // it waited in the helper's queue behind the hand-out before it
};

// Takes every script the helper hands out, on a thread of its own with its own connection, so
// that each is timed as it comes whatever the main thread is waiting for.
class ScriptPoller {
 public:
  explicit ScriptPoller(uint16_t port) : client_(port) {}
  ~ScriptPoller() { stop(); }

  // Main thread.
  void start() {
    thread_ = std::thread([this] { run(); });
  }
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  // Waits until a script satisfies `pred` (or the poller fails) until `deadline`; returns it.
  // Main thread.
  template <class Pred>
  std::optional<HandedOut> waitFor(Pred pred, CaptureClock::time_point deadline) {
    std::unique_lock lock(mutex_);
    std::optional<HandedOut> found;
    changed_.wait_until(lock, deadline, [&] {
      for (const auto& s : scripts_) {
        if (pred(s)) {
          found = s;
          return true;
        }
      }
      return failure_.has_value();
    });
    if (failure_) throw HelperUnreachable(*failure_);
    return found;
  }

  // Waits until the queue answered empty after the pacing that followed the last hand-out and
  // after `since`: everything queued before `since` has then been taken. Main thread.
  bool waitDrained(CaptureClock::time_point since, CaptureClock::time_point deadline) {
    std::unique_lock lock(mutex_);
    bool drained = changed_.wait_until(lock, deadline, [&] {
      return failure_ || (lastEmpty_ > since && lastEmpty_ > lastHandOut_ + kPacing);
    });
    if (failure_) throw HelperUnreachable(*failure_);
    return drained;
  }

  std::vector<HandedOut> scripts() const {
    std::lock_guard lock(mutex_);
    return scripts_;
  }

 private:
  // The poller's thread.
  void run();
  // A hand-out is timed when it arrives; an empty answer when it was asked for, since it tells
  // that nothing was queued before that. The poller's thread.
  void record(const nlohmann::json& script, CaptureClock::time_point asked);

  HelperClient client_;
  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  std::vector<HandedOut> scripts_;
  CaptureClock::time_point lastHandOut_{};
  CaptureClock::time_point lastEmpty_{};
  std::optional<std::string> failure_;
  bool stopping_ = false;
  std::thread thread_;
};

// The last hand-out before which the helper's queue cannot have dropped a script, when it may
// have dropped some after it: a stretch of hand-outs that each waited, longer than the queue holds,
// means it may have been full, and its first kHelperQueueCapacity scripts all came before the
// queue could first drop one. Nothing when no stretch was that long. Any thread.
std::optional<CaptureClock::time_point> lastBeforeOverflow(const std::vector<HandedOut>& scripts);

}  // namespace tool
