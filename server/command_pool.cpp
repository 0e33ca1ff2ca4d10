#include "server/command_pool.h"

#include <exception>
#include <string>
#include <utility>

#include "platform/console.h"

CommandPool::CommandPool(size_t cap, std::chrono::milliseconds idleTimeout)
    : cap_(cap == 0 ? 1 : cap), idleTimeout_(idleTimeout) {}

CommandPool::~CommandPool() {
  std::deque<Task> unstarted;
  {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    unstarted.swap(tasks_);
    wake_.notify_all();
  }
  unstarted.clear();  // what they hold is released without the lock
  {
    std::unique_lock lock(mutex_);
    allEnded_.wait(lock, [this] { return running_.empty(); });
  }
  joinEnded();
}

bool CommandPool::submit(Task task) {
  joinEnded();
  std::unique_lock lock(mutex_);
  tasks_.push_back(std::move(task));
  // Every idle thread already has a task coming to it: a new one is needed, if the cap allows.
  if (tasks_.size() <= idle_ || running_.size() >= cap_) {
    wake_.notify_one();
    return true;
  }
  try {
    // The thread's place is made before the thread, so that nothing can fail once it runs.
    std::list<std::thread> place(1);
    place.front() = std::thread([this, self = place.begin()] { work(self); });
    running_.splice(running_.end(), place);
    return true;
  } catch (const std::exception& e) {
    Console::writeLine(std::string("CommandPool: no thread for a command: ") + e.what());
  }
  if (!running_.empty()) return true;  // a busy thread takes it when it is done
  Task dropped = std::move(tasks_.back());
  tasks_.pop_back();
  lock.unlock();
  return false;
}

size_t CommandPool::threads() const {
  std::lock_guard lock(mutex_);
  return running_.size();
}

// Pool thread: takes tasks until it has been idle for the timeout, or the pool stops with
// nothing left to do.
void CommandPool::work(std::list<std::thread>::iterator self) {
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    bool woken =
        wake_.wait_for(lock, idleTimeout_, [this] { return stopping_ || !tasks_.empty(); });
    --idle_;
    if (!woken || tasks_.empty()) break;
    Task task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    try {
      task();
    } catch (const std::exception& e) {
      Console::writeLine(std::string("CommandPool: a command failed: ") + e.what());
    } catch (...) {
      Console::writeLine("CommandPool: a command failed");
    }
    task = nullptr;  // what the task holds is released before the thread counts as idle
    lock.lock();
  }
  ended_.splice(ended_.end(), running_, self);
  if (running_.empty()) allEnded_.notify_all();
}

void CommandPool::joinEnded() {
  std::list<std::thread> ended;
  {
    std::lock_guard lock(mutex_);
    ended.swap(ended_);
  }
  for (std::thread& thread : ended) thread.join();
}
