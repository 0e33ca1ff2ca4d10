#include "tools/capture_poller.h"

namespace tool {

void ScriptPoller::run() {
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (stopping_) return;
    }
    try {
      auto asked = CaptureClock::now();
      auto script = client_.dequeueScript();
      record(script, asked);
      if (script.is_null()) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, kPollInterval, [&] { return stopping_; });
      }
    } catch (const std::exception& e) {
      std::lock_guard lock(mutex_);
      failure_ = e.what();
      changed_.notify_all();
      return;
    }
  }
}

void ScriptPoller::record(const nlohmann::json& script, CaptureClock::time_point asked) {
  auto now = CaptureClock::now();
  std::lock_guard lock(mutex_);
  if (script.is_null()) {
    lastEmpty_ = asked;
  } else {
    // It waited when no poll since the pacing allowed the next hand-out found the queue empty;
    // a poll's time is taken before it reaches the helper, so a late poll cannot mislead.
    bool waited = !scripts_.empty() && lastEmpty_ < lastHandOut_ + kPacing;
    HandedOut h{now, script.value("scriptName", ""), script.value("fileName", ""),
                script.value("parameters", ""), waited};
    lastHandOut_ = now;
    scripts_.push_back(std::move(h));
  }
  changed_.notify_all();
}

std::optional<CaptureClock::time_point> lastBeforeOverflow(const std::vector<HandedOut>& scripts) {
  size_t stretch = 0;
  for (size_t i = 0; i < scripts.size(); ++i) {
    stretch = scripts[i].held ? stretch + 1 : 1;
    if (stretch > kHelperQueueCapacity) return scripts[i - 1].at;
  }
  return std::nullopt;
}

}  // namespace tool
