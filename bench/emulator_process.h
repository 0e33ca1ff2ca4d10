// Benchmarks' helper: runs `velnor-sim device FILE` in its own process and waits for it to be
// ready. Plain POSIX; the benchmarks are single programs.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class EmulatorProcess {
 public:
  EmulatorProcess(const std::string& air, const std::string& deviceFile) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args = {VELNOR_SIM_PATH, "--air", air, "device", deviceFile};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, VELNOR_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0) {
      throw std::runtime_error("cannot start " VELNOR_SIM_PATH);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = ::fdopen(out[0], "r");
    char line[512];
    if (!std::fgets(line, sizeof line, stdout_) || std::string(line) != "{\"event\":\"ready\"}\n") {
      throw std::runtime_error("the emulator did not get ready");
    }
    // Keep reading its events, so that it never blocks on a full pipe.
    drain_ = std::thread([this] {
      char buffer[4096];
      while (std::fgets(buffer, sizeof buffer, stdout_)) {
      }
    });
  }

  ~EmulatorProcess() {
    ::close(stdin_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    drain_.join();
    std::fclose(stdout_);
  }

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  FILE* stdout_ = nullptr;
  std::thread drain_;
};

// CPU time (user and system) this process has used, in seconds.
inline double processCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}
