// Emulated peripherals: the node API for devices that do more than a peripheral manager offers
// (signal-strength ranges, manufacturer and service data, connectable flag, connections that are
// refused or never answered, requests answered with an ATT error or not at all, dropped links,
// periodic notifications, timelines of notifications and faults). The device emulator is built on
// it; tests use it directly.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bluetooth/sim/peripheral_node.h"

namespace sim {

// How a device answers one kind of request.
struct Answer {
  enum class Kind { respond, ignore, error, delay };
  Kind kind = Kind::respond;
  uint8_t att = 0;                     // the ATT error code when kind is error
  std::chrono::milliseconds after{0};  // how long a delayed answer waits (reads and writes)

  static Answer respond() { return {}; }
  static Answer ignore() { return {Kind::ignore, 0, {}}; }
  static Answer error(uint8_t att) { return {Kind::error, att, {}}; }
  static Answer delay(std::chrono::milliseconds after) { return {Kind::delay, 0, after}; }
};

struct PeriodicNotify {
  std::chrono::milliseconds every{1000};
  std::vector<std::vector<uint8_t>> values;  // sent in turn, from the first
};

// One step of a timeline, `at` after the central subscribed.
struct TimelineEvent {
  enum class Kind { value, drop, advertiseOff, advertiseOn, onRead };
  std::chrono::milliseconds at{0};
  Kind kind = Kind::value;
  std::vector<uint8_t> value;  // value: set and notified to the subscribing central
  Answer onRead;               // onRead: how reads are answered from now on
  // onRead: the characteristic whose reads change, as (service, characteristic) indexes into
  // the device's configuration; none for the timeline's own characteristic.
  std::optional<std::pair<size_t, size_t>> target;
};

// Events played in order for each central that subscribes, from its subscription until it
// unsubscribes or its link ends; with `loop`, again every `period`.
struct Timeline {
  std::vector<TimelineEvent> events;  // `at` never decreases
  bool loop = false;
  std::chrono::milliseconds period{0};  // greater than every `at` when looping
};

struct EmulatedCharacteristic {
  CBUUID uuid = CBUUID::from16(0);
  uint32_t properties = 0;  // CBCharacteristicProperties bits
  std::optional<std::vector<uint8_t>> value;
  Answer onRead;
  Answer onWrite;
  Answer onSubscribe;
  std::optional<PeriodicNotify> notify;
  std::optional<Timeline> timeline;
};

struct EmulatedService {
  CBUUID uuid = CBUUID::from16(0);
  std::vector<EmulatedCharacteristic> characteristics;
};

struct AdvertisingConfig {
  std::optional<std::string> localName;
  std::chrono::milliseconds interval{100};
  bool connectable = true;
  std::optional<std::vector<uint8_t>> manufacturerData;
  std::optional<std::vector<CBUUID>> serviceUUIDs;
  std::optional<std::map<CBUUID, std::vector<uint8_t>>> serviceData;
};

struct EmulatedDeviceConfig {
  NodeId id = randomNodeId();
  std::optional<std::string> name;
  int rssiMin = -60;  // each advertisement's signal strength is drawn from [rssiMin, rssiMax]
  int rssiMax = -60;
  std::optional<AdvertisingConfig> advertising;  // none: not advertising
  ConnectDecision connection = ConnectDecision::accept;
  uint16_t mtu = kDefaultMTU;
  std::vector<EmulatedService> services;
};

// What centrals did to a device; called on the device's queue. Defaults do nothing.
class EmulatedDeviceObserver {
 public:
  virtual ~EmulatedDeviceObserver() = default;
  virtual void deviceConnected(const std::string& /*device*/, const std::string& /*central*/) {}
  virtual void deviceDisconnected(const std::string& /*device*/, const std::string& /*central*/) {}
  virtual void deviceRead(const std::string& /*device*/, const CBUUID& /*service*/,
                          const CBUUID& /*characteristic*/) {}
  virtual void deviceWritten(const std::string& /*device*/, const CBUUID& /*service*/,
                             const CBUUID& /*characteristic*/,
                             const std::vector<uint8_t>& /*value*/) {}
  virtual void deviceSubscribed(const std::string& /*device*/, const CBUUID& /*service*/,
                                const CBUUID& /*characteristic*/, bool /*subscribed*/) {}
};

class EmulatedDevice {
 public:
  // Puts the device into `air` and starts advertising if its configuration says so. The
  // observer and the queue must outlive the device. Any thread.
  static std::shared_ptr<EmulatedDevice> create(std::shared_ptr<Air> air,
                                                EmulatedDeviceConfig config,
                                                EmulatedDeviceObserver& observer,
                                                DispatchQueue& queue);
  virtual ~EmulatedDevice() = default;

  // Upper-case identifier text.
  virtual std::string identifier() const = 0;
  virtual const EmulatedDeviceConfig& config() const = 0;

  // Advertising on (with the configured data; a device configured without advertising data
  // advertises an empty, connectable advertisement) or off. Any thread.
  virtual void setAdvertising(bool on) = 0;
  virtual bool isAdvertising() const = 0;
  // Sets a characteristic's value; false when the device has no such characteristic. Any thread.
  virtual bool setValue(const CBUUID& service, const CBUUID& characteristic,
                        std::vector<uint8_t> value) = 0;
  // Sets the value and notifies the subscribed centrals; false as for setValue. Any thread.
  virtual bool notify(const CBUUID& service, const CBUUID& characteristic,
                      std::vector<uint8_t> value) = 0;
  virtual std::optional<std::vector<uint8_t>> value(const CBUUID& service,
                                                    const CBUUID& characteristic) const = 0;
  // Ends every link (centrals see the device disconnect). Any thread.
  virtual void dropLinks() = 0;
};

}  // namespace sim
