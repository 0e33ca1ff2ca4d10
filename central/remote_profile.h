// The remote profile: a connected peripheral's services and characteristics as JSON-ready
// records, and the text that names a characteristic's properties.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "bluetooth/core_bluetooth.h"

struct CharacteristicJSON {
  std::string UUID;
  std::optional<std::string> alias;  // the UUID's readable name, when it has one
  std::string properties;            // getPropertyString
};

struct ServiceJSON {
  std::string UUID;
  std::optional<std::string> alias;
  std::optional<std::vector<CharacteristicJSON>> characteristics;
};

// "read", "write", "writeWithoutResponse" and "notify", in that order, joined by "|", for the
// bits the characteristic has; the empty text when it has none of them. Any thread.
std::string getPropertyString(const CBCharacteristic& characteristic);

// The records of a service and its current characteristics (none yet: an empty list). Any
// thread; reads only what the platform objects hold.
ServiceJSON makeServiceJSON(const CBService& service);

// Absent optional members are left out; "properties" and "characteristics" are always written.
void to_json(nlohmann::json& j, const CharacteristicJSON& characteristic);
void to_json(nlohmann::json& j, const ServiceJSON& service);
