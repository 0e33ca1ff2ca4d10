#include "central/connection.h"

std::optional<CharKey> CharKey::fromCharacteristic(const CBCharacteristic& characteristic) {
  auto service = characteristic.service();
  if (!service) return std::nullopt;
  auto peripheral = service->peripheral();
  if (!peripheral) return std::nullopt;
  return CharKey{peripheral->identifier(), service->UUID().UUIDString(),
                 characteristic.UUID().UUIDString()};
}

size_t std::hash<CharKey>::operator()(const CharKey& key) const noexcept {
  std::hash<std::string> text;
  size_t h = text(key.deviceID);
  h = h * 1000003U ^ text(key.servID);
  h = h * 1000003U ^ text(key.charID);
  return h;
}
