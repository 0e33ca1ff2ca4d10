#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace {

std::runtime_error systemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

// The inherited environment with `set` applied, as NAME=VALUE texts.
std::vector<std::string> buildEnvironment(const std::map<std::string, std::string>& set) {
  std::vector<std::string> result;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    if (set.count(name) != 0) continue;
    result.push_back(std::move(entry));
  }
  for (const auto& [name, value] : set) result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (auto& t : texts) result.push_back(t.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

ChildProcess::ChildProcess(Options options) {
  // A write to a child that has gone must fail with EPIPE, not end the test process.
  std::signal(SIGPIPE, SIG_IGN);
  // Started through setpriv, a program that cannot run would only make setpriv exit with 127.
  if (options.dieWithParent && access(options.program.c_str(), X_OK) != 0) {
    throw systemError("cannot execute " + options.program);
  }
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) throw systemError("pipe");
  if (pipe2(out, O_CLOEXEC) != 0) throw systemError("pipe");
  if (pipe2(err, O_CLOEXEC) != 0) throw systemError("pipe");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  if (options.stdoutFile.empty()) {
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.stdoutFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
  }
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

  std::vector<std::string> argv{options.program};
  if (options.dieWithParent) {
    argv = {"/usr/bin/setpriv", "--pdeathsig", "KILL", "--", options.program};
  }
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  std::vector<std::string> envp = buildEnvironment(options.env);
  auto argvPtrs = pointers(argv);
  auto envPtrs = pointers(envp);
  // The child starts with SIGPIPE's default action, as from a shell or a service manager: the
  // SIG_IGN above would otherwise be inherited and hide a child that dies of it.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  int rc = posix_spawn(&pid_, argv.front().c_str(), &actions, &attributes, argvPtrs.data(),
                       envPtrs.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (!options.stdoutFile.empty()) {
    close(out[0]);  // nothing to capture
    out[0] = -1;
    out_.ended = true;
  }
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    close(err[0]);
    errno = rc;
    throw systemError("spawn " + options.program);
  }
  stdinFd_ = in[1];
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  if (out[0] >= 0) outReader_ = std::thread([this, fd = out[0]] { readLoop(fd, out_); });
  errReader_ = std::thread([this, fd = err[0]] { readLoop(fd, err_); });
}

ChildProcess::~ChildProcess() {
  kill();
  waitForExit(after(30));
  closeStdin();
  if (outReader_.joinable()) outReader_.join();
  if (errReader_.joinable()) errReader_.join();
  if (pidfd_ >= 0) close(pidfd_);
}

void ChildProcess::readLoop(int fd, Stream& stream) {
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard lock(mutex_);
    if (n <= 0) {
      if (!stream.partial.empty()) stream.lines.push_back(std::move(stream.partial));
      stream.partial.clear();
      stream.ended = true;
      changed_.notify_all();
      break;
    }
    stream.partial.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t nl; (nl = stream.partial.find('\n', start)) != std::string::npos; start = nl + 1) {
      stream.lines.push_back(stream.partial.substr(start, nl - start));
    }
    stream.partial.erase(0, start);
    changed_.notify_all();
  }
  close(fd);
}

bool ChildProcess::writeLine(const std::string& line) {
  std::lock_guard lock(mutex_);
  if (stdinFd_ < 0) return false;
  std::string data = line + "\n";
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(stdinFd_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void ChildProcess::closeStdin() {
  std::lock_guard lock(mutex_);
  if (stdinFd_ >= 0) close(stdinFd_);
  stdinFd_ = -1;
}

std::optional<std::string> ChildProcess::waitIn(const Stream& stream, const LinePredicate& pred,
                                                Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  size_t checked = 0;
  for (;;) {
    for (; checked < stream.lines.size(); ++checked) {
      if (pred(stream.lines[checked])) return stream.lines[checked];
    }
    if (stream.ended) return std::nullopt;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout &&
        checked == stream.lines.size()) {
      return std::nullopt;
    }
  }
}

std::optional<std::string> ChildProcess::waitForLine(const LinePredicate& pred,
                                                     Clock::time_point deadline) {
  return waitIn(out_, pred, deadline);
}

std::optional<std::string> ChildProcess::waitForStderrLine(const LinePredicate& pred,
                                                           Clock::time_point deadline) {
  return waitIn(err_, pred, deadline);
}

std::vector<std::string> ChildProcess::stdoutLines() const {
  std::lock_guard lock(mutex_);
  return out_.lines;
}

std::vector<std::string> ChildProcess::stderrLines() const {
  std::lock_guard lock(mutex_);
  return err_.lines;
}

void ChildProcess::terminate() {
  std::lock_guard lock(exitMutex_);
  if (!waitStatus_) ::kill(pid_, SIGTERM);
}

void ChildProcess::kill() {
  std::lock_guard lock(exitMutex_);
  if (!waitStatus_) ::kill(pid_, SIGKILL);
}

std::optional<int> ChildProcess::waitForExit(Clock::time_point deadline) {
  std::lock_guard lock(exitMutex_);
  if (waitStatus_) return waitStatus_;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{pidfd_, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_) waitStatus_ = status;
    // What the child wrote before it exited may still be in the pipes: let the readers finish
    // (unless something the child started still holds them open past the deadline).
    std::unique_lock streams(mutex_);
    changed_.wait_until(streams, deadline, [this] { return out_.ended && err_.ended; });
    return waitStatus_;
  }
}

std::optional<int> ChildProcess::exitCode(Clock::time_point deadline) {
  auto status = waitForExit(deadline);
  if (!status || !WIFEXITED(*status)) return std::nullopt;
  return WEXITSTATUS(*status);
}

std::string makeTemporaryDirectory(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

std::string ChildProcess::joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

ChildProcess::Clock::time_point ChildProcess::after(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}
