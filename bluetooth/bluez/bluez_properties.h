// What BlueZ's D-Bus objects say, read into the Bluetooth interface's terms: typed property
// lookups that tolerate wrong types, characteristic flags, identifiers and error names.
// Pure functions; any thread.
#pragma once

#include <sdbus-c++/Types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bluetooth/core_bluetooth.h"

namespace bluez {

using Properties = std::map<std::string, sdbus::Variant>;
using Interfaces = std::map<std::string, Properties>;

inline constexpr const char* kService = "org.bluez";
inline constexpr const char* kAdapter = "org.bluez.Adapter1";
inline constexpr const char* kDevice = "org.bluez.Device1";
inline constexpr const char* kGattService = "org.bluez.GattService1";
inline constexpr const char* kGattCharacteristic = "org.bluez.GattCharacteristic1";
inline constexpr const char* kGattManager = "org.bluez.GattManager1";
inline constexpr const char* kAdvertisingManager = "org.bluez.LEAdvertisingManager1";
inline constexpr const char* kAdvertisement = "org.bluez.LEAdvertisement1";

// Copies of an sdbus::Variant share one message and its read position, so two threads that
// read copies of one cached property at once read each other's half-read values. Every read of
// a variant holds this lock.
std::mutex& variantReads();

// The property `key` when present and of type T; none when absent or of another type (a
// daemon that answers strangely must not take the helper down).
template <class T>
std::optional<T> property(const Properties& properties, const std::string& key) {
  auto it = properties.find(key);
  if (it == properties.end()) return std::nullopt;
  std::lock_guard lock(variantReads());
  try {
    if (!it->second.containsValueOfType<T>()) return std::nullopt;
    return it->second.get<T>();
  } catch (const sdbus::Error&) {
    return std::nullopt;
  }
}

// The 8-4-4-4-12 lower-case form BlueZ writes and reads everywhere: "0000180d-0000-1000-...".
std::string textOf(const CBUUID& uuid);

// Characteristic property bits from GattCharacteristic1's Flags; unknown flags are ignored.
uint32_t propertiesFromFlags(const std::vector<std::string>& flags);

// Flags for a local characteristic: its property bits, with the encrypted read and write
// variants where its permissions require encryption.
std::vector<std::string> flagsFor(uint32_t properties, uint32_t permissions);

// The local name as it fits the scan response (29 bytes, where bluetoothd cuts it), cut before a
// character instead of through one.
std::string advertisedName(const std::string& name);

// The stable identifier of a device seen by an adapter: the adapter's address as the first
// twelve hex digits, "0000-0000", then the device's address, upper-case:
// "00:1A:7D:DA:71:13" and "C0:FF:EE:00:00:01" give "001A7DDA-7113-0000-0000-C0FFEE000001".
// Addresses that are not six colon-separated hex bytes count as 00:00:00:00:00:00.
std::string identifierFor(const std::string& adapterAddress, const std::string& deviceAddress);

// The advertisement fields BlueZ keeps on a Device1 object. BlueZ does not say whether an
// advertisement was connectable, so every device counts as connectable.
CBAdvertisementData advertisementFrom(const Properties& device);

// A failed GATT call (read, write, notification state) as the platform reports it. bluetoothd
// 5.66 (src/gatt-client.c) names the device's ATT answers by error name and message:
// NotPermitted "Read not permitted", "Write not permitted" and "Not paired" (missing
// encryption), InvalidArguments "Invalid offset" and "Invalid Length", NotAuthorized,
// NotSupported, Failed "Operation failed with ATT error: 0x.."; those become the ATT errors
// they stand for. Failed "Not connected" and NotConnected are a lost link, InProgress another
// client's operation, an unanswered call a time-out; anything else is an unknown error.
CBError gattErrorFrom(const std::string& name, const std::string& message);

// Whether a failed connection went for Classic (BR/EDR): one of bluetoothd's "br-connection-"
// reasons, except "br-connection-canceled", which device.c:device_remove_connection gives a
// waiting Connect of either bearer when the link drops.
bool isClassicAttempt(const std::string& message);

// Whether a failed connection is worth another try: an LE attempt bluetoothd gave up
// (device.c:att_connect_cb names every failure "le-connection-abort-by-local"), one already
// under way (dev_connect: "Operation already in progress"; connect_profiles: InProgress), a
// link that dropped while Connect waited ("br-connection-canceled"), and Adapter1.ConnectDevice's
// failure (adapter.c:device_connect_cb: "org.bluez.Failed", no message) or AlreadyExists (an
// object bluetoothd made that the helper has not yet heard of).
bool isRetryableConnect(const std::string& name, const std::string& message);

// A failed connection: a call that timed out as a connection time-out; a Classic attempt with
// what the user can change; an LE attempt that bluetoothd gave up with its reason.
CBError connectErrorFrom(const std::string& name, const std::string& message);

// The D-Bus error name and message that answer a central's request with `result`: the name
// bluetoothd turns into that ATT code, or into the closest one it can send (0x08 for the
// authentication and encryption codes, 0x0e for "not found" and other codes it cannot send).
std::pair<std::string, std::string> errorFor(CBATTError result);

}  // namespace bluez
