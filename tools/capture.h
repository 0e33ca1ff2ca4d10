// Capturing a device through a running helper: what `velnor-sim capture` records, and the device
// file it writes from that.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tool {

using CaptureClock = std::chrono::steady_clock;

// A notification as capture received it: when the helper handed it out, and whether it waited in
// the helper's queue behind the script before it (so that it is late by that wait).
struct CapturedNotification {
  CaptureClock::time_point at;
  std::string value;  // hex
  bool held = false;
};

struct CapturedCharacteristic {
  std::string uuid;
  std::string properties;              // as the helper reports them
  std::optional<std::string> value;    // hex, when it could be read
  nlohmann::ordered_json onRead;       // how a read failed, as a device file says it; null if not
  nlohmann::ordered_json onSubscribe;  // how the subscription failed, likewise
  std::vector<std::string> notes;
  std::optional<CaptureClock::time_point> subscribed;  // when the helper confirmed it
  std::vector<CapturedNotification> notifications;
};

struct CapturedService {
  std::string uuid;
  std::vector<CapturedCharacteristic> characteristics;
};

struct CapturedDevice {
  std::string id;
  std::optional<std::string> name;
  std::optional<int> rssiMin, rssiMax;
  std::optional<uint16_t> vendorID;
  std::optional<std::vector<std::string>> serviceUUIDs;
  std::map<std::string, std::string> serviceData;  // UUID text to hex
  bool connectable = false;
  std::optional<std::string> connection;  // "reject" or "ignore" when connecting failed
  std::vector<CapturedService> services;
  std::vector<std::string> notes;
  std::optional<CaptureClock::time_point> dropped;  // when the helper reported the link lost
  std::optional<CaptureClock::time_point> listenEnd;
  // The last hand-out before which the helper's queue cannot have dropped anything; set when it
  // may have been full after it. Notifications handed out later are not kept.
  std::optional<CaptureClock::time_point> queueFull;
  std::optional<std::string> failure;  // why the capture ended early, for a partial file
};

// The helper keeps at most this many waiting scripts and drops what comes while it holds them.
constexpr size_t kHelperQueueCapacity = 101;

// How a device answered a request that failed, as a device file's onRead or onSubscribe says
// it: "ignore" for no answer in time, else an ATT error code with the description the helper
// gave (a code without a text of its own for the shared one). Null when the failure was not the
// device's answer. Any thread.
nlohmann::ordered_json deviceAnswerOf(int64_t lastError, const std::string& message);

// One line per subscribed characteristic whose notifications may be missing, saying what was
// taken and kept; empty when nothing can have been lost. Any thread.
std::vector<std::string> captureLosses(const CapturedDevice& device);

// The device file of a capture, as `velnor-sim device` runs it. Any thread.
nlohmann::ordered_json captureDeviceFile(const CapturedDevice& device);

// Appends `value` as JSON text the way the example device files are written: indented by
// `indent` blanks, and each value that fits within a line of 100 characters on one line.
void appendDeviceFileText(const nlohmann::ordered_json& value, size_t indent, std::string& text);

// Writes `text` to `path` whole or not at all: into `path`.part first, then renamed over `path`.
// Returns the file that could not be written, if one could not. Any thread.
std::optional<std::string> writeFileWhole(const std::string& path, const std::string& text);

}  // namespace tool
