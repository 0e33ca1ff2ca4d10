// The peripheral manager of the Bluetooth interface on the simulated radio.
#pragma once

#include <memory>

#include "bluetooth/core_bluetooth.h"
#include "bluetooth/sim/air.h"
#include "bluetooth/sim/peripheral_node.h"

namespace sim {

// A helper node: it follows the air's adapter power. Callbacks run on `queue`. Its updates wait
// in `transmit`, and updateValue refuses them while a recipient's link queue is full.
std::shared_ptr<CBPeripheralManager> makePeripheralManager(std::shared_ptr<Air> air,
                                                           CBPeripheralManagerDelegate& delegate,
                                                           DispatchQueue& queue,
                                                           TransmitQueue transmit = {});

}  // namespace sim
