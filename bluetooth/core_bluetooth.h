// The Bluetooth LE platform as the two roles see it: managers, peripherals, services,
// characteristics, centrals and ATT requests, shaped like the part of CoreBluetooth they use.
// The roles include only this header; which backend stands behind it is chosen in backend.h.
//
// Contracts that every backend keeps:
// - Every callback of a manager, and of the objects it hands out, runs on the DispatchQueue the
//   manager was created with, one at a time. The delegate and the queue must outlive the
//   manager. No exception thrown by a delegate leaves the callback (the backend catches it).
// - A platform object stays the same object (the same shared_ptr target) across callbacks, so
//   an awaited target can be matched by pointer identity.
// - Identifier and UUID texts are upper-case and stable for a device.
// - Operations on managers and peripherals may be called from any thread; they never block on
//   the manager's queue, so calling them from inside a callback is fine.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bluetooth/cb_error.h"
#include "bluetooth/cb_uuid.h"

class DispatchQueue;

using CBData = std::vector<uint8_t>;

enum class CBManagerState : int {
  unknown = 0,
  resetting = 1,
  unsupported = 2,
  unauthorized = 3,
  poweredOff = 4,
  poweredOn = 5,
};

// Property bits of a characteristic.
enum CBCharacteristicProperties : uint32_t {
  CBCharacteristicPropertyBroadcast = 0x01,
  CBCharacteristicPropertyRead = 0x02,
  CBCharacteristicPropertyWriteWithoutResponse = 0x04,
  CBCharacteristicPropertyWrite = 0x08,
  CBCharacteristicPropertyNotify = 0x10,
  CBCharacteristicPropertyIndicate = 0x20,
};

// Permission bits of a local characteristic.
enum CBAttributePermissions : uint32_t {
  CBAttributePermissionsReadable = 0x01,
  CBAttributePermissionsWriteable = 0x02,
  CBAttributePermissionsReadEncryptionRequired = 0x04,
  CBAttributePermissionsWriteEncryptionRequired = 0x08,
};

enum class CBCharacteristicWriteType : int { withResponse = 0, withoutResponse = 1 };

// ATT result codes answered to remote requests.
enum class CBATTError : uint8_t {
  success = 0x00,
  invalidHandle = 0x01,
  readNotPermitted = 0x02,
  writeNotPermitted = 0x03,
  invalidPdu = 0x04,
  insufficientAuthentication = 0x05,
  requestNotSupported = 0x06,
  invalidOffset = 0x07,
  insufficientAuthorization = 0x08,
  prepareQueueFull = 0x09,
  attributeNotFound = 0x0A,
  attributeNotLong = 0x0B,
  insufficientEncryptionKeySize = 0x0C,
  invalidAttributeValueLength = 0x0D,
  unlikelyError = 0x0E,
  insufficientEncryption = 0x0F,
  unsupportedGroupType = 0x10,
  insufficientResources = 0x11,
};

// What an advertisement carried, as the discovery callback hands it over. A field that the
// advertisement did not carry is none.
struct CBAdvertisementData {
  std::optional<std::string> localName;                 // CBAdvertisementDataLocalNameKey
  std::optional<CBData> manufacturerData;               // CBAdvertisementDataManufacturerDataKey
  std::optional<std::vector<CBUUID>> serviceUUIDs;      // CBAdvertisementDataServiceUUIDsKey
  std::optional<std::map<CBUUID, CBData>> serviceData;  // CBAdvertisementDataServiceDataKey
  std::optional<int> isConnectable;                     // CBAdvertisementDataIsConnectable
};

// What the peripheral manager may advertise (the platform accepts only these two keys).
struct CBAdvertisingRequest {
  std::optional<std::string> localName;
  std::vector<CBUUID> serviceUUIDs;
};

struct CBScanOptions {
  bool allowDuplicates = false;  // CBCentralManagerScanOptionAllowDuplicatesKey
};

class CBPeripheral;
class CBService;
class CBCharacteristic;
class CBPeripheralDelegate;

// ---- Remote objects seen by a central ----

class CBCharacteristic {
 public:
  virtual ~CBCharacteristic() = default;
  virtual CBUUID UUID() const = 0;
  virtual uint32_t properties() const = 0;
  // The latest value read or notified; none before the first.
  virtual std::optional<CBData> value() const = 0;
  virtual bool isNotifying() const = 0;
  // The owning service; null once the service is gone.
  virtual std::shared_ptr<CBService> service() const = 0;
  // The platform's textual description, for log lines.
  virtual std::string description() const = 0;
};

class CBService {
 public:
  virtual ~CBService() = default;
  virtual CBUUID UUID() const = 0;
  virtual bool isPrimary() const = 0;
  // None until characteristics were discovered for this service.
  virtual std::optional<std::vector<std::shared_ptr<CBCharacteristic>>> characteristics() const = 0;
  // The owning peripheral; null once it is gone.
  virtual std::shared_ptr<CBPeripheral> peripheral() const = 0;
  virtual std::string description() const = 0;
};

class CBPeripheral {
 public:
  virtual ~CBPeripheral() = default;
  // Upper-case 8-4-4-4-12 text of the peripheral's identifier.
  virtual std::string identifier() const = 0;
  // The device's own name (GAP name), none if it has none.
  virtual std::optional<std::string> name() const = 0;
  // The delegate receives the callbacks below on the queue of the manager that connected it.
  // Null clears it. The delegate must outlive its registration.
  virtual void setDelegate(CBPeripheralDelegate* delegate) = 0;
  // None until services were discovered.
  virtual std::optional<std::vector<std::shared_ptr<CBService>>> services() const = 0;
  virtual void discoverServices() = 0;
  virtual void discoverCharacteristics(const std::shared_ptr<CBService>& service) = 0;
  virtual void readValue(const std::shared_ptr<CBCharacteristic>& characteristic) = 0;
  virtual void writeValue(const CBData& data,
                          const std::shared_ptr<CBCharacteristic>& characteristic,
                          CBCharacteristicWriteType type) = 0;
  // 512 with response; the link's MTU minus 3 without.
  virtual size_t maximumWriteValueLength(CBCharacteristicWriteType type) const = 0;
  virtual void setNotifyValue(bool enabled,
                              const std::shared_ptr<CBCharacteristic>& characteristic) = 0;
  virtual std::string description() const = 0;
};

// Callbacks of a connected peripheral; each runs on the manager's queue. Defaults do nothing.
class CBPeripheralDelegate {
 public:
  virtual ~CBPeripheralDelegate() = default;
  virtual void peripheralDidDiscoverServices(const std::shared_ptr<CBPeripheral>&,
                                             const std::optional<CBError>&) {}
  virtual void peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<CBPeripheral>&,
                                                              const std::shared_ptr<CBService>&,
                                                              const std::optional<CBError>&) {}
  // A read answer or a notification.
  virtual void peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<CBPeripheral>&,
                                                         const std::shared_ptr<CBCharacteristic>&,
                                                         const std::optional<CBError>&) {}
  // The answer to a write with response.
  virtual void peripheralDidWriteValueForCharacteristic(const std::shared_ptr<CBPeripheral>&,
                                                        const std::shared_ptr<CBCharacteristic>&,
                                                        const std::optional<CBError>&) {}
  virtual void peripheralDidUpdateNotificationStateForCharacteristic(
      const std::shared_ptr<CBPeripheral>&, const std::shared_ptr<CBCharacteristic>&,
      const std::optional<CBError>&) {}
};

// ---- The central manager ----

class CBCentralManager;

class CBCentralManagerDelegate {
 public:
  virtual ~CBCentralManagerDelegate() = default;
  virtual void centralManagerDidUpdateState(CBCentralManager& central) = 0;
  virtual void centralManagerDidDiscoverPeripheral(CBCentralManager&,
                                                   const std::shared_ptr<CBPeripheral>&,
                                                   const CBAdvertisementData&, int /*rssi*/) {}
  virtual void centralManagerDidConnectPeripheral(CBCentralManager&,
                                                  const std::shared_ptr<CBPeripheral>&) {}
  virtual void centralManagerDidFailToConnectPeripheral(CBCentralManager&,
                                                        const std::shared_ptr<CBPeripheral>&,
                                                        const std::optional<CBError>&) {}
  virtual void centralManagerDidDisconnectPeripheral(CBCentralManager&,
                                                     const std::shared_ptr<CBPeripheral>&,
                                                     const std::optional<CBError>&) {}
};

class CBCentralManager {
 public:
  // Creates a manager of the installed backend (backend.h). It reports its first state through
  // centralManagerDidUpdateState on `queue`.
  static std::shared_ptr<CBCentralManager> create(CBCentralManagerDelegate& delegate,
                                                  DispatchQueue& queue);

  virtual ~CBCentralManager() = default;
  virtual CBManagerState state() const = 0;
  // `services` none: every peripheral; otherwise only those advertising one of them.
  virtual void scanForPeripherals(const std::optional<std::vector<CBUUID>>& services,
                                  const CBScanOptions& options) = 0;
  virtual void stopScan() = 0;
  virtual bool isScanning() const = 0;
  virtual void connect(const std::shared_ptr<CBPeripheral>& peripheral) = 0;
  virtual void cancelPeripheralConnection(const std::shared_ptr<CBPeripheral>& peripheral) = 0;
};

// ---- The peripheral manager and its local objects ----

class CBCentral {
 public:
  virtual ~CBCentral() = default;
  virtual std::string identifier() const = 0;
  // The link's MTU minus 3.
  virtual size_t maximumUpdateValueLength() const = 0;
};

// A characteristic of the local profile. Created by the role; the backend reads it when its
// service is added. Thread-safe: the value may be read and set from any thread.
class CBMutableCharacteristic : public CBCharacteristic {
 public:
  CBMutableCharacteristic(CBUUID uuid, uint32_t properties, std::optional<CBData> value,
                          uint32_t permissions);
  CBUUID UUID() const override { return uuid_; }
  uint32_t properties() const override { return properties_; }
  uint32_t permissions() const { return permissions_; }
  std::optional<CBData> value() const override;
  void setValue(std::optional<CBData> value);
  bool isNotifying() const override { return false; }
  std::shared_ptr<CBService> service() const override;
  void setService(const std::weak_ptr<CBService>& service);
  std::string description() const override;

 private:
  const CBUUID uuid_;
  const uint32_t properties_;
  const uint32_t permissions_;
  mutable std::mutex mutex_;
  std::optional<CBData> value_;
  std::weak_ptr<CBService> service_;
};

class CBMutableService : public CBService, public std::enable_shared_from_this<CBMutableService> {
 public:
  CBMutableService(CBUUID uuid, bool primary) : uuid_(uuid), primary_(primary) {}
  CBUUID UUID() const override { return uuid_; }
  bool isPrimary() const override { return primary_; }
  std::optional<std::vector<std::shared_ptr<CBCharacteristic>>> characteristics() const override;
  const std::vector<std::shared_ptr<CBMutableCharacteristic>>& mutableCharacteristics() const {
    return characteristics_;
  }
  // Sets the list and makes this service their owner.
  void setCharacteristics(std::vector<std::shared_ptr<CBMutableCharacteristic>> characteristics);
  std::shared_ptr<CBPeripheral> peripheral() const override { return nullptr; }
  std::string description() const override;

 private:
  const CBUUID uuid_;
  const bool primary_;
  std::vector<std::shared_ptr<CBMutableCharacteristic>> characteristics_;
};

// A read or write from a remote central, answered once with respondToRequest.
class CBATTRequest {
 public:
  virtual ~CBATTRequest() = default;
  virtual std::shared_ptr<CBCentral> central() const = 0;
  virtual std::shared_ptr<CBCharacteristic> characteristic() const = 0;
  virtual size_t offset() const = 0;
  // For a write: the bytes written. For a read: what the responder sets before answering.
  virtual const CBData& value() const = 0;
  virtual void setValue(CBData value) = 0;
};

class CBPeripheralManager;

class CBPeripheralManagerDelegate {
 public:
  virtual ~CBPeripheralManagerDelegate() = default;
  virtual void peripheralManagerDidUpdateState(CBPeripheralManager& peripheral) = 0;
  virtual void peripheralManagerDidReceiveReadRequest(CBPeripheralManager&,
                                                      const std::shared_ptr<CBATTRequest>&) {}
  virtual void peripheralManagerDidReceiveWriteRequests(
      CBPeripheralManager&, const std::vector<std::shared_ptr<CBATTRequest>>&) {}
  virtual void peripheralManagerCentralDidSubscribe(CBPeripheralManager&,
                                                    const std::shared_ptr<CBCentral>&,
                                                    const std::shared_ptr<CBCharacteristic>&) {}
  virtual void peripheralManagerCentralDidUnsubscribe(CBPeripheralManager&,
                                                      const std::shared_ptr<CBCentral>&,
                                                      const std::shared_ptr<CBCharacteristic>&) {}
  // The transmit queue has room again after updateValue returned false: the updates it refused
  // can be sent now, in their order. Comes once per refusal spell, not once per refused value.
  virtual void peripheralManagerIsReadyToUpdateSubscribers(CBPeripheralManager&) {}
};

class CBPeripheralManager {
 public:
  // Creates a manager of the installed backend (backend.h). It reports its first state through
  // peripheralManagerDidUpdateState on `queue`.
  static std::shared_ptr<CBPeripheralManager> create(CBPeripheralManagerDelegate& delegate,
                                                     DispatchQueue& queue);

  virtual ~CBPeripheralManager() = default;
  virtual CBManagerState state() const = 0;
  virtual void removeAllServices() = 0;
  virtual void addService(const std::shared_ptr<CBMutableService>& service) = 0;
  // Why the platform would refuse to publish `service`, in words for the plug-in; none when it
  // would publish it. Asked before a profile changes anything. Any thread.
  virtual std::optional<std::string> publishingRefusal(const CBMutableService& /*service*/) const {
    return std::nullopt;
  }
  virtual void startAdvertising(const CBAdvertisingRequest& advertisement) = 0;
  virtual void stopAdvertising() = 0;
  virtual bool isAdvertising() const = 0;
  // Answers a read or write request; a read answered with success sends request->value().
  virtual void respondToRequest(const std::shared_ptr<CBATTRequest>& request,
                                CBATTError result) = 0;
  // Sends a notification to those of `centrals` (all subscribers when none) that are
  // subscribed to `characteristic`. False when the transmit queue is full: nothing was sent,
  // and peripheralManagerIsReadyToUpdateSubscribers follows once there is room.
  virtual bool updateValue(
      const CBData& value, const std::shared_ptr<CBMutableCharacteristic>& characteristic,
      const std::optional<std::vector<std::shared_ptr<CBCentral>>>& centrals) = 0;
};
