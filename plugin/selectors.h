// The words and records of the generic "/get" and "/set" commands. The operations themselves
// are Plugin::get, Plugin::set and Plugin::setForDevice (plugin/selectors.cpp).
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Get words that exist; a word here used in the wrong form is "Wrong number of parameters",
// a word not here is unknown. "devicename" and "uuid" are served only with a device.
inline const std::set<std::string> kAvailableGetSelectors = {
    "devices", "status", "connections", "remoteprofile", "localprofile", "subscribed"};
inline const std::set<std::string> kAvailableSetSelectors = {"localprofile", "authorization"};

// The answer to "status" without a device.
struct LocalStatusJSON {
  std::string bluetooth;
  bool isScanning = false;
  bool isAdvertising = false;
};

// The answer to "status" with a device. `name` is left out of the JSON when absent.
struct RemoteStatusJSON {
  std::string UUID;
  std::optional<std::string> name;
  std::string relationship = "none";
  std::vector<std::string> subscribedFor;  // sorted ascending
  int64_t authorizationLevel = 0;
};

void to_json(nlohmann::json& j, const LocalStatusJSON& status);
void to_json(nlohmann::json& j, const RemoteStatusJSON& status);

// The answer in place of a JSON text that would not be UTF-8 (a device name with bad bytes).
inline const std::string kNotUTF8Answer = "{}";

// Pretty-printed JSON text of a selector answer, or kNotUTF8Answer when a string in it is not
// valid UTF-8. Never fails. Any thread.
std::string encodePrettyJSON(const nlohmann::json& value);

// An authorization level: an optional "+" or "-", then one or more ASCII digits and nothing
// else, within the signed 64-bit range, and not negative ("-0" is 0). None otherwise.
std::optional<int64_t> parseAuthorizationLevel(const std::string& text);
