// Pieces the benchmarks share: a private air, the emulator in its own process, /proc figures.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "child_process.h"
#include "helper_process.h"

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

// Runs the emulator with these devices in the helper's air; throws when it does not get ready.
inline std::unique_ptr<ChildProcess> startEmulator(HelperProcess& helper,
                                                   const nlohmann::json& devices) {
  std::string path = helper.directory() + "/devices.json";
  std::ofstream(path) << nlohmann::json{{"devices", devices}}.dump();
  auto emulator = std::make_unique<ChildProcess>(ChildProcess::Options{
      VELNOR_SIM_PATH, {"device", path}, {{"VELNOR_AIR", helper.airDir()}}, {}});
  if (!emulator->waitForLine([](const std::string& l) { return l == R"({"event":"ready"})"; },
                             ChildProcess::after(120))) {
    throw std::runtime_error("the emulator did not get ready");
  }
  return emulator;
}

// One command on the helper's keep-alive client; throws unless it answers 200.
inline nlohmann::json post(HelperProcess& helper, const std::string& path,
                           const nlohmann::json& body) {
  HttpReply reply = helper.post(path, body.dump());
  if (reply.status != 200) throw std::runtime_error(path + " answered " + reply.body);
  return nlohmann::json::parse(reply.body);
}

// A device of a device file: `id`, advertising as `name` every `intervalMs`, with the one
// service `service` holding `characteristics`.
inline nlohmann::json emulatedDevice(const std::string& id, const std::string& name, int intervalMs,
                                     const std::string& service,
                                     const nlohmann::json& characteristics) {
  return {{"id", id},
          {"advertising", {{"localName", name}, {"intervalMs", intervalMs}}},
          {"services", {{{"uuid", service}, {"characteristics", characteristics}}}}};
}

// Has the helper scan, connect to `id` and read the characteristic until a read succeeds, that
// is until discovery is done; runs `meanwhile` before each try. Throws after 20 s.
inline void connectUntilReadable(
    HelperProcess& helper, const std::string& id, const std::string& servID,
    const std::string& charID, const std::function<void()>& meanwhile = [] {}) {
  post(helper, "/startScan", {{"options", ""}, {"filename", "Bench"}});
  nlohmann::json connect = {
      {"deviceID", id}, {"options", ""}, {"filename", "Bench"}, {"timeout", 5.0}};
  nlohmann::json read = {{"deviceID", id},
                         {"servID", servID},
                         {"charID", charID},
                         {"format", "hex"},
                         {"timeout", 5.0}};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool connected = false;
  bool readable = false;
  while (!readable && std::chrono::steady_clock::now() < deadline) {
    meanwhile();
    connected = connected || post(helper, "/connect", connect)["lastError"] == 0;
    readable = connected && post(helper, "/read", read)["lastError"] == 0;
    if (!readable) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  post(helper, "/stopScan", nlohmann::json::object());
  if (!readable) throw std::runtime_error("the bench device " + id + " was not connected");
}

inline double milliseconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The value at fraction `p` (0 to 1) of the sorted values; `values` must not be empty.
inline double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[index];
}

// Threads and open descriptors of a process, from /proc.
inline int threadCount(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}
inline int descriptorCount(pid_t pid) {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++n;
  }
  return n;
}

// User plus system CPU time of a process in seconds, from /proc; -1 when it cannot be read.
inline double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t end = text.rfind(')');
  if (end == std::string::npos) return -1;
  std::istringstream fields(text.substr(end + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) {
      stime = std::stoull(field);
      break;
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace bench
