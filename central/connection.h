// A live connection of the central role, and the key of its characteristic tables.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "bluetooth/core_bluetooth.h"
#include "plugin/fm_script.h"

// A plain record; the scripts are copied from the connect request's options when it connects.
struct Connection {
  std::shared_ptr<CBPeripheral> peripheral;
  std::optional<std::string> name;  // never set by connecting
  std::optional<FMScript> onDisconnect;
  std::optional<FMScript> onDiscoverServices;
  std::optional<FMScript> onDiscoverCharacteristics;
};

// One characteristic of one device: identifier, service and characteristic UUID texts, compared
// exactly as written (no case folding, no expansion of short UUIDs).
struct CharKey {
  std::string deviceID;
  std::string servID;
  std::string charID;

  // The key of a discovered characteristic; none when it has no service or the service no
  // peripheral. Any thread.
  static std::optional<CharKey> fromCharacteristic(const CBCharacteristic& characteristic);

  friend bool operator==(const CharKey&, const CharKey&) = default;
};

template <>
struct std::hash<CharKey> {
  size_t operator()(const CharKey& key) const noexcept;
};
