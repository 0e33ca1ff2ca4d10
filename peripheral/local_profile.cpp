#include "peripheral/local_profile.h"

#include <cctype>
#include <clocale>
#include <cwctype>
#include <set>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "format/formatter.h"
#include "format/utf8.h"
#include "plugin/errors.h"
#include "plugin/plugin.h"

using json = nlohmann::json;

namespace {

// A decoding failure: its kind, where it lies and what was expected there.
struct DecodingError {
  enum class Kind { keyNotFound, valueNotFound, typeMismatch, dataCorrupted };
  Kind kind;
  std::string key;           // the missing member (keyNotFound)
  std::string expectedType;  // the JSON type wanted (valueNotFound, typeMismatch)
  DecodingContext context;
};

// Walks the parsed JSON in the records' declaration order, keeping the path for messages.
class ProfileDecoder {
 public:
  std::vector<LocalServiceJSON> decodeProfile(const json& value) {
    std::vector<LocalServiceJSON> profile;
    for (size_t i = 0; i < expect(value, json::value_t::array, "array").size(); ++i) {
      Element element(path_, i);
      profile.push_back(decodeService(value[i]));
    }
    return profile;
  }

 private:
  // Pushes a path component for the lifetime of the object.
  struct Element {
    Element(std::vector<std::string>& path, std::string name) : path_(path) {
      path_.push_back(std::move(name));
    }
    Element(std::vector<std::string>& path, size_t index)
        : Element(path, "Index " + std::to_string(index)) {}
    ~Element() { path_.pop_back(); }
    Element(const Element&) = delete;
    Element& operator=(const Element&) = delete;
    std::vector<std::string>& path_;
  };

  [[noreturn]] void fail(DecodingError::Kind kind, std::string expectedType,
                         std::string key = {}) const {
    throw DecodingError{kind, std::move(key), std::move(expectedType), DecodingContext{path_}};
  }

  // The value itself when it has the wanted type; null is a missing value, anything else a
  // type mismatch.
  const json& expect(const json& value, json::value_t type, const char* typeName) const {
    if (value.is_null()) fail(DecodingError::Kind::valueNotFound, typeName);
    bool matches = value.type() == type;
    if (type == json::value_t::number_integer) matches = value.is_number();
    if (!matches) fail(DecodingError::Kind::typeMismatch, typeName);
    return value;
  }

  const json& required(const json& object, const char* name) const {
    auto found = object.find(name);
    if (found == object.end()) fail(DecodingError::Kind::keyNotFound, {}, name);
    return *found;
  }

  // Absent or null members are none.
  static const json* optional(const json& object, const char* name) {
    auto found = object.find(name);
    return found == object.end() || found->is_null() ? nullptr : &*found;
  }

  std::string requiredString(const json& object, const char* name) {
    const json& value = required(object, name);
    Element element(path_, name);
    return expect(value, json::value_t::string, "string").get<std::string>();
  }

  std::optional<std::string> optionalString(const json& object, const char* name) {
    const json* value = optional(object, name);
    if (value == nullptr) return std::nullopt;
    Element element(path_, name);
    return expect(*value, json::value_t::string, "string").get<std::string>();
  }

  // A whole number that fits 64 bits; 2.0 is 2, as JSON does not tell the two apart.
  std::optional<int64_t> optionalInteger(const json& object, const char* name) {
    const json* value = optional(object, name);
    if (value == nullptr) return std::nullopt;
    Element element(path_, name);
    expect(*value, json::value_t::number_integer, "integer");
    if (value->is_number_integer() && !value->is_number_unsigned()) return value->get<int64_t>();
    if (value->is_number_unsigned()) {
      uint64_t n = value->get<uint64_t>();
      if (n <= static_cast<uint64_t>(INT64_MAX)) return static_cast<int64_t>(n);
    } else {
      double d = value->get<double>();
      if (d >= -9.2e18 && d <= 9.2e18 && d == static_cast<double>(static_cast<int64_t>(d))) {
        return static_cast<int64_t>(d);
      }
    }
    fail(DecodingError::Kind::typeMismatch, "integer");
  }

  std::optional<bool> optionalBool(const json& object, const char* name) {
    const json* value = optional(object, name);
    if (value == nullptr) return std::nullopt;
    Element element(path_, name);
    return expect(*value, json::value_t::boolean, "boolean").get<bool>();
  }

  LocalServiceJSON decodeService(const json& value) {
    expect(value, json::value_t::object, "object");
    LocalServiceJSON service;
    service.UUID = requiredString(value, "UUID");
    const json& list = required(value, "characteristics");
    Element member(path_, "characteristics");
    for (size_t i = 0; i < expect(list, json::value_t::array, "array").size(); ++i) {
      Element element(path_, i);
      service.characteristics.push_back(decodeCharacteristic(list[i]));
    }
    return service;
  }

  LocalCharacteristicJSON decodeCharacteristic(const json& value) {
    expect(value, json::value_t::object, "object");
    LocalCharacteristicJSON c;
    c.UUID = requiredString(value, "UUID");
    c.properties = requiredString(value, "properties");
    c.protection = optionalInteger(value, "protection");
    c.afterRead = optionalString(value, "afterRead");
    c.afterWrite = optionalString(value, "afterWrite");
    c.afterSubscribe = optionalString(value, "afterSubscribe");
    c.afterUnsubscribe = optionalString(value, "afterUnsubscribe");
    c.format = optionalString(value, "format");
    c.encrypted = optionalBool(value, "encrypted");
    return c;
  }

  std::vector<std::string> path_;
};

std::string messageFor(const DecodingError& error) {
  std::optional<std::string> key = getKeyFromContext(error.context);
  switch (error.kind) {
    case DecodingError::Kind::keyNotFound:
      return "Missing key '" + error.key + "'";
    case DecodingError::Kind::valueNotFound:
      if (key) return "Missing value for '" + *key + "' (expected " + error.expectedType + ")";
      break;
    case DecodingError::Kind::typeMismatch:
      if (key) return "Type mismatch for '" + *key + "' (expected " + error.expectedType + ")";
      break;
    case DecodingError::Kind::dataCorrupted:
      break;
  }
  return "Unsupported JSON format";
}

void recordWrongParameters(const std::string& message) {
  Plugin::shared().setLastError(Errors::kWrongParameters, message);
}

bool isHexDigits(std::string_view text) {
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

const std::set<std::string, std::less<>> kPropertyWords = {"read", "write", "notify",
                                                           "writewithoutresponse"};

// The first piece of a properties text that is not a property word, or none.
std::optional<std::string> firstUnknownProperty(const std::string& properties) {
  std::string lower = lowercasedUTF8(properties);
  std::string_view rest = lower;
  while (!rest.empty()) {
    size_t bar = rest.find('|');
    std::string_view piece = rest.substr(0, bar);
    if (!piece.empty() && !kPropertyWords.contains(piece)) return std::string(piece);
    if (bar == std::string_view::npos) break;
    rest.remove_prefix(bar + 1);
  }
  return std::nullopt;
}

bool isFormatName(const std::string& name) {
  try {
    Formatter::formatTypeFromString(name);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

size_t std::hash<LocalCharKey>::operator()(const LocalCharKey& key) const noexcept {
  size_t h = std::hash<std::string>{}(key.servID);
  return h ^ (std::hash<std::string>{}(key.charID) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
}

nlohmann::ordered_json profileToJSON(const std::vector<LocalServiceJSON>& profile) {
  nlohmann::ordered_json services = nlohmann::ordered_json::array();
  for (const auto& s : profile) {
    nlohmann::ordered_json characteristics = nlohmann::ordered_json::array();
    for (const auto& c : s.characteristics) {
      nlohmann::ordered_json entry;
      entry["UUID"] = c.UUID;
      entry["properties"] = c.properties;
      if (c.protection) entry["protection"] = *c.protection;
      if (c.afterRead) entry["afterRead"] = *c.afterRead;
      if (c.afterWrite) entry["afterWrite"] = *c.afterWrite;
      if (c.afterSubscribe) entry["afterSubscribe"] = *c.afterSubscribe;
      if (c.afterUnsubscribe) entry["afterUnsubscribe"] = *c.afterUnsubscribe;
      if (c.format) entry["format"] = *c.format;
      if (c.encrypted) entry["encrypted"] = *c.encrypted;
      characteristics.push_back(std::move(entry));
    }
    nlohmann::ordered_json service;
    service["UUID"] = s.UUID;
    service["characteristics"] = std::move(characteristics);
    services.push_back(std::move(service));
  }
  return services;
}

std::optional<std::string> getKeyFromContext(const DecodingContext& context) {
  if (context.codingPath.empty()) return std::nullopt;
  return context.codingPath.back();
}

std::optional<std::vector<LocalServiceJSON>> loadProfile(const std::string& text) {
  Formatter::Bytes bytes;
  try {
    bytes = Formatter::UTF8ToBinary(text);
  } catch (const FormatError&) {
    recordWrongParameters("Input is not a UTF-8 string");
    return std::nullopt;
  }
  try {
    // Malformed text is corrupted data; the parser does not recurse, so deep nesting is safe.
    json parsed = json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (parsed.is_discarded()) {
      recordWrongParameters("Unsupported JSON format");
      return std::nullopt;
    }
    return ProfileDecoder().decodeProfile(parsed);
  } catch (const DecodingError& error) {
    recordWrongParameters(messageFor(error));
  } catch (const std::exception&) {
    recordWrongParameters("Input is not a valid JSON");
  }
  return std::nullopt;
}

bool isValidProfile(const std::vector<LocalServiceJSON>& profile) {
  std::unordered_set<LocalCharKey> seen;
  for (const auto& service : profile) {
    if (!isUUIDString(service.UUID)) {
      recordWrongParameters("Invalid service UUID");
      return false;
    }
    for (const auto& c : service.characteristics) {
      if (!isUUIDString(c.UUID)) {
        recordWrongParameters("Invalid characteristic UUID");
        return false;
      }
      if (auto word = firstUnknownProperty(c.properties)) {
        recordWrongParameters("Invalid characteristic property: " + *word);
        return false;
      }
      if (c.format && !isFormatName(*c.format)) {
        recordWrongParameters("Invalid characteristic format");
        return false;
      }
      if (c.protection && *c.protection < 0) {
        recordWrongParameters("Protection level must be a non-negative integer");
        return false;
      }
      if (!seen.insert(LocalCharKey{service.UUID, c.UUID}).second) {
        recordWrongParameters("Duplicate characteristic UUID combination");
        return false;
      }
    }
  }
  return true;
}

bool isUUIDString(const std::string& text) {
  if (text.size() == 4 && isHexDigits(text)) return true;
  if (text.size() == 8 && isHexDigits(text)) return true;
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) {
      return false;
    }
  }
  return true;
}

uint32_t characteristicProperties(const std::string& properties) {
  std::string lower = lowercasedUTF8(properties);
  uint32_t flags = 0;
  if (lower.find("read") != std::string::npos) flags |= CBCharacteristicPropertyRead;
  if (lower.find("write") != std::string::npos) flags |= CBCharacteristicPropertyWrite;
  if (lower.find("notify") != std::string::npos) flags |= CBCharacteristicPropertyNotify;
  if (lower.find("writewithoutresponse") != std::string::npos) {
    flags |= CBCharacteristicPropertyWriteWithoutResponse;
  }
  return flags;
}

uint32_t characteristicPermissions(const std::optional<bool>& encrypted) {
  if (encrypted.value_or(false)) {
    return CBAttributePermissionsReadEncryptionRequired |
           CBAttributePermissionsWriteEncryptionRequired;
  }
  return CBAttributePermissionsReadable | CBAttributePermissionsWriteable;
}
