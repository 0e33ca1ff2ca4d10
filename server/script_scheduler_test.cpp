#include "server/script_scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/system_log.h"

namespace {

// Each test starts from a fresh list and a clock it moves by hand.
class ScriptSchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ScriptScheduler::resetForTesting([this] { return now_.load(); });
  }
  void TearDown() override {
    SystemLog::setSinkForTesting(nullptr);
    ScriptScheduler::resetForTesting(nullptr);
  }

  std::optional<std::string> nextName() {
    auto script = ScriptScheduler::dequeueScriptIfTime();
    if (!script) return std::nullopt;
    return script->script_name();
  }

  std::atomic<double> now_{5000.0};
};

TEST_F(ScriptSchedulerTest, HandsOutInOrderAtMostOnePerInterval) {
  ScriptScheduler::scheduleScript("first", "File", "p1");
  ScriptScheduler::scheduleScript("second", "File", "p2");
  // Nothing is due before the interval since start has passed.
  now_ = 5000.05;
  EXPECT_EQ(nextName(), std::nullopt);
  now_ = 5000.1;  // exactly the interval counts as due
  auto first = ScriptScheduler::dequeueScriptIfTime();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->script_name(), "first");
  EXPECT_EQ(first->file_name(), "File");
  EXPECT_EQ(first->script_parameters(), "p1");
  now_ = 5000.19;
  EXPECT_EQ(nextName(), std::nullopt);
  now_ = 5000.3;
  EXPECT_EQ(nextName(), "second");
  now_ = 6000.0;
  EXPECT_EQ(nextName(), std::nullopt);  // empty list
}

TEST_F(ScriptSchedulerTest, ClockSetBackHoldsScriptsUntilItCatchesUp) {
  now_ = 5001.0;
  ScriptScheduler::scheduleScript("a", "F", "");
  ScriptScheduler::scheduleScript("b", "F", "");
  EXPECT_EQ(nextName(), "a");
  now_ = 4000.0;
  EXPECT_EQ(nextName(), std::nullopt);
  now_ = 5001.09;
  EXPECT_EQ(nextName(), std::nullopt);
  now_ = 5001.1;
  EXPECT_EQ(nextName(), "b");
}

TEST_F(ScriptSchedulerTest, AdmitsOneHundredAndOneAndLogsTheOverflow) {
  std::mutex mutex;
  std::vector<std::string> logged;
  SystemLog::setSinkForTesting([&](const std::string& line) {
    std::lock_guard lock(mutex);
    logged.push_back(line);
  });
  for (int i = 0; i < 102; ++i) ScriptScheduler::scheduleScript(std::to_string(i), "F", "");
  std::vector<std::string> out;
  for (int i = 0; i < 105; ++i) {
    now_ = now_ + 0.1;
    if (auto name = nextName()) out.push_back(*name);
  }
  ASSERT_EQ(out.size(), 101u);
  for (int i = 0; i < 101; ++i) EXPECT_EQ(out[i], std::to_string(i));
  std::lock_guard lock(mutex);
  EXPECT_EQ(logged, std::vector<std::string>{"ScriptScheduler: Queue overflow error"});
}

}  // namespace
