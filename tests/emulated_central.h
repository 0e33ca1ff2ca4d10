// The emulated central `velnor-sim central` as a process in a test's air: commands in, event
// lines out, each awaited with a deadline.
#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.h"

// Whether `line` is a JSON object with every member of `members`.
inline bool hasMembers(const std::string& line, const nlohmann::json& members) {
  nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
  if (!event.is_object()) return false;
  for (const auto& [key, value] : members.items()) {
    if (!event.contains(key) || event[key] != value) return false;
  }
  return true;
}

// Used from one test thread.
class EmulatedCentral {
 public:
  // Starts the central in `airDir` and waits for its ready line; throws when it does not come.
  explicit EmulatedCentral(const std::string& airDir) {
    process_ = std::make_unique<ChildProcess>(
        ChildProcess::Options{VELNOR_SIM_PATH, {"central"}, {{"VELNOR_AIR", airDir}}, {}});
    nlohmann::json ready = next({{"event", "ready"}}, 20);
    if (!ready.is_object()) throw std::runtime_error("emulated central not ready");
    id_ = ready["id"].get<std::string>();
  }

  // The central's identifier as the peripheral side sees it.
  const std::string& id() const { return id_; }

  void send(const std::string& command) { process_->writeLine(command); }

  // The next event line after those already taken that has all of `members`; null when none
  // comes within `seconds`. Lines passed over on the way are not offered again.
  nlohmann::json next(const nlohmann::json& members, double seconds = 10) {
    size_t index = 0;
    size_t found = 0;
    auto line = process_->waitForLine(
        [&](const std::string& l) {
          size_t at = index++;
          if (at < taken_ || !hasMembers(l, members)) return false;
          found = at;
          return true;
        },
        ChildProcess::after(seconds));
    if (!line) return nullptr;
    taken_ = found + 1;
    return nlohmann::json::parse(*line);
  }

  // Scans for a device by local name, connects and discovers; the services event, or null.
  nlohmann::json connect(const std::string& name) {
    send("scan");
    if (next({{"event", "discovered"}, {"name", name}}).is_null()) return nullptr;
    send("stop");
    send("connect " + name);
    if (next({{"event", "connected"}}).is_null()) return nullptr;
    send("discover");
    return next({{"event", "services"}});
  }

  ChildProcess& process() { return *process_; }

 private:
  std::unique_ptr<ChildProcess> process_;
  size_t taken_ = 0;
  std::string id_;
};
