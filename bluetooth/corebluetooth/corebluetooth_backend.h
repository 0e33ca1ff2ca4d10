// CoreBluetooth as a Bluetooth backend.
#pragma once

#include <memory>

#include "bluetooth/backend.h"
#include "bluetooth/corebluetooth/objc_bridge.h"

// A backend whose managers run on the platforms these factories make (tests pass fakes).
std::shared_ptr<CBBackend> makeCoreBluetoothBackend(
    macos::CentralPlatformFactory makeCentral, macos::PeripheralPlatformFactory makePeripheral);

// A backend on the system's CoreBluetooth; each manager gets a serial dispatch queue of its
// own, named after the role's queue ("central.queue.corebluetooth"). Defined by the Objective-C
// layer, which only macOS builds have.
std::shared_ptr<CBBackend> makeCoreBluetoothBackend();
