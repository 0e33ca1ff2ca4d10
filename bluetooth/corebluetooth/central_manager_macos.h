// The central manager on CoreBluetooth: maps what the Objective-C layer copies out of its
// callbacks onto the CB... interface, and adds what CoreBluetooth leaves to its user.
#pragma once

#include <chrono>
#include <memory>

#include "bluetooth/core_bluetooth.h"
#include "bluetooth/corebluetooth/objc_bridge.h"
#include "platform/dispatch_queue.h"

namespace macos {

// CoreBluetooth never gives up on a connection by itself: an attempt still pending this long
// is cancelled and reported as failed (CBErrorDomain 6, connection timed out). The roles' own
// timeouts are usually shorter; a late connection they no longer want they cancel themselves.
constexpr std::chrono::seconds kConnectWindow{30};

// A CBCentralManager whose platform `makePlatform` makes. Events reach `delegate` on `queue`,
// in the order the platform reported them, each carrying the values it was reported with.
// Peripherals, services and characteristics stay the same objects for as long as CoreBluetooth
// keeps its own objects (same identifier, same ObjectID). Any thread.
std::shared_ptr<CBCentralManager> makeCentralManagerMacOS(
    CBCentralManagerDelegate& delegate, DispatchQueue& queue,
    const CentralPlatformFactory& makePlatform,
    DispatchQueue::Clock::duration connectWindow = kConnectWindow);

// The project's error for an NSError; a CoreBluetooth manager state for its raw value
// (unknown for a value this build does not know). Any thread.
CBError errorFrom(const ErrorValue& error);
std::optional<CBError> errorFrom(const std::optional<ErrorValue>& error);
CBManagerState stateFrom(int raw);

}  // namespace macos
