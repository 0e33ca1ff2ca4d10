// The local GATT profile as the plug-in describes it in JSON: its records, the decoder with its
// messages, the checks, and the entries of the peripheral role's characteristic table.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bluetooth/core_bluetooth.h"
#include "plugin/fm_script.h"

// One characteristic of the profile, kept exactly as decoded (texts are not normalised).
struct LocalCharacteristicJSON {
  std::string UUID;
  std::string properties;             // words joined by "|", case ignored
  std::optional<int64_t> protection;  // absent means 0
  std::optional<std::string> afterRead;
  std::optional<std::string> afterWrite;
  std::optional<std::string> afterSubscribe;
  std::optional<std::string> afterUnsubscribe;
  std::optional<std::string> format;  // absent means "UTF-8"
  std::optional<bool> encrypted;
};

struct LocalServiceJSON {
  std::string UUID;
  std::vector<LocalCharacteristicJSON> characteristics;
};

// Writes the required members always and each optional one only when present, in declaration
// order. Any thread.
nlohmann::ordered_json profileToJSON(const std::vector<LocalServiceJSON>& profile);

// The key of the characteristic table: both UUID texts exactly as the profile wrote them.
struct LocalCharKey {
  std::string servID;
  std::string charID;
  friend bool operator==(const LocalCharKey&, const LocalCharKey&) = default;
};

template <>
struct std::hash<LocalCharKey> {
  size_t operator()(const LocalCharKey& key) const noexcept;
};

// One entry of the characteristic table.
struct LocalChar {
  std::shared_ptr<CBMutableCharacteristic> char_;  // `char`: the characteristic as published
  int64_t protectionLevel = 0;
  std::optional<FMScript> afterRead;
  std::optional<FMScript> afterWrite;
  std::optional<FMScript> afterSubscribe;
  std::optional<FMScript> afterUnsubscribe;
};

// Where a decoding failure lies: member names, and "Index N" for an array element.
struct DecodingContext {
  std::vector<std::string> codingPath;
};

// The last member name on the path to a decoding failure; none when the path is empty.
// Any thread.
std::optional<std::string> getKeyFromContext(const DecodingContext& context);

// Decodes the profile text, or records kWrongParameters with the first fault's message on the
// facade and returns none. Runs on the request's thread; touches no role state.
std::optional<std::vector<LocalServiceJSON>> loadProfile(const std::string& text);

// Checks a decoded profile; records kWrongParameters with the first fault's message and returns
// false. Runs on the request's thread; touches no role state.
bool isValidProfile(const std::vector<LocalServiceJSON>& profile);

// The UUID texts a profile may use: 4 or 8 hexadecimal digits, or the 36-character 8-4-4-4-12
// form, either case, nothing around them. Any thread.
bool isUUIDString(const std::string& text);

// The property flags of a properties text, by substring tests on the lower-cased whole:
// "writewithoutresponse" alone gives both write flags. Any thread.
uint32_t characteristicProperties(const std::string& properties);

// Permissions: both "encryption required" bits when encrypted, else readable and writeable.
// Any thread.
uint32_t characteristicPermissions(const std::optional<bool>& encrypted);
