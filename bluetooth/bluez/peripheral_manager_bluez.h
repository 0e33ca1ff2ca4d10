// The peripheral manager of the Bluetooth interface over BlueZ: the local profile is exported
// as a GATT application under /com/velnor/helper/pN and registered with GattManager1; the
// advertisement is an LEAdvertisement1 object registered with LEAdvertisingManager1.
//
// BlueZ 5.66 does not say which central subscribed, and sends each notification to every
// subscriber: all subscriptions come from one central object, "every central", whose update
// length follows the largest MTU any central's request carried (20 bytes until one did).
#pragma once

#include <memory>

#include "bluetooth/bluez/bluez_bus.h"
#include "bluetooth/core_bluetooth.h"

class DispatchQueue;

namespace bluez {

// Callbacks run on `queue`; the delegate and the queue must outlive the manager. Any thread.
std::shared_ptr<CBPeripheralManager> makePeripheralManager(std::shared_ptr<Bus> bus,
                                                           CBPeripheralManagerDelegate& delegate,
                                                           DispatchQueue& queue);

}  // namespace bluez
