#include "child_process.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

// The shared test support must report what really happened: lines in order, partial last
// lines, exit codes, environment, and a deadline instead of a hang.
TEST(ChildProcessTest, CapturesLinesEnvironmentAndExitCode) {
  ChildProcess child({.program = "/bin/sh",
                      .args = {"-c",
                               "echo one; echo \"$VELNOR_PROBE\"; echo oops >&2; read x; "
                               "echo got-$x; printf tail; exit 3"},
                      .env = {{"VELNOR_PROBE", "probe value"}}});
  auto deadline = ChildProcess::after(10);
  EXPECT_EQ(child.waitForLine([](const std::string& l) { return l == "probe value"; }, deadline),
            "probe value");
  EXPECT_EQ(child.waitForStderrLine([](const std::string&) { return true; }, deadline), "oops");
  ASSERT_TRUE(child.writeLine("abc"));
  EXPECT_EQ(child.exitCode(deadline), 3);
  EXPECT_EQ(child.waitForLine([](const std::string& l) { return l == "tail"; }, deadline), "tail");
  EXPECT_EQ(child.stdoutLines(),
            (std::vector<std::string>{"one", "probe value", "got-abc", "tail"}));
}

TEST(ChildProcessTest, DeadlinesEndWaitsAndKillIsReported) {
  ChildProcess child({.program = "/bin/sh", .args = {"-c", "echo ready; read x"}});
  EXPECT_TRUE(child.waitForLine([](const std::string& l) { return l == "ready"; },
                                ChildProcess::after(10)));
  EXPECT_FALSE(child.waitForLine([](const std::string& l) { return l == "never"; },
                                 ChildProcess::after(0.05)));
  EXPECT_FALSE(child.waitForExit(ChildProcess::after(0.05)));
  child.kill();
  auto status = child.waitForExit(ChildProcess::after(10));
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFSIGNALED(*status));
  EXPECT_EQ(child.exitCode(ChildProcess::after(1)), std::nullopt);
}

TEST(ChildProcessTest, MissingProgramThrows) {
  EXPECT_THROW(ChildProcess({.program = "/nonexistent/velnor"}), std::runtime_error);
  EXPECT_THROW(ChildProcess({.program = "/nonexistent/velnor", .dieWithParent = true}),
               std::runtime_error);
}
