// The script queue as role tests use it: an empty, unpaced queue for each test, and the scripts
// waiting in it as tests compare them, "name(parameter)@file".
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eventually.h"
#include "plugin/errors.h"
#include "plugin/plugin.h"
#include "server/script_scheduler.h"

// Takes every script that is due from this process's queue, in queue order.
inline std::vector<std::string> takeScripts() {
  std::vector<std::string> scripts;
  while (auto s = ScriptScheduler::dequeueScriptIfTime()) {
    scripts.push_back(s->script_name() + "(" + s->script_parameters() + ")@" + s->file_name());
  }
  return scripts;
}

// The facade's last error code.
inline int64_t lastError() {
  return Plugin::shared().getLastError();
}
// The facade's last error as "code message".
inline std::string lastErrorText() {
  return std::to_string(Plugin::shared().getLastError()) + " " +
         Plugin::shared().getLastErrorMessage();
}
inline void resetError() {
  Plugin::shared().setLastError(Errors::kNoError);
}

// Each test starts with an empty queue that hands out at once, the current file "Lab" and no
// last error, and leaves the queue empty.
class ScriptQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ScriptScheduler::resetForTesting({});
    ScriptScheduler::setMinExecutionInterval(0);
    Plugin::shared().setCurrentFileName("Lab");
    Plugin::shared().setLastError(Errors::kNoError);
  }
  void TearDown() override { ScriptScheduler::resetForTesting({}); }
};
