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
    HandedOut h{now, script.value("scriptName", ""), script.value("fileName", ""),
                script.value("parameters", ""), now - lastHandOut_ < kHeldWithin};
    lastHandOut_ = now;
    scripts_.push_back(std::move(h));
  }
  changed_.notify_all();
}

std::optional<CaptureClock::time_point> lastBeforeOverflow(const std::vector<HandedOut>& scripts) {
  size_t stretch = 0;
  for (size_t i = 0; i < scripts.size(); ++i) {
    bool behind = i > 0 && scripts[i].at - scripts[i - 1].at < kBackToBack;
    stretch = behind ? stretch + 1 : 1;
    if (stretch > kHelperQueueCapacity) return scripts[i - 1].at;
  }
  return std::nullopt;
}

}  // namespace tool
