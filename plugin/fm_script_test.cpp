#include "plugin/fm_script.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/console.h"
#include "platform/dispatch_queue.h"
#include "plugin/plugin.h"
#include "server/script_scheduler.h"

namespace {

class FMScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ScriptScheduler::resetForTesting([this] { return now_ += 1.0; });
  }
  void TearDown() override { ScriptScheduler::resetForTesting(nullptr); }
  double now_ = 100.0;  // every clock read is a second later, so every poll is due
};

// A reference made during a command, also in a block on a role's queue, takes that command's
// file name whatever another command stored meanwhile; outside a command, the shared one.
TEST_F(FMScriptTest, ACommandsReferencesTakeItsOwnFileName) {
  DispatchQueue role("test.role");
  {
    Plugin::CommandOutcome command;
    Plugin::shared().setCurrentFileName("Mine");
    std::thread([] {
      Plugin::CommandOutcome other;
      Plugin::shared().setCurrentFileName("Theirs");
    }).join();
    EXPECT_EQ(Plugin::shared().currentFileName(), "Theirs");
    EXPECT_EQ(role.sync([] { return FMScript::make("OnEvent")->fName; }), "Mine");
  }
  EXPECT_EQ(FMScript::make("OnEvent")->fName, "Theirs");
}

TEST_F(FMScriptTest, FailedConversionQueuesNothingAndSaysWhy) {
  testing::internal::CaptureStdout();
  FMScript{"S", "F", "uint8"}.schedule("p", {1, 2});
  FMScript{"S", "F", "text"}.schedule("p", {1});
  Console::flush(std::chrono::seconds(10));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "ScriptError: Data must be 1 byte long\nScriptError: Unknown format type\n");
  EXPECT_EQ(ScriptScheduler::dequeueScriptIfTime(), std::nullopt);
}

}  // namespace
