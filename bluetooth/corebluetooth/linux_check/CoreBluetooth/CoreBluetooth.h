// Our own declarations of the part of CoreBluetooth that the Objective-C layer uses, written
// from Apple's public reference, for the syntax check on Linux only (scripts/check-objc.sh). On
// macOS the system's framework is used. Selectors, types and optionality follow the reference.
#pragma once

#import <Foundation/Foundation.h>
#import <dispatch/dispatch.h>

typedef NS_ENUM(NSInteger, CBManagerState){
    CBManagerStateUnknown = 0,     CBManagerStateResetting = 1,  CBManagerStateUnsupported = 2,
    CBManagerStateUnauthorized = 3, CBManagerStatePoweredOff = 4, CBManagerStatePoweredOn = 5,
};

typedef NS_OPTIONS(NSUInteger, CBCharacteristicProperties){
    CBCharacteristicPropertyRead = 0x02,
};

typedef NS_OPTIONS(NSUInteger, CBAttributePermissions){
    CBAttributePermissionsReadable = 0x01,
};

typedef NS_ENUM(NSInteger, CBCharacteristicWriteType){
    CBCharacteristicWriteWithResponse = 0,
    CBCharacteristicWriteWithoutResponse,
};

typedef NS_ENUM(NSInteger, CBATTError){
    CBATTErrorSuccess = 0x00,
};

extern NSString* const CBAdvertisementDataLocalNameKey;
extern NSString* const CBAdvertisementDataManufacturerDataKey;
extern NSString* const CBAdvertisementDataServiceDataKey;
extern NSString* const CBAdvertisementDataServiceUUIDsKey;
extern NSString* const CBAdvertisementDataIsConnectable;
extern NSString* const CBCentralManagerScanOptionAllowDuplicatesKey;

@interface CBUUID : NSObject <NSCopying>
+ (CBUUID*)UUIDWithString:(NSString*)theString;
@property(nonatomic, readonly) NSString* UUIDString;
@end

@interface CBAttribute : NSObject
@property(readonly, nonatomic) CBUUID* UUID;
@end

@class CBPeripheral, CBService, CBCharacteristic;

@interface CBCharacteristic : CBAttribute
@property(weak, readonly, nonatomic) CBService* service;
@property(readonly, nonatomic) CBCharacteristicProperties properties;
@property(retain, readonly) NSData* value;
@property(readonly) BOOL isNotifying;
@end

@interface CBMutableCharacteristic : CBCharacteristic
- (instancetype)initWithType:(CBUUID*)UUID
                  properties:(CBCharacteristicProperties)properties
                       value:(NSData*)value
                 permissions:(CBAttributePermissions)permissions;
@end

@interface CBService : CBAttribute
@property(weak, readonly, nonatomic) CBPeripheral* peripheral;
@property(readonly, nonatomic) BOOL isPrimary;
@property(retain, readonly) NSArray<CBCharacteristic*>* characteristics;
@end

@interface CBMutableService : CBService
- (instancetype)initWithType:(CBUUID*)UUID primary:(BOOL)isPrimary;
@property(retain, readwrite) NSArray<CBCharacteristic*>* characteristics;
@end

@interface CBPeer : NSObject <NSCopying>
@property(readonly, nonatomic) NSUUID* identifier;
@end

@protocol CBPeripheralDelegate;

@interface CBPeripheral : CBPeer
@property(weak, nonatomic) id<CBPeripheralDelegate> delegate;
@property(retain, readonly) NSString* name;
@property(retain, readonly) NSArray<CBService*>* services;
- (void)discoverServices:(NSArray<CBUUID*>*)serviceUUIDs;
- (void)discoverCharacteristics:(NSArray<CBUUID*>*)characteristicUUIDs
                     forService:(CBService*)service;
- (void)readValueForCharacteristic:(CBCharacteristic*)characteristic;
- (NSUInteger)maximumWriteValueLengthForType:(CBCharacteristicWriteType)type;
- (void)writeValue:(NSData*)data
    forCharacteristic:(CBCharacteristic*)characteristic
                 type:(CBCharacteristicWriteType)type;
- (void)setNotifyValue:(BOOL)enabled forCharacteristic:(CBCharacteristic*)characteristic;
@end

@protocol CBPeripheralDelegate <NSObject>
@optional
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

@interface CBCentral : CBPeer
@property(readonly, nonatomic) NSUInteger maximumUpdateValueLength;
@end

@interface CBATTRequest : NSObject
@property(readonly, nonatomic) CBCentral* central;
@property(readonly, nonatomic) CBCharacteristic* characteristic;
@property(readonly, nonatomic) NSUInteger offset;
@property(readwrite, copy) NSData* value;
@end

@interface CBManager : NSObject
@property(nonatomic, assign, readonly) CBManagerState state;
@end

@protocol CBCentralManagerDelegate;

@interface CBCentralManager : CBManager
@property(nonatomic, weak) id<CBCentralManagerDelegate> delegate;
- (instancetype)initWithDelegate:(id<CBCentralManagerDelegate>)delegate
                           queue:(dispatch_queue_t)queue;
- (void)scanForPeripheralsWithServices:(NSArray<CBUUID*>*)serviceUUIDs
                               options:(NSDictionary<NSString*, id>*)options;
- (void)stopScan;
- (void)connectPeripheral:(CBPeripheral*)peripheral options:(NSDictionary<NSString*, id>*)options;
- (void)cancelPeripheralConnection:(CBPeripheral*)peripheral;
@end

@protocol CBCentralManagerDelegate <NSObject>
@required
- (void)centralManagerDidUpdateState:(CBCentralManager*)central;
@optional
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
@end

@protocol CBPeripheralManagerDelegate;

@interface CBPeripheralManager : CBManager
@property(nonatomic, weak) id<CBPeripheralManagerDelegate> delegate;
@property(nonatomic, assign, readonly) BOOL isAdvertising;
- (instancetype)initWithDelegate:(id<CBPeripheralManagerDelegate>)delegate
                           queue:(dispatch_queue_t)queue;
- (void)startAdvertising:(NSDictionary<NSString*, id>*)advertisementData;
- (void)stopAdvertising;
- (void)addService:(CBMutableService*)service;
- (void)removeAllServices;
- (void)respondToRequest:(CBATTRequest*)request withResult:(CBATTError)result;
- (BOOL)updateValue:(NSData*)value
       forCharacteristic:(CBMutableCharacteristic*)characteristic
    onSubscribedCentrals:(NSArray<CBCentral*>*)centrals;
@end

@protocol CBPeripheralManagerDelegate <NSObject>
@required
- (void)peripheralManagerDidUpdateState:(CBPeripheralManager*)peripheral;
@optional
- (void)peripheralManager:(CBPeripheralManager*)peripheral
            didAddService:(CBService*)service
                    error:(NSError*)error;
- (void)peripheralManagerDidStartAdvertising:(CBPeripheralManager*)peripheral
                                       error:(NSError*)error;
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
