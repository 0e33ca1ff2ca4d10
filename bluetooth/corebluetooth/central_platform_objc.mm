// The central side of the Objective-C layer: a CBCentralManager on a serial dispatch queue of
// its own, and one delegate object for it and for every peripheral it connects. Callbacks copy
// what they carry and hand it to the portable manager; calls run on the same queue.
#import <CoreBluetooth/CoreBluetooth.h>
#import <Foundation/Foundation.h>
#import <dispatch/dispatch.h>

#include <memory>
#include <string>
#include <unordered_map>

#include "bluetooth/corebluetooth/objc_bridge.h"
#include "bluetooth/corebluetooth/objc_values.h"

namespace macos {
class CentralPlatformObjC;
}

// The callbacks the delegate implements, required here: CoreBluetooth's are optional, so a
// misspelt implementation would otherwise compile and never be called.
@protocol VelnorCentralCallbacks <CBCentralManagerDelegate, CBPeripheralDelegate>
@required
- (void)centralManager:(CBCentralManager*)central
    didDiscoverPeripheral:(CBPeripheral*)peripheral
        advertisementData:(NSDictionary<NSString*, id>*)advertisementData
                     RSSI:(NSNumber*)RSSI;
- (void)centralManager:(CBCentralManager*)central didConnectPeripheral:(CBPeripheral*)peripheral;
- (void)centralManager:(CBCentralManager*)central
    didFailToConnectPeripheral:(CBPeripheral*)peripheral
                         error:(NSError*)error;
- (void)centralManager:(CBCentralManager*)central
    didDisconnectPeripheral:(CBPeripheral*)peripheral
                      error:(NSError*)error;
- (void)peripheral:(CBPeripheral*)peripheral didDiscoverServices:(NSError*)error;
- (void)peripheral:(CBPeripheral*)peripheral
    didDiscoverCharacteristicsForService:(CBService*)service
                                   error:(NSError*)error;
- (void)peripheral:(CBPeripheral*)peripheral
    didUpdateValueForCharacteristic:(CBCharacteristic*)characteristic
                              error:(NSError*)error;
- (void)peripheral:(CBPeripheral*)peripheral
    didWriteValueForCharacteristic:(CBCharacteristic*)characteristic
                             error:(NSError*)error;
- (void)peripheral:(CBPeripheral*)peripheral
    didUpdateNotificationStateForCharacteristic:(CBCharacteristic*)characteristic
                                          error:(NSError*)error;
@end

// Owned by its CentralPlatformObjC, which detaches it before it goes. On the manager's queue.
@interface VelnorCentralDelegate : NSObject <VelnorCentralCallbacks>
- (instancetype)initWithPlatform:(macos::CentralPlatformObjC*)platform;
- (void)detach;
@end

namespace macos {

// Numbers for CoreBluetooth's service and characteristic objects. Holds each object, so that
// its address is not reused while its number stands. On the manager's queue.
class ObjectTable {
 public:
  ObjectID idOf(id object) {
    const void* key = (__bridge const void*)object;
    auto found = ids_.find(key);
    if (found != ids_.end()) return found->second;
    ObjectID made = ++last_;
    ids_[key] = made;
    objects_[made] = object;
    return made;
  }
  id objectFor(ObjectID number) const {
    auto found = objects_.find(number);
    return found == objects_.end() ? nil : found->second;
  }

 private:
  std::unordered_map<const void*, ObjectID> ids_;
  std::unordered_map<ObjectID, id> objects_;
  ObjectID last_ = 0;
};

class CentralPlatformObjC : public CentralPlatform {
 public:
  CentralPlatformObjC(CentralEvents& events, const std::string& label) : events_(events) {
    queue_ = dispatch_queue_create((label + ".corebluetooth").c_str(), DISPATCH_QUEUE_SERIAL);
    delegate_ = [[VelnorCentralDelegate alloc] initWithPlatform:this];
    manager_ = [[CBCentralManager alloc] initWithDelegate:delegate_ queue:queue_];
  }

  ~CentralPlatformObjC() override {
    // Behind every call already queued; no callback runs after this block.
    dispatch_sync(queue_, ^{
      [delegate_ detach];
      manager_.delegate = nil;
      for (auto& [id, peripheral] : peripherals_) peripheral.delegate = nil;
      [manager_ stopScan];
    });
  }

  // ---- CentralPlatform (any thread): each call runs on the manager's queue ----
  // A block captures a reference argument by reference: arguments are copied to locals first.

  void scan(const std::optional<std::vector<std::string>>& services,
            bool allowDuplicates) override {
    NSMutableArray<CBUUID*>* uuids = nil;
    if (services) {
      uuids = [NSMutableArray array];
      for (const auto& s : *services) [uuids addObject:[CBUUID UUIDWithString:stringOf(s)]];
    }
    NSMutableDictionary<NSString*, id>* options = [NSMutableDictionary dictionary];
    options[CBCentralManagerScanOptionAllowDuplicatesKey] =
        [NSNumber numberWithBool:allowDuplicates];
    dispatch_async(queue_, ^{
      [manager_ scanForPeripheralsWithServices:uuids options:options];
    });
  }

  void stopScan() override {
    dispatch_async(queue_, ^{
      [manager_ stopScan];
    });
  }

  void connect(const std::string& peripheralID) override {
    std::string identifier = peripheralID;
    dispatch_async(queue_, ^{
      if (CBPeripheral* p = peripheral(identifier)) [manager_ connectPeripheral:p options:nil];
    });
  }

  void cancelConnection(const std::string& peripheralID) override {
    std::string identifier = peripheralID;
    dispatch_async(queue_, ^{
      if (CBPeripheral* p = peripheral(identifier)) [manager_ cancelPeripheralConnection:p];
    });
  }

  void discoverServices(const std::string& peripheralID) override {
    std::string identifier = peripheralID;
    dispatch_async(queue_, ^{
      [peripheral(identifier) discoverServices:nil];
    });
  }

  void discoverCharacteristics(const std::string& peripheralID, ObjectID service) override {
    std::string identifier = peripheralID;
    dispatch_async(queue_, ^{
      CBService* s = objects_.objectFor(service);
      if (s != nil) [peripheral(identifier) discoverCharacteristics:nil forService:s];
    });
  }

  void readValue(const std::string& peripheralID, ObjectID characteristic) override {
    std::string identifier = peripheralID;
    dispatch_async(queue_, ^{
      CBCharacteristic* c = objects_.objectFor(characteristic);
      if (c != nil) [peripheral(identifier) readValueForCharacteristic:c];
    });
  }

  void writeValue(const std::string& peripheralID, ObjectID characteristic, const Bytes& value,
                  bool withResponse) override {
    std::string identifier = peripheralID;
    NSData* data = dataOf(value);
    CBCharacteristicWriteType type =
        withResponse ? CBCharacteristicWriteWithResponse : CBCharacteristicWriteWithoutResponse;
    dispatch_async(queue_, ^{
      CBCharacteristic* c = objects_.objectFor(characteristic);
      if (c != nil) [peripheral(identifier) writeValue:data forCharacteristic:c type:type];
    });
  }

  void setNotifyValue(const std::string& peripheralID, ObjectID characteristic,
                      bool enabled) override {
    std::string identifier = peripheralID;
    dispatch_async(queue_, ^{
      CBCharacteristic* c = objects_.objectFor(characteristic);
      if (c != nil) [peripheral(identifier) setNotifyValue:enabled forCharacteristic:c];
    });
  }

  size_t maximumWriteValueLength(const std::string& peripheralID, bool withResponse) override {
    std::string identifier = peripheralID;
    __block size_t length = 20;
    CBCharacteristicWriteType type =
        withResponse ? CBCharacteristicWriteWithResponse : CBCharacteristicWriteWithoutResponse;
    dispatch_sync(queue_, ^{
      if (CBPeripheral* p = peripheral(identifier))
        length = [p maximumWriteValueLengthForType:type];
    });
    return length;
  }

  // ---- For the delegate (the manager's queue) ----

  CentralEvents& events() { return events_; }

  // The value of a peripheral, which is kept from now on: CoreBluetooth cancels a connection to
  // a peripheral that nobody holds.
  PeripheralValue keep(CBPeripheral* p) {
    std::string identifier = textOf(p.identifier.UUIDString);
    peripherals_[identifier] = p;
    p.delegate = delegate_;
    return PeripheralValue{identifier, optionalTextOf(p.name)};
  }

  std::vector<ServiceValue> servicesOf(CBPeripheral* p) {
    std::vector<ServiceValue> values;
    NSArray<CBService*>* services = p.services;
    for (NSUInteger i = 0; i < services.count; ++i) {
      CBService* s = services[i];
      values.push_back(
          ServiceValue{objects_.idOf(s), textOf(s.UUID.UUIDString), s.isPrimary != NO});
    }
    return values;
  }

  std::vector<CharacteristicValue> characteristicsOf(CBService* s) {
    std::vector<CharacteristicValue> values;
    NSArray<CBCharacteristic*>* characteristics = s.characteristics;
    for (NSUInteger i = 0; i < characteristics.count; ++i) {
      CBCharacteristic* c = characteristics[i];
      values.push_back(CharacteristicValue{objects_.idOf(c), textOf(c.UUID.UUIDString),
                                           static_cast<uint32_t>(c.properties)});
    }
    return values;
  }

  ObjectID idOf(id object) { return objects_.idOf(object); }

 private:
  CBPeripheral* peripheral(const std::string& identifier) const {
    auto found = peripherals_.find(identifier);
    return found == peripherals_.end() ? nil : found->second;
  }

  CentralEvents& events_;
  dispatch_queue_t queue_;
  VelnorCentralDelegate* delegate_;
  CBCentralManager* manager_;
  // On the manager's queue only.
  std::unordered_map<std::string, CBPeripheral*> peripherals_;
  ObjectTable objects_;
};

std::unique_ptr<CentralPlatform> makeCentralPlatformObjC(CentralEvents& events,
                                                         const std::string& label) {
  return std::make_unique<CentralPlatformObjC>(events, label);
}

// The advertisement dictionary's keys that the roles read, copied.
AdvertisementValue advertisementOf(NSDictionary<NSString*, id>* data) {
  AdvertisementValue ad;
  id name = data[CBAdvertisementDataLocalNameKey];
  if ([name isKindOfClass:[NSString class]]) ad.localName = textOf(name);
  id manufacturer = data[CBAdvertisementDataManufacturerDataKey];
  if ([manufacturer isKindOfClass:[NSData class]]) ad.manufacturerData = bytesOf(manufacturer);
  id uuids = data[CBAdvertisementDataServiceUUIDsKey];
  if ([uuids isKindOfClass:[NSArray class]]) {
    NSArray<CBUUID*>* list = uuids;
    ad.serviceUUIDs.emplace();
    for (NSUInteger i = 0; i < list.count; ++i)
      ad.serviceUUIDs->push_back(textOf(list[i].UUIDString));
  }
  id serviceData = data[CBAdvertisementDataServiceDataKey];
  if ([serviceData isKindOfClass:[NSDictionary class]]) {
    NSDictionary<CBUUID*, NSData*>* map = serviceData;
    __block std::vector<std::pair<std::string, Bytes>> entries;
    [map enumerateKeysAndObjectsUsingBlock:^(CBUUID* key, NSData* value, BOOL*) {
      entries.emplace_back(textOf(key.UUIDString), bytesOf(value).value_or(Bytes{}));
    }];
    ad.serviceData = entries;
  }
  id connectable = data[CBAdvertisementDataIsConnectable];
  if ([connectable isKindOfClass:[NSNumber class]]) ad.isConnectable = [connectable intValue];
  return ad;
}

}  // namespace macos

@implementation VelnorCentralDelegate {
  macos::CentralPlatformObjC* _platform;
}

- (instancetype)initWithPlatform:(macos::CentralPlatformObjC*)platform {
  self = [super init];
  if (self) _platform = platform;
  return self;
}

- (void)detach {
  _platform = nullptr;
}

- (void)centralManagerDidUpdateState:(CBCentralManager*)central {
  if (!_platform) return;
  int state = static_cast<int>(central.state);
  macos::handOver([&] { _platform->events().stateChanged(state); });
}

- (void)centralManager:(CBCentralManager*)central
    didDiscoverPeripheral:(CBPeripheral*)peripheral
        advertisementData:(NSDictionary<NSString*, id>*)advertisementData
                     RSSI:(NSNumber*)RSSI {
  if (!_platform) return;
  macos::handOver([&] {
    _platform->events().discovered(_platform->keep(peripheral),
                                   macos::advertisementOf(advertisementData), RSSI.intValue);
  });
}

- (void)centralManager:(CBCentralManager*)central didConnectPeripheral:(CBPeripheral*)peripheral {
  if (!_platform) return;
  macos::handOver([&] { _platform->events().connected(_platform->keep(peripheral)); });
}

- (void)centralManager:(CBCentralManager*)central
    didFailToConnectPeripheral:(CBPeripheral*)peripheral
                         error:(NSError*)error {
  if (!_platform) return;
  macos::handOver([&] {
    _platform->events().failedToConnect(_platform->keep(peripheral), macos::errorOf(error));
  });
}

- (void)centralManager:(CBCentralManager*)central
    didDisconnectPeripheral:(CBPeripheral*)peripheral
                      error:(NSError*)error {
  if (!_platform) return;
  macos::handOver([&] {
    _platform->events().disconnected(_platform->keep(peripheral), macos::errorOf(error));
  });
}

- (void)peripheral:(CBPeripheral*)peripheral didDiscoverServices:(NSError*)error {
  if (!_platform) return;
  macos::handOver([&] {
    _platform->events().discoveredServices(macos::textOf(peripheral.identifier.UUIDString),
                                           _platform->servicesOf(peripheral),
                                           macos::errorOf(error));
  });
}

- (void)peripheral:(CBPeripheral*)peripheral
    didDiscoverCharacteristicsForService:(CBService*)service
                                   error:(NSError*)error {
  if (!_platform) return;
  macos::handOver([&] {
    _platform->events().discoveredCharacteristics(
        macos::textOf(peripheral.identifier.UUIDString), _platform->idOf(service),
        _platform->characteristicsOf(service), macos::errorOf(error));
  });
}

- (void)peripheral:(CBPeripheral*)peripheral
    didUpdateValueForCharacteristic:(CBCharacteristic*)characteristic
                              error:(NSError*)error {
  if (!_platform) return;
  // Copied now: the characteristic's value is replaced by the next notification.
  macos::handOver([&] {
    _platform->events().valueUpdated(macos::textOf(peripheral.identifier.UUIDString),
                                     _platform->idOf(characteristic),
                                     macos::bytesOf(characteristic.value), macos::errorOf(error));
  });
}

- (void)peripheral:(CBPeripheral*)peripheral
    didWriteValueForCharacteristic:(CBCharacteristic*)characteristic
                             error:(NSError*)error {
  if (!_platform) return;
  macos::handOver([&] {
    _platform->events().valueWritten(macos::textOf(peripheral.identifier.UUIDString),
                                     _platform->idOf(characteristic), macos::errorOf(error));
  });
}

- (void)peripheral:(CBPeripheral*)peripheral
    didUpdateNotificationStateForCharacteristic:(CBCharacteristic*)characteristic
                                          error:(NSError*)error {
  if (!_platform) return;
  macos::handOver([&] {
    _platform->events().notificationStateUpdated(
        macos::textOf(peripheral.identifier.UUIDString), _platform->idOf(characteristic),
        characteristic.isNotifying != NO, macos::errorOf(error));
  });
}

@end
