// The generic get and set commands of the facade. Every selector is one small function below.
#include "plugin/selectors.h"

#include <limits>

#include "central/central_delegate.h"
#include "central/discovery.h"
#include "central/remote_profile.h"
#include "format/json_text.h"
#include "peripheral/peripheral_delegate.h"
#include "plugin/errors.h"
#include "plugin/plugin.h"

void to_json(nlohmann::json& j, const LocalStatusJSON& status) {
  j = nlohmann::json{{"bluetooth", status.bluetooth},
                     {"isScanning", status.isScanning},
                     {"isAdvertising", status.isAdvertising}};
}

void to_json(nlohmann::json& j, const RemoteStatusJSON& status) {
  j = nlohmann::json{{"UUID", status.UUID},
                     {"relationship", status.relationship},
                     {"subscribedFor", status.subscribedFor},
                     {"authorizationLevel", status.authorizationLevel}};
  if (status.name) j["name"] = *status.name;
}

std::string encodePrettyJSON(const nlohmann::json& value) {
  try {
    return value.dump(2, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::type_error&) {
    return kNotUTF8Answer;  // a text with bytes that are not UTF-8 somewhere in the record
  }
}

std::optional<int64_t> parseAuthorizationLevel(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  // Accumulate as a negative number so that the full signed range fits.
  int64_t value = 0;
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    int digit = c - '0';
    if (value < (kMin + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (negative) return value == 0 ? std::optional<int64_t>(0) : std::nullopt;
  if (value == kMin) return std::nullopt;
  return -value;
}

namespace {

Plugin& plugin() {
  return Plugin::shared();
}

std::string fail(int64_t code, const std::string& message) {
  plugin().setLastError(code, message);
  return plugin().badResult;
}

std::string wrongNumberOfParameters() {
  return fail(Errors::kWrongParameters, "Wrong number of parameters");
}

// Whether every text of the record is UTF-8, as the JSON answer needs.
bool isUTF8(const Discovery& d) {
  if (!isValidUTF8(d.peripheral->identifier())) return false;
  if (d.name && !isValidUTF8(*d.name)) return false;
  if (d.serviceUUIDs) {
    for (const auto& uuid : *d.serviceUUIDs) {
      if (!isValidUTF8(uuid)) return false;
    }
  }
  if (d.serviceData) {
    for (const auto& [uuid, bytes] : *d.serviceData) {
      if (!isValidUTF8(uuid) || !isValidUTF8(bytes)) return false;
    }
  }
  return true;
}

// ---- get without a device ----
// Written on the central queue, in one pass over the table: no copy of thousands of records.
std::string getDevices() {
  DiscoveryListWriter writer;
  bool utf8 = true;
  bool scanned = plugin().centralDelegate().forEachDiscovery(
      [&](const std::string&, const Discovery& discovery) {
        if (!utf8) return;
        utf8 = isUTF8(discovery);
        if (utf8) writer.add(discovery);
      });
  if (!scanned || plugin().commandError() != Errors::kNoError) return plugin().badResult;
  if (!utf8) return kNotUTF8Answer;
  return std::move(writer).finish();
}
std::string getLocalStatus() {
  LocalStatusJSON status;
  status.bluetooth = plugin().centralDelegate().getBluetoothStatusString();
  status.isScanning = plugin().centralDelegate().isScanning();
  status.isAdvertising = plugin().peripheralDelegate().isAdvertising();
  if (plugin().commandError() != Errors::kNoError) return plugin().badResult;
  return encodePrettyJSON(status);
}
std::string getConnections() {
  std::string joined;
  for (const auto& entry : plugin().centralDelegate().getConnectedDevices()) {
    if (!joined.empty()) joined += '\r';
    joined += entry.first;
  }
  return joined;
}
// Taken on the peripheral queue, so that a profile being set is never read half-way.
std::string getLocalProfile() {
  std::optional<std::vector<LocalServiceJSON>> profile = plugin().peripheralDelegate().getProfile();
  if (!profile) return fail(Errors::kNoData, "No local profile");
  try {
    return profileToJSON(*profile).dump(2, ' ', false,
                                        nlohmann::ordered_json::error_handler_t::replace);
  } catch (const std::exception&) {
    return fail(Errors::kUnknownError, "Failed to encode local profile");
  }
}
std::string getSubscribed() {
  std::string joined;
  for (const auto& id : plugin().peripheralDelegate().getSubscribed()) {
    if (!joined.empty()) joined += '\r';
    joined += id;
  }
  return joined;
}

// ---- get with a device ----
std::string getRemoteProfile(const std::string& deviceID) {
  std::vector<ServiceJSON> profile = plugin().centralDelegate().getRemoteProfile(deviceID);
  if (plugin().commandError() != Errors::kNoError) return plugin().badResult;
  return encodePrettyJSON(profile);
}
// A known device without a name fails without an error.
std::string getDeviceName(const std::string& deviceID) {
  return plugin().centralDelegate().getDeviceName(deviceID).value_or(plugin().badResult);
}
std::string getUUID(const std::string& deviceName) {
  return plugin().centralDelegate().getUUID(deviceName).value_or(plugin().badResult);
}
// Each test that holds replaces the relationship: the last one wins. The central role's tests
// take the device text as given, the peripheral role's the resolved identifier.
std::string relationshipOf(const std::string& given, const std::string& uuid) {
  CentralDelegate& central = plugin().centralDelegate();
  PeripheralDelegate& peripheral = plugin().peripheralDelegate();
  std::string relationship = "none";
  if (central.isDiscovered(given)) relationship = "discoveredPeripheral";
  if (central.isConnected(given)) relationship = "connectedPeripheral";
  if (peripheral.isKnown(uuid)) relationship = "knownCentral";
  if (peripheral.isSubscribed(uuid)) relationship = "subscribedCentral";
  return relationship;
}

std::string getRemoteStatus(const std::string& deviceID) {
  CentralDelegate& central = plugin().centralDelegate();
  PeripheralDelegate& peripheral = plugin().peripheralDelegate();
  RemoteStatusJSON status;
  status.UUID = central.getUUID(deviceID).value_or(deviceID);
  status.name = central.getDeviceName(status.UUID);
  std::set<std::string> subscribed =
      peripheral.getSubscribedFor(status.UUID).value_or(std::set<std::string>{});
  status.authorizationLevel = peripheral.getAuthorizationLevel(status.UUID);
  status.relationship = relationshipOf(deviceID, status.UUID);
  status.subscribedFor.assign(subscribed.begin(), subscribed.end());  // a set is sorted
  std::string text = encodePrettyJSON(status);
  // Look-ups that found nothing (an unknown name, say) don't make the answer a failure.
  plugin().setLastError(Errors::kNoError);
  return text;
}

// ---- set ----
void setLocalProfile(const std::string& value) {
  plugin().peripheralDelegate().setProfile(value);
}

void setAuthorization(const std::string& deviceID, const std::string& value) {
  std::optional<int64_t> level = parseAuthorizationLevel(value);
  if (!level) {
    plugin().setLastError(Errors::kWrongParameters, "Invalid authorization level");
    return;
  }
  // The device text goes as given: a central is named only by its identifier.
  plugin().peripheralDelegate().setAuthorizationLevel(deviceID, *level);
}

}  // namespace

std::string Plugin::get(const std::string& selector) {
  resetLastError();
  if (selector == "devices") return getDevices();
  if (selector == "status") return getLocalStatus();
  if (selector == "connections") return getConnections();
  if (selector == "localprofile") return getLocalProfile();
  if (selector == "subscribed") return getSubscribed();
  if (kAvailableGetSelectors.count(selector) != 0) return wrongNumberOfParameters();
  return fail(Errors::kWrongParameters, "Unknown selector: " + selector);
}

std::string Plugin::get(const std::string& selector, const std::string& deviceID) {
  resetLastError();
  if (selector == "remoteprofile") return getRemoteProfile(deviceID);
  if (selector == "devicename") return getDeviceName(deviceID);
  if (selector == "uuid") return getUUID(deviceID);
  if (selector == "status") return getRemoteStatus(deviceID);
  if (kAvailableGetSelectors.count(selector) != 0) return wrongNumberOfParameters();
  return fail(Errors::kWrongParameters, "Unknown selector: " + selector);
}

void Plugin::set(const std::string& selector, const std::string& value,
                 const std::string& filename) {
  resetLastError();
  // Stored for every word, also unknown ones: the profile's after-scripts take this file name.
  setCurrentFileName(filename);
  if (selector == "localprofile") {
    setLocalProfile(value);
  } else if (kAvailableSetSelectors.count(selector) != 0) {
    wrongNumberOfParameters();
  } else {
    fail(Errors::kWrongParameters, "Unknown parameter: " + selector);
  }
}

void Plugin::setForDevice(const std::string& selector, const std::string& deviceID,
                          const std::string& value) {
  resetLastError();
  if (selector == "authorization") {
    setAuthorization(deviceID, value);
  } else if (kAvailableSetSelectors.count(selector) != 0) {
    wrongNumberOfParameters();
  } else {
    fail(Errors::kWrongParameters, "Unknown parameter: " + selector);
  }
}
