// A child process for tests: started with arguments and environment, fed lines on its standard
// input, its standard output and standard error captured line by line as they arrive.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Not copyable or movable: reader threads hold `this`. Any thread may call any member; the
// captured lines are guarded by one lock. The destructor kills the child if it still runs and
// reaps it, so no test leaves a process behind.
// A new directory under the system's temporary one, named PREFIX-XXXXXX; throws when none can
// be made.
std::string makeTemporaryDirectory(const std::string& prefix);

class ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;
  using LinePredicate = std::function<bool(const std::string&)>;

  struct Options {
    std::string program{};                     // path of the binary
    std::vector<std::string> args{};           // arguments after argv[0]
    std::map<std::string, std::string> env{};  // set (or replaced) on top of this process's
    // When set, standard output is appended to this file instead of being captured.
    std::string stdoutFile{};
    // The child is killed when the thread that started it ends, even when the test process
    // crashes and no destructor runs (the kernel's parent-death signal, set by setpriv).
    bool dieWithParent = false;
  };

  // Starts the child. Throws std::runtime_error when pipes or the spawn fail (glibc reports a
  // program that cannot be executed here too).
  explicit ChildProcess(Options options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes `line` and a newline to the child's standard input. False if the pipe is closed.
  bool writeLine(const std::string& line);
  // Closes the child's standard input (the child then reads end of file).
  void closeStdin();

  // Waits until a standard-output (or standard-error) line that satisfies `pred` has arrived, or
  // until `deadline`. Lines already captured count. Returns the first matching line, or none on
  // timeout or when the stream ended without one.
  std::optional<std::string> waitForLine(const LinePredicate& pred, Clock::time_point deadline);
  std::optional<std::string> waitForStderrLine(const LinePredicate& pred,
                                               Clock::time_point deadline);

  // Copies of every line captured so far (without the newline).
  std::vector<std::string> stdoutLines() const;
  std::vector<std::string> stderrLines() const;

  // Sends SIGTERM or SIGKILL; does nothing once the child has been reaped.
  void terminate();
  void kill();

  // Waits for the child to exit until `deadline`. Returns its wait status (as waitpid gives it),
  // or none on timeout. Once reaped, returns the same status again. After the exit it also waits
  // (to the same deadline) until both output streams have ended, so that every line the child
  // wrote is in stdoutLines() and stderrLines().
  std::optional<int> waitForExit(Clock::time_point deadline);
  // The exit code when the child exited normally; none while running or when killed by a signal.
  std::optional<int> exitCode(Clock::time_point deadline);

  // Deadline helper: now plus `seconds`.
  static Clock::time_point after(double seconds);
  // The lines, each ended by a newline, for an error message.
  static std::string joined(const std::vector<std::string>& lines);

 private:
  struct Stream {
    std::vector<std::string> lines;
    std::string partial;
    bool ended = false;
  };

  void readLoop(int fd, Stream& stream);
  std::optional<std::string> waitIn(const Stream& stream, const LinePredicate& pred,
                                    Clock::time_point deadline);

  pid_t pid_ = -1;
  int pidfd_ = -1;
  int stdinFd_ = -1;
  std::mutex exitMutex_;  // guards waitStatus_ and reaping
  std::optional<int> waitStatus_;
  mutable std::mutex mutex_;  // guards the streams and stdinFd_
  std::condition_variable changed_;
  Stream out_;
  Stream err_;
  std::thread outReader_;
  std::thread errReader_;
};
