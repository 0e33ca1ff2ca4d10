// The boundary between CoreBluetooth's Objective-C objects and the portable managers: plain C++
// values that the Objective-C layer copies out of each callback, the events it hands them to,
// and the calls it makes into CoreBluetooth. Only the .mm files and tests implement the
// platform side; nothing here names an Objective-C type, so it builds and is tested anywhere.
// Nor does it include the CB... interface, whose names clash with CoreBluetooth's own.
//
// Threads: the platform calls the events of one manager on that manager's own serial dispatch
// queue, one at a time, and never from inside a platform call. Platform calls may come from any
// thread; they never wait for an event to be handled, so they may be made from inside one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace macos {

// Names one CoreBluetooth service, characteristic or ATT request across the boundary. The
// platform gives each object it hands over its own number and never reuses it; the numbers of
// local characteristics and services are chosen by the peripheral manager when it adds them.
using ObjectID = uint64_t;

// Bytes of an NSData (the same type as the interface's Bytes).
using Bytes = std::vector<uint8_t>;

// An NSError: its domain, code and localizedDescription.
struct ErrorValue {
  std::string domain;
  int64_t code = 0;
  std::string description;
};

struct PeripheralValue {
  std::string identifier;  // the NSUUID's UUIDString
  std::optional<std::string> name;
};

struct ServiceValue {
  ObjectID id = 0;
  std::string uuid;  // the CBUUID's UUIDString
  bool primary = true;
};

struct CharacteristicValue {
  ObjectID id = 0;
  std::string uuid;
  uint32_t properties = 0;
};

// The advertisement dictionary; a key the advertisement did not carry is none.
struct AdvertisementValue {
  std::optional<std::string> localName;
  std::optional<Bytes> manufacturerData;
  std::optional<std::vector<std::string>> serviceUUIDs;
  std::optional<std::vector<std::pair<std::string, Bytes>>> serviceData;
  std::optional<int> isConnectable;
};

struct CentralValue {
  std::string identifier;
  size_t maximumUpdateValueLength = 20;
};

// A CBATTRequest. `value` is none where CoreBluetooth has nil (every read request).
struct RequestValue {
  CentralValue central;
  ObjectID characteristic = 0;
  size_t offset = 0;
  std::optional<Bytes> value;
};

// What the central side of CoreBluetooth reports. Peripherals are named by identifier.
class CentralEvents {
 public:
  virtual ~CentralEvents() = default;
  virtual void stateChanged(int state) = 0;
  virtual void discovered(const PeripheralValue& peripheral, const AdvertisementValue& ad,
                          int rssi) = 0;
  virtual void connected(const PeripheralValue& peripheral) = 0;
  virtual void failedToConnect(const PeripheralValue& peripheral,
                               const std::optional<ErrorValue>& error) = 0;
  virtual void disconnected(const PeripheralValue& peripheral,
                            const std::optional<ErrorValue>& error) = 0;
  virtual void discoveredServices(const std::string& peripheral,
                                  const std::vector<ServiceValue>& services,
                                  const std::optional<ErrorValue>& error) = 0;
  virtual void discoveredCharacteristics(const std::string& peripheral, ObjectID service,
                                         const std::vector<CharacteristicValue>& characteristics,
                                         const std::optional<ErrorValue>& error) = 0;
  // `value` is the characteristic's value as it was when the callback ran.
  virtual void valueUpdated(const std::string& peripheral, ObjectID characteristic,
                            const std::optional<Bytes>& value,
                            const std::optional<ErrorValue>& error) = 0;
  virtual void valueWritten(const std::string& peripheral, ObjectID characteristic,
                            const std::optional<ErrorValue>& error) = 0;
  virtual void notificationStateUpdated(const std::string& peripheral, ObjectID characteristic,
                                        bool notifying, const std::optional<ErrorValue>& error) = 0;
};

// Calls into CBCentralManager and CBPeripheral. Unknown identifiers and numbers are ignored.
// Destroying it stops every event: none runs after the destructor returns. It must not be
// destroyed on its own dispatch queue.
class CentralPlatform {
 public:
  virtual ~CentralPlatform() = default;
  virtual void scan(const std::optional<std::vector<std::string>>& services,
                    bool allowDuplicates) = 0;
  virtual void stopScan() = 0;
  virtual void connect(const std::string& peripheral) = 0;
  virtual void cancelConnection(const std::string& peripheral) = 0;
  virtual void discoverServices(const std::string& peripheral) = 0;
  virtual void discoverCharacteristics(const std::string& peripheral, ObjectID service) = 0;
  virtual void readValue(const std::string& peripheral, ObjectID characteristic) = 0;
  virtual void writeValue(const std::string& peripheral, ObjectID characteristic,
                          const Bytes& value, bool withResponse) = 0;
  virtual void setNotifyValue(const std::string& peripheral, ObjectID characteristic,
                              bool enabled) = 0;
  // 512 or the link's MTU minus 3; 20 for an unknown peripheral.
  virtual size_t maximumWriteValueLength(const std::string& peripheral, bool withResponse) = 0;
};

// What the peripheral side of CoreBluetooth reports.
class PeripheralEvents {
 public:
  virtual ~PeripheralEvents() = default;
  virtual void stateChanged(int state) = 0;
  virtual void serviceAdded(ObjectID service, const std::optional<ErrorValue>& error) = 0;
  virtual void advertisingStarted(const std::optional<ErrorValue>& error) = 0;
  // `request` names the CBATTRequest to answer.
  virtual void readRequest(ObjectID request, const RequestValue& value) = 0;
  // `requests` came in one callback; `first` names the request CoreBluetooth wants the one
  // answer for.
  virtual void writeRequests(ObjectID first, const std::vector<RequestValue>& requests) = 0;
  virtual void subscribed(const CentralValue& central, ObjectID characteristic) = 0;
  virtual void unsubscribed(const CentralValue& central, ObjectID characteristic) = 0;
  virtual void readyToUpdateSubscribers() = 0;
};

struct CharacteristicToPublish {
  ObjectID id = 0;
  std::string uuid;
  uint32_t properties = 0;
  uint32_t permissions = 0;
};

// A CBMutableService to publish; its characteristics are made without a cached value, so that
// every read and write reaches the delegate.
struct ServiceToPublish {
  ObjectID id = 0;
  std::string uuid;
  bool primary = true;
  std::vector<CharacteristicToPublish> characteristics;
};

// Calls into CBPeripheralManager. Destruction as for CentralPlatform.
class PeripheralPlatform {
 public:
  virtual ~PeripheralPlatform() = default;
  virtual void removeAllServices() = 0;
  virtual void addService(const ServiceToPublish& service) = 0;
  virtual void startAdvertising(const std::optional<std::string>& localName,
                                const std::vector<std::string>& serviceUUIDs) = 0;
  virtual void stopAdvertising() = 0;
  // respondToRequest:withResult: with the ATT result code `result` for the request `request`,
  // after setting its value to `value` when there is one. The number is forgotten afterwards.
  virtual void respond(ObjectID request, uint8_t result, const std::optional<Bytes>& value) = 0;
  // updateValue:forCharacteristic:onSubscribedCentrals: with the centrals of these identifiers
  // (nil when none); false when CoreBluetooth's transmit queue is full.
  virtual bool updateValue(ObjectID characteristic, const Bytes& value,
                           const std::optional<std::vector<std::string>>& centrals) = 0;
};

// Make the Objective-C layer for a manager whose events go to `events`; `label` names the
// manager's dispatch queue. `events` must outlive the platform made.
using CentralPlatformFactory = std::function<std::unique_ptr<CentralPlatform>(
    CentralEvents& events, const std::string& label)>;
using PeripheralPlatformFactory = std::function<std::unique_ptr<PeripheralPlatform>(
    PeripheralEvents& events, const std::string& label)>;

}  // namespace macos
