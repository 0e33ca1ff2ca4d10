#include "central/remote_profile.h"

#include <nlohmann/json.hpp>

namespace {

// The readable name of a UUID, when it differs from the UUID's own text.
std::optional<std::string> aliasOf(const CBUUID& uuid) {
  std::string name = uuid.description();
  if (name == uuid.UUIDString()) return std::nullopt;
  return name;
}

}  // namespace

std::string getPropertyString(const CBCharacteristic& characteristic) {
  // Not the order of the bit values: write without response has the lower bit.
  static constexpr std::pair<uint32_t, const char*> kReported[] = {
      {CBCharacteristicPropertyRead, "read|"},
      {CBCharacteristicPropertyWrite, "write|"},
      {CBCharacteristicPropertyWriteWithoutResponse, "writeWithoutResponse|"},
      {CBCharacteristicPropertyNotify, "notify|"},
  };
  uint32_t bits = characteristic.properties();
  std::string text;
  for (const auto& [bit, word] : kReported) {
    if (bits & bit) text += word;
  }
  if (!text.empty()) text.pop_back();
  return text;
}

ServiceJSON makeServiceJSON(const CBService& service) {
  ServiceJSON record{service.UUID().UUIDString(), aliasOf(service.UUID()), {}};
  record.characteristics.emplace();
  auto characteristics = service.characteristics();
  if (!characteristics) return record;
  record.characteristics->reserve(characteristics->size());
  for (const auto& characteristic : *characteristics) {
    record.characteristics->push_back({characteristic->UUID().UUIDString(),
                                       aliasOf(characteristic->UUID()),
                                       getPropertyString(*characteristic)});
  }
  return record;
}

void to_json(nlohmann::json& j, const CharacteristicJSON& characteristic) {
  j = nlohmann::json{{"UUID", characteristic.UUID}, {"properties", characteristic.properties}};
  if (characteristic.alias) j["alias"] = *characteristic.alias;
}

void to_json(nlohmann::json& j, const ServiceJSON& service) {
  j = nlohmann::json{{"UUID", service.UUID}};
  if (service.alias) j["alias"] = *service.alias;
  if (service.characteristics) {
    j["characteristics"] = nlohmann::json::array();
    for (const auto& characteristic : *service.characteristics) {
      j["characteristics"].push_back(characteristic);
    }
  }
}
