// Pieces the benchmarks share: a private air, the emulator in its own process, /proc figures.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "child_process.h"

namespace bench {

// A new temporary directory (its path returned) holding an empty air directory "air".
inline std::string makeTempDirWithAir() {
  char pattern[] = "/tmp/velnor-bench-XXXXXX";
  std::string dir = mkdtemp(pattern);
  std::filesystem::create_directory(dir + "/air");
  return dir;
}

// Runs `velnor-sim device FILE` in its own process; null when it does not get ready.
inline std::unique_ptr<ChildProcess> startEmulator(const std::string& air,
                                                   const std::string& file) {
  auto p = std::make_unique<ChildProcess>(
      ChildProcess::Options{VELNOR_SIM_PATH, {"--air", air, "device", file}});
  auto ready = [](const std::string& line) { return line == R"({"event":"ready"})"; };
  if (!p->waitForLine(ready, ChildProcess::after(30))) {
    std::printf("the emulator did not get ready\n");
    return nullptr;
  }
  return p;
}

// Resident set of a process in MiB, from /proc; -1 when it cannot be read.
inline double residentMiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return -1;
}

}  // namespace bench
