// The peripheral manager on CoreBluetooth: maps what the Objective-C layer copies out of its
// callbacks onto the CB... interface, and keeps CoreBluetooth's rules for answering requests.
#pragma once

#include <memory>

#include "bluetooth/core_bluetooth.h"
#include "bluetooth/corebluetooth/objc_bridge.h"
#include "platform/dispatch_queue.h"

namespace macos {

// A CBPeripheralManager whose platform `makePlatform` makes. Events reach `delegate` on `queue`
// in the order the platform reported them. Any thread.
//
// Requests: CoreBluetooth wants exactly one answer per read request and one per callback of
// write requests, given for its first request. Here each read is answered once (later answers
// are dropped with a line on standard error); the requests of one write callback are answered
// together: at the first failure with that failure, or with success once every request of it
// was answered with success. A request the role releases unanswered is answered
// "unlikely error", so that the central is not left waiting for its ATT timeout.
// A centrals' and a characteristics' objects stay the same across callbacks.
std::shared_ptr<CBPeripheralManager> makePeripheralManagerMacOS(
    CBPeripheralManagerDelegate& delegate, DispatchQueue& queue,
    const PeripheralPlatformFactory& makePlatform);

}  // namespace macos
