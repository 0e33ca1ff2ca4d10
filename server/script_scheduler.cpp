#include "server/script_scheduler.h"

#include <atomic>
#include <deque>
#include <utility>

#include "platform/dispatch_queue.h"
#include "platform/system_log.h"

namespace {

double wallClockNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The process-wide state; everything but `queue` and `outstanding` is touched only by tasks on
// `queue`.
struct SchedulerState {
  // Records in the list plus queuing tasks not yet run. Zero means a poll would find the list
  // empty even after every queuing task submitted so far, so the poll can answer without
  // waiting for the queue's thread (polls are frequent and mostly find nothing).
  std::atomic<size_t> outstanding{0};
  std::deque<FileMakerScript> scheduledScripts;
  ScriptScheduler::Clock clock = wallClockNow;
  double lastExecutionTime = wallClockNow();
  double minExecutionInterval = 0.1;
  unsigned long maxScheduled = 100;
  // Last, so that it is destroyed first: its thread runs the tasks already queued and ends
  // while the list they touch is still there (at process exit).
  DispatchQueue queue{"script.scheduler"};
};

// Created on the first message to the scheduler (thread-safe), like a class initialiser.
SchedulerState& state() {
  static SchedulerState s;
  return s;
}

}  // namespace

void ScriptScheduler::scheduleScript(const std::string& scriptName, const std::string& fileName,
                                     const std::string& param) {
  FileMakerScript script(scriptName, fileName, param);
  SchedulerState& s = state();
  s.outstanding.fetch_add(1);
  s.queue.async([&s, script = std::move(script)]() mutable {
    // The length before adding is compared, so the list holds at most maxScheduled + 1.
    if (s.scheduledScripts.size() <= s.maxScheduled) {
      s.scheduledScripts.push_back(std::move(script));
    } else {
      s.outstanding.fetch_sub(1);
      SystemLog::write("ScriptScheduler: Queue overflow error");
    }
  });
}

std::optional<FileMakerScript> ScriptScheduler::dequeueScriptIfTime() {
  SchedulerState& s = state();
  if (s.outstanding.load() == 0) return std::nullopt;
  return s.queue.sync([&s]() -> std::optional<FileMakerScript> {
    if (s.scheduledScripts.empty()) return std::nullopt;
    // Exactly the interval counts as due; a clock set back holds scripts until it catches up.
    if (s.clock() - s.lastExecutionTime < s.minExecutionInterval) return std::nullopt;
    FileMakerScript script = std::move(s.scheduledScripts.front());
    s.scheduledScripts.pop_front();
    s.outstanding.fetch_sub(1);
    s.lastExecutionTime = s.clock();
    return script;
  });
}

void ScriptScheduler::setMinExecutionInterval(double seconds) {
  SchedulerState& s = state();
  s.queue.async([&s, seconds] { s.minExecutionInterval = seconds; });
}

void ScriptScheduler::setMaxScheduled(unsigned long maxScheduled) {
  SchedulerState& s = state();
  s.queue.async([&s, maxScheduled] { s.maxScheduled = maxScheduled; });
}

void ScriptScheduler::setClockForTesting(Clock clock) {
  SchedulerState& s = state();
  s.queue.sync([&s, &clock] { s.clock = clock ? std::move(clock) : Clock(wallClockNow); });
}

void ScriptScheduler::resetForTesting(Clock clock) {
  SchedulerState& s = state();
  s.queue.sync([&s, &clock] {
    s.clock = clock ? std::move(clock) : Clock(wallClockNow);
    s.outstanding.fetch_sub(s.scheduledScripts.size());
    s.scheduledScripts.clear();
    s.lastExecutionTime = s.clock();
    s.minExecutionInterval = 0.1;
    s.maxScheduled = 100;
  });
}
