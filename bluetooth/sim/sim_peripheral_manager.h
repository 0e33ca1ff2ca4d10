// The peripheral manager of the Bluetooth interface on the simulated radio.
#pragma once

#include <memory>

#include "bluetooth/core_bluetooth.h"
#include "bluetooth/sim/air.h"

namespace sim {

// A helper node: it follows the air's adapter power. Callbacks run on `queue`.
std::shared_ptr<CBPeripheralManager> makePeripheralManager(std::shared_ptr<Air> air,
                                                           CBPeripheralManagerDelegate& delegate,
                                                           DispatchQueue& queue);

}  // namespace sim
