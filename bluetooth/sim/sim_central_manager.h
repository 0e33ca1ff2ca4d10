// The central manager of the Bluetooth interface on the simulated radio.
#pragma once

#include <memory>

#include "bluetooth/core_bluetooth.h"
#include "bluetooth/sim/air.h"

namespace sim {

struct CentralOptions {
  NodeId id = randomNodeId();  // the central's identifier as peripherals see it
  uint16_t mtu = 185;
  // Helper nodes follow the air's adapter power; an emulated central does not.
  bool helperNode = true;
};

// Callbacks run on `queue`; the delegate and the queue must outlive the manager.
std::shared_ptr<CBCentralManager> makeCentralManager(std::shared_ptr<Air> air,
                                                     CBCentralManagerDelegate& delegate,
                                                     DispatchQueue& queue,
                                                     CentralOptions options = {});

}  // namespace sim
