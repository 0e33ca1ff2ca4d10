// The central manager of the Bluetooth interface over BlueZ: discovery through the adapter's
// StartDiscovery and the devices' properties, connections through Device1, and the GATT client
// through GattService1 and GattCharacteristic1.
#pragma once

#include <memory>

#include "bluetooth/bluez/bluez_bus.h"
#include "bluetooth/core_bluetooth.h"

class DispatchQueue;

namespace bluez {

// Callbacks run on `queue`; the delegate and the queue must outlive the manager. Any thread.
std::shared_ptr<CBCentralManager> makeCentralManager(std::shared_ptr<Bus> bus,
                                                     CBCentralManagerDelegate& delegate,
                                                     DispatchQueue& queue);

}  // namespace bluez
