// A discovered peripheral as the central role keeps it, and its form in the "devices" answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bluetooth/core_bluetooth.h"

// A plain record. The peripheral is shared with the platform.
struct Discovery {
  std::shared_ptr<CBPeripheral> peripheral;
  float RSSI = 0;                                   // of the latest accepted advertisement
  std::chrono::system_clock::time_point timestamp;  // when it arrived
  std::optional<std::string> name;
  std::optional<uint16_t> vendorID;
  std::optional<std::vector<std::string>> serviceUUIDs;
  std::optional<bool> connectable;
  std::optional<std::map<std::string, std::string>> serviceData;  // UUID text -> hex bytes
};

struct DiscoveryJSON {
  std::string UUID;
  std::optional<std::string> name;
  float RSSI = 0;
  std::string timestamp;  // short date and medium time, local
  std::optional<uint16_t> vendorID;
  std::optional<bool> connectable;
  std::optional<std::vector<std::string>> serviceUUIDs;
  std::optional<std::map<std::string, std::string>> serviceData;

  // Copies the record and formats its timestamp. Any thread.
  explicit DiscoveryJSON(const Discovery& discovery);
};

// The JSON object: absent fields, and empty service lists and maps, are left out.
void to_json(nlohmann::json& json, const DiscoveryJSON& record);

// Writes a list of discoveries as pretty-printed JSON text, the same text as the pretty-printed
// (indent 2) array of their DiscoveryJSON objects, without building the objects: the "devices"
// answer for thousands of discoveries. Invalid UTF-8 in a name gets U+FFFD, as the JSON
// library's replacing encoder does. One writer per answer; any thread.
class DiscoveryListWriter {
 public:
  void add(const Discovery& discovery);
  // The whole text; the writer is spent.
  std::string finish() &&;

 private:
  const std::string& timestampText(std::chrono::system_clock::time_point when);

  std::string text_ = "[";
  size_t count_ = 0;
  // Timestamps of one answer fall in a few seconds: each second's text is made once.
  std::map<std::time_t, std::string> timestamps_;
};
