// The peripheral side of the Objective-C layer: a CBPeripheralManager on a serial dispatch
// queue of its own and one delegate object for it. Callbacks copy what they carry and hand it to
// the portable manager; calls run on the same queue.
#import <CoreBluetooth/CoreBluetooth.h>
#import <Foundation/Foundation.h>
#import <dispatch/dispatch.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "bluetooth/corebluetooth/objc_bridge.h"
#include "bluetooth/corebluetooth/objc_values.h"

namespace macos {
class PeripheralPlatformObjC;
}

// The callbacks the delegate implements, required here: CoreBluetooth's are optional, so a
// misspelt implementation would otherwise compile and never be called.
@protocol VelnorPeripheralCallbacks <CBPeripheralManagerDelegate>
@required
- (void)peripheralManager:(CBPeripheralManager*)peripheral
            didAddService:(CBService*)service
                    error:(NSError*)error;
- (void)peripheralManagerDidStartAdvertising:(CBPeripheralManager*)peripheral error:(NSError*)error;
- (void)peripheralManager:(CBPeripheralManager*)peripheral
                         central:(CBCentral*)central
    didSubscribeToCharacteristic:(CBCharacteristic*)characteristic;
- (void)peripheralManager:(CBPeripheralManager*)peripheral
                             central:(CBCentral*)central
    didUnsubscribeFromCharacteristic:(CBCharacteristic*)characteristic;
- (void)peripheralManager:(CBPeripheralManager*)peripheral
    didReceiveReadRequest:(CBATTRequest*)request;
- (void)peripheralManager:(CBPeripheralManager*)peripheral
    didReceiveWriteRequests:(NSArray<CBATTRequest*>*)requests;
- (void)peripheralManagerIsReadyToUpdateSubscribers:(CBPeripheralManager*)peripheral;
@end

// Owned by its PeripheralPlatformObjC, which detaches it before it goes. On the manager's queue.
@interface VelnorPeripheralDelegate : NSObject <VelnorPeripheralCallbacks>
- (instancetype)initWithPlatform:(macos::PeripheralPlatformObjC*)platform;
- (void)detach;
@end

namespace macos {

class PeripheralPlatformObjC : public PeripheralPlatform {
 public:
  PeripheralPlatformObjC(PeripheralEvents& events, const std::string& label) : events_(events) {
    queue_ = dispatch_queue_create((label + ".corebluetooth").c_str(), DISPATCH_QUEUE_SERIAL);
    delegate_ = [[VelnorPeripheralDelegate alloc] initWithPlatform:this];
    manager_ = [[CBPeripheralManager alloc] initWithDelegate:delegate_ queue:queue_];
  }

  ~PeripheralPlatformObjC() override {
    // Behind every call already queued; no callback runs after this block.
    dispatch_sync(queue_, ^{
      [delegate_ detach];
      manager_.delegate = nil;
      [manager_ stopAdvertising];
    });
  }

  // ---- PeripheralPlatform (any thread): each call runs on the manager's queue ----
  // A block captures a reference argument by reference: arguments are copied to locals first.

  void removeAllServices() override {
    dispatch_async(queue_, ^{
      characteristics_.clear();
      ids_.clear();
      [manager_ removeAllServices];
    });
  }

  void addService(const ServiceToPublish& wanted) override {
    ServiceToPublish copy = wanted;
    dispatch_async(queue_, ^{
      CBMutableService* service =
          [[CBMutableService alloc] initWithType:[CBUUID UUIDWithString:stringOf(copy.uuid)]
                                         primary:copy.primary];
      NSMutableArray<CBCharacteristic*>* list = [NSMutableArray array];
      for (const auto& c : copy.characteristics) {
        // Without a cached value, so that every read and write reaches the delegate.
        CBMutableCharacteristic* made = [[CBMutableCharacteristic alloc]
            initWithType:[CBUUID UUIDWithString:stringOf(c.uuid)]
              properties:static_cast<CBCharacteristicProperties>(c.properties)
                   value:nil
             permissions:static_cast<CBAttributePermissions>(c.permissions)];
        characteristics_[c.id] = made;
        ids_[(__bridge const void*)made] = c.id;
        [list addObject:made];
      }
      service.characteristics = list;
      services_[(__bridge const void*)service] = copy.id;
      [manager_ addService:service];
    });
  }

  void startAdvertising(const std::optional<std::string>& localName,
                        const std::vector<std::string>& serviceUUIDs) override {
    NSMutableDictionary<NSString*, id>* data = [NSMutableDictionary dictionary];
    if (localName) data[CBAdvertisementDataLocalNameKey] = stringOf(*localName);
    if (!serviceUUIDs.empty()) {
      NSMutableArray<CBUUID*>* uuids = [NSMutableArray array];
      for (const auto& u : serviceUUIDs) [uuids addObject:[CBUUID UUIDWithString:stringOf(u)]];
      data[CBAdvertisementDataServiceUUIDsKey] = uuids;
    }
    dispatch_async(queue_, ^{
      [manager_ startAdvertising:data];
    });
  }

  void stopAdvertising() override {
    dispatch_async(queue_, ^{
      [manager_ stopAdvertising];
    });
  }

  void respond(ObjectID request, uint8_t result, const std::optional<Bytes>& value) override {
    NSData* data = value ? dataOf(*value) : nil;
    dispatch_async(queue_, ^{
      auto found = requests_.find(request);
      if (found == requests_.end()) return;
      CBATTRequest* answered = found->second;
      requests_.erase(found);
      if (data != nil) answered.value = data;
      [manager_ respondToRequest:answered withResult:static_cast<CBATTError>(result)];
    });
  }

  bool updateValue(ObjectID characteristic, const Bytes& value,
                   const std::optional<std::vector<std::string>>& centrals) override {
    NSData* data = dataOf(value);
    std::optional<std::vector<std::string>> wanted = centrals;
    __block bool sent = true;
    dispatch_sync(queue_, ^{
      auto found = characteristics_.find(characteristic);
      if (found == characteristics_.end()) return;
      NSMutableArray<CBCentral*>* recipients = nil;
      if (wanted) {
        recipients = [NSMutableArray array];
        for (const auto& identifier : *wanted) {
          auto known = centrals_.find(identifier);
          if (known != centrals_.end()) [recipients addObject:known->second];
        }
        // None of them has been seen: nobody to send to.
        if (recipients.count == 0) return;
      }
      sent = [manager_ updateValue:data
                    forCharacteristic:found->second
                 onSubscribedCentrals:recipients] != NO;
    });
    return sent;
  }

  // ---- For the delegate (the manager's queue) ----

  PeripheralEvents& events() { return events_; }

  ObjectID keep(CBATTRequest* request) {
    ObjectID number = ++lastRequest_;
    requests_[number] = request;
    return number;
  }

  CentralValue keep(CBCentral* central) {
    std::string identifier = textOf(central.identifier.UUIDString);
    centrals_[identifier] = central;
    return CentralValue{identifier, static_cast<size_t>(central.maximumUpdateValueLength)};
  }

  // The number the characteristic was published under; 0 for one not ours.
  ObjectID idOf(CBCharacteristic* characteristic) const {
    auto found = ids_.find((__bridge const void*)characteristic);
    return found == ids_.end() ? 0 : found->second;
  }

  RequestValue valueOf(CBATTRequest* request) {
    return RequestValue{keep(request.central), idOf(request.characteristic),
                        static_cast<size_t>(request.offset), bytesOf(request.value)};
  }

  ObjectID serviceID(CBService* service) const {
    auto found = services_.find((__bridge const void*)service);
    return found == services_.end() ? 0 : found->second;
  }

 private:
  PeripheralEvents& events_;
  dispatch_queue_t queue_;
  VelnorPeripheralDelegate* delegate_;
  CBPeripheralManager* manager_;
  // On the manager's queue only. The published objects are held by characteristics_ and by
  // CoreBluetooth, so their addresses stay theirs.
  std::unordered_map<ObjectID, CBMutableCharacteristic*> characteristics_;
  std::unordered_map<const void*, ObjectID> ids_;
  std::unordered_map<const void*, ObjectID> services_;
  std::unordered_map<ObjectID, CBATTRequest*> requests_;
  std::unordered_map<std::string, CBCentral*> centrals_;
  ObjectID lastRequest_ = 0;
};

std::unique_ptr<PeripheralPlatform> makePeripheralPlatformObjC(PeripheralEvents& events,
                                                               const std::string& label) {
  return std::make_unique<PeripheralPlatformObjC>(events, label);
}

}  // namespace macos

@implementation VelnorPeripheralDelegate {
  macos::PeripheralPlatformObjC* _platform;
}

- (instancetype)initWithPlatform:(macos::PeripheralPlatformObjC*)platform {
  self = [super init];
  if (self) _platform = platform;
  return self;
}

- (void)detach {
  _platform = nullptr;
}

- (void)peripheralManagerDidUpdateState:(CBPeripheralManager*)peripheral {
  if (!_platform) return;
  int state = static_cast<int>(peripheral.state);
  macos::handOver([&] { _platform->events().stateChanged(state); });
}

- (void)peripheralManager:(CBPeripheralManager*)peripheral
            didAddService:(CBService*)service
                    error:(NSError*)error {
  if (!_platform) return;
  macos::handOver([&] {
    _platform->events().serviceAdded(_platform->serviceID(service), macos::errorOf(error));
  });
}

- (void)peripheralManagerDidStartAdvertising:(CBPeripheralManager*)peripheral
                                       error:(NSError*)error {
  if (!_platform) return;
  macos::handOver([&] { _platform->events().advertisingStarted(macos::errorOf(error)); });
}

- (void)peripheralManager:(CBPeripheralManager*)peripheral
    didReceiveReadRequest:(CBATTRequest*)request {
  if (!_platform) return;
  macos::handOver([&] {
    macos::RequestValue value = _platform->valueOf(request);
    _platform->events().readRequest(_platform->keep(request), value);
  });
}

- (void)peripheralManager:(CBPeripheralManager*)peripheral
    didReceiveWriteRequests:(NSArray<CBATTRequest*>*)requests {
  if (!_platform || requests.count == 0) return;
  macos::handOver([&] {
    std::vector<macos::RequestValue> values;
    for (NSUInteger i = 0; i < requests.count; ++i)
      values.push_back(_platform->valueOf(requests[i]));
    // CoreBluetooth takes the one answer for the whole callback on its first request.
    _platform->events().writeRequests(_platform->keep(requests[0]), values);
  });
}

- (void)peripheralManager:(CBPeripheralManager*)peripheral
                         central:(CBCentral*)central
    didSubscribeToCharacteristic:(CBCharacteristic*)characteristic {
  if (!_platform) return;
  macos::handOver([&] {
    _platform->events().subscribed(_platform->keep(central), _platform->idOf(characteristic));
  });
}

- (void)peripheralManager:(CBPeripheralManager*)peripheral
                             central:(CBCentral*)central
    didUnsubscribeFromCharacteristic:(CBCharacteristic*)characteristic {
  if (!_platform) return;
  macos::handOver([&] {
    _platform->events().unsubscribed(_platform->keep(central), _platform->idOf(characteristic));
  });
}

- (void)peripheralManagerIsReadyToUpdateSubscribers:(CBPeripheralManager*)peripheral {
  if (!_platform) return;
  macos::handOver([&] { _platform->events().readyToUpdateSubscribers(); });
}

@end
