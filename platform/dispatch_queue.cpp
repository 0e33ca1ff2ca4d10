#include "platform/dispatch_queue.h"

#include <cstdio>
#include <cstdlib>

namespace {
thread_local DispatchQueue* tCurrentQueue = nullptr;
thread_local void* tCallerContext = nullptr;
}  // namespace

DispatchQueue::DispatchQueue(std::string label) : label_(std::move(label)) {
  thread_ = std::thread([this] { run(); });
}

DispatchQueue::~DispatchQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) {
    if (isCurrent()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
}

void DispatchQueue::async(Task task) {
  {
    std::lock_guard lock(mutex_);
    ready_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void DispatchQueue::asyncAfter(Clock::duration delay, Task task) {
  {
    std::lock_guard lock(mutex_);
    delayed_.push(Delayed{Clock::now() + delay, delayedOrder_++, std::move(task)});
  }
  wake_.notify_one();
}

void DispatchQueue::asyncAfter(double seconds, Task task) {
  auto delay = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  asyncAfter(delay, std::move(task));
}

bool DispatchQueue::isCurrent() const {
  return tCurrentQueue == this;
}

DispatchQueue* DispatchQueue::current() {
  return tCurrentQueue;
}

void* DispatchQueue::callerContext() {
  return tCallerContext;
}

void* DispatchQueue::exchangeCallerContext(void* context) {
  void* previous = tCallerContext;
  tCallerContext = context;
  return previous;
}

void DispatchQueue::failSyncOnSelf() const {
  std::fprintf(stderr, "DispatchQueue: sync called on its own queue \"%s\" (deadlock)\n",
               label_.c_str());
  std::abort();
}

void DispatchQueue::syncRaw(const std::function<void()>& fn) {
  std::mutex doneMutex;
  std::condition_variable doneCv;
  bool done = false;
  void* context = tCallerContext;
  async([&] {
    // `fn` catches everything, so the context is always taken off again.
    void* previous = exchangeCallerContext(context);
    fn();
    exchangeCallerContext(previous);
    std::lock_guard lock(doneMutex);
    done = true;
    doneCv.notify_one();
  });
  std::unique_lock lock(doneMutex);
  doneCv.wait(lock, [&] { return done; });
}

void DispatchQueue::runGuarded(const std::string& label, const Task& task) noexcept {
  try {
    task();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "DispatchQueue %s: task failed: %s\n", label.c_str(), e.what());
  } catch (...) {
    std::fprintf(stderr, "DispatchQueue %s: task failed\n", label.c_str());
  }
}

void DispatchQueue::run() {
  tCurrentQueue = this;
  std::unique_lock lock(mutex_);
  for (;;) {
    // Move every delayed task that is due to the back of the ready list, in deadline order.
    auto now = Clock::now();
    while (!delayed_.empty() && delayed_.top().when <= now) {
      ready_.push_back(std::move(const_cast<Delayed&>(delayed_.top()).task));
      delayed_.pop();
    }
    if (!ready_.empty()) {
      Task task = std::move(ready_.front());
      ready_.pop_front();
      lock.unlock();
      runGuarded(label_, task);
      task = nullptr;  // destroy captures off the lock
      lock.lock();
      continue;
    }
    if (stopping_) break;
    if (delayed_.empty()) {
      wake_.wait(lock);
    } else {
      // A copy: wait_until reads its deadline again after waking, and a task delayed meanwhile
      // may have moved the heap's storage.
      const Clock::time_point deadline = delayed_.top().when;
      wake_.wait_until(lock, deadline);
    }
  }
  tCurrentQueue = nullptr;
}
