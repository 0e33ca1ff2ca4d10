// Serial dispatch queues: one thread per queue, tasks run one at a time in submission order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <queue>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

// A serial queue with its own thread. Any thread may submit; tasks run on the queue's thread.
// A task that throws is logged to standard error and dropped: no exception leaves a task.
// The destructor runs every task already submitted for now (not delayed ones), then joins.
class DispatchQueue {
 public:
  using Clock = std::chrono::steady_clock;
  using Task = std::function<void()>;

  explicit DispatchQueue(std::string label);
  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  const std::string& label() const { return label_; }

  // Queues `task` and returns at once. Any thread.
  void async(Task task);

  // Queues `task` to run no earlier than `delay` from now. Any thread.
  void asyncAfter(Clock::duration delay, Task task);
  void asyncAfter(double seconds, Task task);

  // Runs `fn` on the queue and waits for it; returns its result or rethrows its exception.
  // Calling it from the queue's own thread is a programming error: debug builds abort with a
  // message instead of deadlocking, release builds run `fn` in place.
  template <class Fn>
  auto sync(Fn&& fn) -> std::invoke_result_t<Fn&>;

  // True when called from this queue's thread.
  bool isCurrent() const;

  // The queue whose thread is calling, or null.
  static DispatchQueue* current();

  // One pointer per thread that sync carries along: its block runs with the caller's context
  // installed on the queue's thread, so that work done there on the caller's behalf finds it
  // (the facade keeps a command's own outcome this way). Other tasks run with none.
  static void* callerContext();
  // Installs `context` on the calling thread; returns the one it replaces.
  static void* exchangeCallerContext(void* context);

 private:
  struct Delayed {
    Clock::time_point when;
    uint64_t order;
    Task task;
    bool operator>(const Delayed& other) const {
      return when != other.when ? when > other.when : order > other.order;
    }
  };

  void syncRaw(const std::function<void()>& fn);
  void run();
  static void runGuarded(const std::string& label, const Task& task) noexcept;
  [[noreturn]] void failSyncOnSelf() const;

  const std::string label_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> ready_;
  std::priority_queue<Delayed, std::vector<Delayed>, std::greater<Delayed>> delayed_;
  uint64_t delayedOrder_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

template <class Fn>
auto DispatchQueue::sync(Fn&& fn) -> std::invoke_result_t<Fn&> {
  using R = std::invoke_result_t<Fn&>;
  if (isCurrent()) {
#ifdef VELNOR_DEBUG
    failSyncOnSelf();
#else
    return fn();
#endif
  }
  std::exception_ptr error;
  if constexpr (std::is_void_v<R>) {
    syncRaw([&] {
      try {
        fn();
      } catch (...) {
        error = std::current_exception();
      }
    });
    if (error) std::rethrow_exception(error);
  } else {
    std::optional<R> result;
    syncRaw([&] {
      try {
        result.emplace(fn());
      } catch (...) {
        error = std::current_exception();
      }
    });
    if (error) std::rethrow_exception(error);
    return std::move(*result);
  }
}
