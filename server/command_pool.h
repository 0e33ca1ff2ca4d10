// The threads that carry out commands. A command that waits for a Bluetooth answer holds one of
// them, and nothing else, for as long as it waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

// A pool that grows while every thread is busy and shrinks when idle. A submitted task starts at
// once on an idle thread, or on a new thread while fewer than `cap` exist; beyond the cap it
// waits its turn, in submission order. A thread idle for `idleTimeout` ends. A task that throws
// is logged and dropped. Any thread may submit. The destructor drops the tasks that have not
// started, waits for those that have, and joins every thread; it must not run on a pool thread.
class CommandPool {
 public:
  using Task = std::function<void()>;

  CommandPool(size_t cap, std::chrono::milliseconds idleTimeout);
  ~CommandPool();
  CommandPool(const CommandPool&) = delete;
  CommandPool& operator=(const CommandPool&) = delete;

  // Queues `task` and returns at once: true. False when no thread could be started for it and
  // none is left to take it (the system is out of threads); the task is then dropped. Any
  // thread.
  bool submit(Task task);

  // Threads alive now. Any thread.
  size_t threads() const;

 private:
  // Runs on the pool thread whose handle is at `self` in running_.
  void work(std::list<std::thread>::iterator self);
  // Joins the threads that have ended; called without the lock held.
  void joinEnded();

  const size_t cap_;
  const std::chrono::milliseconds idleTimeout_;
  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable wake_;
  std::condition_variable allEnded_;
  std::deque<Task> tasks_;
  size_t idle_ = 0;
  bool stopping_ = false;
  // Threads move from one list to the other without allocating, so that a thread's end
  // cannot fail.
  std::list<std::thread> running_;
  std::list<std::thread> ended_;
};
