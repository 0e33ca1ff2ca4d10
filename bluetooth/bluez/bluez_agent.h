// The helper's pairing agent: a NoInputNoOutput Agent1 registered with bluetoothd as the
// default agent, so that devices and centrals can pair (Just Works) on a machine without a
// desktop agent, and encrypted characteristics work in both roles.
#pragma once

#include <memory>

#include "bluetooth/bluez/bluez_bus.h"

namespace bluez {

// Registers the agent whenever bluetoothd and the adapter appear, for as long as the result
// lives. Any thread.
std::shared_ptr<void> startAgent(const std::shared_ptr<Bus>& bus);

}  // namespace bluez
