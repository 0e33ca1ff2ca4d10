#include "bluetooth/bluez/bluez_properties.h"

#include <array>
#include <cctype>
#include <cstdio>

namespace bluez {

namespace {

struct FlagBit {
  const char* flag;
  uint32_t bit;
};

constexpr FlagBit kFlagBits[] = {
    {"broadcast", CBCharacteristicPropertyBroadcast},
    {"read", CBCharacteristicPropertyRead},
    {"encrypt-read", CBCharacteristicPropertyRead},
    {"encrypt-authenticated-read", CBCharacteristicPropertyRead},
    {"secure-read", CBCharacteristicPropertyRead},
    {"write-without-response", CBCharacteristicPropertyWriteWithoutResponse},
    {"write", CBCharacteristicPropertyWrite},
    {"encrypt-write", CBCharacteristicPropertyWrite},
    {"encrypt-authenticated-write", CBCharacteristicPropertyWrite},
    {"secure-write", CBCharacteristicPropertyWrite},
    {"notify", CBCharacteristicPropertyNotify},
    {"indicate", CBCharacteristicPropertyIndicate},
};

// The twelve hex digits of "AA:BB:CC:DD:EE:FF", upper-case; twelve zeros for anything else.
std::string addressDigits(const std::string& address) {
  std::string digits;
  for (size_t i = 0; i < address.size(); ++i) {
    bool separator = i % 3 == 2;
    char c = address[i];
    if (separator ? c != ':' : !std::isxdigit(static_cast<unsigned char>(c))) return "000000000000";
    if (!separator) digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return digits.size() == 12 && address.size() == 17 ? digits : "000000000000";
}

std::optional<uint8_t> attCodeIn(const std::string& message) {
  auto at = message.find("ATT error: 0x");
  if (at == std::string::npos) return std::nullopt;
  unsigned code = 0;
  if (std::sscanf(message.c_str() + at + 13, "%2x", &code) != 1 || code == 0) return std::nullopt;
  return static_cast<uint8_t>(code);
}

}  // namespace

std::mutex& variantReads() {
  static std::mutex reads;
  return reads;
}

std::string textOf(const CBUUID& uuid) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  const auto& bytes = uuid.bytes();
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

uint32_t propertiesFromFlags(const std::vector<std::string>& flags) {
  uint32_t properties = 0;
  for (const auto& flag : flags) {
    for (const auto& fb : kFlagBits) {
      if (flag == fb.flag) properties |= fb.bit;
    }
  }
  return properties;
}

std::vector<std::string> flagsFor(uint32_t properties, uint32_t permissions) {
  bool encryptRead = permissions & CBAttributePermissionsReadEncryptionRequired;
  bool encryptWrite = permissions & CBAttributePermissionsWriteEncryptionRequired;
  const std::array<std::pair<uint32_t, const char*>, 6> order{{
      {CBCharacteristicPropertyBroadcast, "broadcast"},
      {CBCharacteristicPropertyRead, encryptRead ? "encrypt-read" : "read"},
      {CBCharacteristicPropertyWriteWithoutResponse, "write-without-response"},
      {CBCharacteristicPropertyWrite, encryptWrite ? "encrypt-write" : "write"},
      // Without encrypt-notify bluetoothd lets an unencrypted central enable notifications.
      {CBCharacteristicPropertyNotify, encryptRead ? "encrypt-notify" : "notify"},
      {CBCharacteristicPropertyIndicate, encryptRead ? "encrypt-indicate" : "indicate"},
  }};
  std::vector<std::string> flags;
  for (const auto& [bit, flag] : order) {
    if (properties & bit) flags.emplace_back(flag);
  }
  return flags;
}

std::string advertisedName(const std::string& name) {
  constexpr size_t kRoom = 29;
  if (name.size() <= kRoom) return name;
  size_t end = kRoom;
  // Back over the continuation bytes (10xxxxxx) of a character that does not fit whole.
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
  return name.substr(0, end);
}

std::string identifierFor(const std::string& adapterAddress, const std::string& deviceAddress) {
  std::string a = addressDigits(adapterAddress);
  return a.substr(0, 8) + "-" + a.substr(8, 4) + "-0000-0000-" + addressDigits(deviceAddress);
}

CBAdvertisementData advertisementFrom(const Properties& device) {
  CBAdvertisementData ad;
  ad.localName = property<std::string>(device, "Name");
  if (auto m = property<std::map<uint16_t, sdbus::Variant>>(device, "ManufacturerData")) {
    // The platform hands over the company identifier (little-endian) followed by the data.
    for (const auto& [company, value] : *m) {
      if (!value.containsValueOfType<std::vector<uint8_t>>()) continue;
      CBData data{static_cast<uint8_t>(company & 0xFF), static_cast<uint8_t>(company >> 8)};
      auto bytes = value.get<std::vector<uint8_t>>();
      data.insert(data.end(), bytes.begin(), bytes.end());
      ad.manufacturerData = std::move(data);
      break;
    }
  }
  if (auto uuids = property<std::vector<std::string>>(device, "UUIDs")) {
    std::vector<CBUUID> parsed;
    for (const auto& text : *uuids) {
      if (auto uuid = CBUUID::fromString(text)) parsed.push_back(*uuid);
    }
    if (!parsed.empty()) ad.serviceUUIDs = std::move(parsed);
  }
  if (auto data = property<std::map<std::string, sdbus::Variant>>(device, "ServiceData")) {
    std::map<CBUUID, CBData> parsed;
    for (const auto& [text, value] : *data) {
      auto uuid = CBUUID::fromString(text);
      if (uuid && value.containsValueOfType<std::vector<uint8_t>>()) {
        parsed[*uuid] = value.get<std::vector<uint8_t>>();
      }
    }
    if (!parsed.empty()) ad.serviceData = std::move(parsed);
  }
  ad.isConnectable = 1;
  return ad;
}

CBError gattErrorFrom(const std::string& name, const std::string& message) {
  const std::string prefix = "org.bluez.Error.";
  std::string kind = name.rfind(prefix, 0) == 0 ? name.substr(prefix.size()) : "";
  struct Known {
    const char* kind;
    const char* message;  // null: any
    uint8_t att;
  };
  static constexpr Known kKnown[] = {
      {"NotPermitted", "Read not permitted", 0x02},
      {"NotPermitted", "Write not permitted", 0x03},
      {"NotPermitted", "Not paired", 0x0F},
      {"InvalidArguments", "Invalid offset", 0x07},
      {"InvalidArguments", "Invalid Length", 0x0D},
      {"NotAuthorized", nullptr, 0x08},
      {"NotSupported", nullptr, 0x06},
  };
  for (const auto& k : kKnown) {
    if (kind == k.kind && (k.message == nullptr || message == k.message))
      return CBError::att(k.att);
  }
  if (kind == "Failed") {
    if (auto code = attCodeIn(message)) return CBError::att(*code);
  }
  if (kind == "NotConnected" || (kind == "Failed" && message == "Not connected")) {
    return CBError::link(7);
  }
  if (kind == "InProgress") {
    return CBError{CBError::kErrorDomain, 0, "Another operation on it is in progress."};
  }
  if (kind == "InvalidArguments") {
    return CBError{CBError::kErrorDomain, 1, "The specified parameters are invalid."};
  }
  if (name == "org.freedesktop.DBus.Error.NoReply" ||
      name == "org.freedesktop.DBus.Error.Timeout") {
    return CBError::link(6);
  }
  return CBError::link(0);
}

bool isClassicAttempt(const std::string& message) {
  return message.rfind("br-connection-", 0) == 0 && message != "br-connection-canceled";
}

bool isRetryableConnect(const std::string& name, const std::string& message) {
  if (name == "org.bluez.Error.InProgress" || name == "org.bluez.Error.AlreadyExists" ||
      name == "org.bluez.Failed") {
    return true;
  }
  return name == "org.bluez.Error.Failed" &&
         (message == "le-connection-abort-by-local" || message == "br-connection-canceled" ||
          message == "Operation already in progress");
}

CBError connectErrorFrom(const std::string& name, const std::string& message) {
  if (name == "org.freedesktop.DBus.Error.NoReply" ||
      name == "org.freedesktop.DBus.Error.Timeout") {
    return CBError::link(6);
  }
  if (isClassicAttempt(message)) {
    return CBError{CBError::kErrorDomain, 10,
                   "bluetoothd tried Bluetooth Classic for this LE device (" + message +
                       "); ControllerMode = le or Experimental = true in "
                       "/etc/bluetooth/main.conf makes it connect over LE."};
  }
  if (message == "le-connection-abort-by-local") {
    return CBError{CBError::kErrorDomain, 10, "The connection failed (" + message + ")."};
  }
  return CBError::link(0);
}

std::pair<std::string, std::string> errorFor(CBATTError result) {
  auto code = static_cast<unsigned>(result);
  std::array<char, 8> text{};
  std::snprintf(text.data(), text.size(), "0x%02x", code);
  switch (result) {
    case CBATTError::readNotPermitted:
      return {"org.bluez.Error.NotPermitted", "Read not permitted"};
    case CBATTError::writeNotPermitted:
      return {"org.bluez.Error.NotPermitted", "Write not permitted"};
    // bluetoothd checks encryption itself; these reach a central as 0x08.
    case CBATTError::insufficientAuthentication:
    case CBATTError::insufficientAuthorization:
    case CBATTError::insufficientEncryption:
    case CBATTError::insufficientEncryptionKeySize:
      return {"org.bluez.Error.NotAuthorized", "Not authorized"};
    case CBATTError::invalidOffset:
      return {"org.bluez.Error.InvalidOffset", "Invalid offset"};
    case CBATTError::invalidAttributeValueLength:
      return {"org.bluez.Error.InvalidValueLength", "Invalid value length"};
    case CBATTError::requestNotSupported:
      return {"org.bluez.Error.NotSupported", "Not supported"};
    default:
      // bluetoothd passes only application codes through Failed; any name it does not know
      // becomes 0x0e (Unlikely Error), and ours keeps the code for its debug log.
      if (code >= 0x80 && code <= 0x9F) return {"org.bluez.Error.Failed", text.data()};
      return {"com.velnor.helper.Error.ATT", text.data()};
  }
}

}  // namespace bluez
