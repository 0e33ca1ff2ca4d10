// The CoreBluetooth backend with the Objective-C layer behind its managers (macOS only).
#include "bluetooth/corebluetooth/corebluetooth_backend.h"

namespace macos {
std::unique_ptr<CentralPlatform> makeCentralPlatformObjC(CentralEvents& events,
                                                         const std::string& label);
std::unique_ptr<PeripheralPlatform> makePeripheralPlatformObjC(PeripheralEvents& events,
                                                               const std::string& label);
}  // namespace macos

std::shared_ptr<CBBackend> makeCoreBluetoothBackend() {
  return makeCoreBluetoothBackend(macos::makeCentralPlatformObjC,
                                  macos::makePeripheralPlatformObjC);
}
