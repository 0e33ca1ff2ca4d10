#include "server/command_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "eventually.h"
namespace {

using namespace std::chrono_literals;

// Tasks that hold their thread until released, and record the order in which they started.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int> started;
  bool open = false;

  CommandPool::Task task(int id) {
    return [this, id] {
      std::unique_lock lock(mutex);
      started.push_back(id);
      changed.notify_all();
      changed.wait(lock, [this] { return open; });
    };
  }
  // Waits until `count` tasks have started; false after 10 s.
  bool waitStarted(size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return started.size() >= count; });
  }
  void release() {
    std::lock_guard lock(mutex);
    open = true;
    changed.notify_all();
  }
};

TEST(CommandPoolTest, GrowsWhileEveryThreadWaitsAndShrinksWhenIdle) {
  Gate gate;
  CommandPool pool(64, 50ms);
  for (int i = 0; i < 40; ++i) pool.submit(gate.task(i));
  ASSERT_TRUE(gate.waitStarted(40)) << "blocked tasks kept others from starting";
  EXPECT_EQ(pool.threads(), 40u);
  gate.release();
  EXPECT_TRUE(eventually([&] { return pool.threads() == 0; }));
  // A pool that has shrunk grows again.
  Gate again;
  again.release();
  pool.submit(again.task(0));
  EXPECT_TRUE(again.waitStarted(1));
}

TEST(CommandPoolTest, BeyondTheCapATaskWaitsItsTurnInOrder) {
  Gate gate;
  // One thread at most, so the order in which tasks start is the order they are taken in.
  CommandPool pool(1, 10s);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(pool.submit(gate.task(i)));
  ASSERT_TRUE(gate.waitStarted(1));
  EXPECT_EQ(pool.threads(), 1u);
  {
    std::lock_guard lock(gate.mutex);
    EXPECT_EQ(gate.started.size(), 1u);
  }
  gate.release();
  ASSERT_TRUE(gate.waitStarted(5));
  // A failing task is dropped; the thread goes on with the next.
  pool.submit([] { throw std::runtime_error("a failing command"); });
  pool.submit(gate.task(5));
  ASSERT_TRUE(gate.waitStarted(6));
  std::lock_guard lock(gate.mutex);
  EXPECT_EQ(gate.started, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST(CommandPoolTest, StoppingDropsWhatHasNotStartedAndWaitsForWhatHas) {
  Gate gate;
  std::atomic<bool> ran{false};
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> queued = token;
  auto pool = std::make_unique<CommandPool>(1, 10s);
  pool->submit(gate.task(0));
  ASSERT_TRUE(gate.waitStarted(1));
  pool->submit([token, &ran] { ran = true; });
  token.reset();
  std::thread stopping([&] { pool.reset(); });
  // The waiting task is dropped at once; the running one still holds its thread.
  EXPECT_TRUE(eventually([&] { return queued.expired(); }));
  gate.release();
  stopping.join();
  EXPECT_FALSE(ran);
}

}  // namespace
