#include "bluetooth/corebluetooth/corebluetooth_backend.h"

#include <utility>

#include "bluetooth/corebluetooth/central_manager_macos.h"
#include "bluetooth/corebluetooth/peripheral_manager_macos.h"

namespace {

class CoreBluetoothBackend : public CBBackend {
 public:
  CoreBluetoothBackend(macos::CentralPlatformFactory makeCentral,
                       macos::PeripheralPlatformFactory makePeripheral)
      : makeCentral_(std::move(makeCentral)), makePeripheral_(std::move(makePeripheral)) {}

  std::shared_ptr<CBCentralManager> makeCentralManager(CBCentralManagerDelegate& delegate,
                                                       DispatchQueue& queue) override {
    return macos::makeCentralManagerMacOS(delegate, queue, makeCentral_);
  }
  std::shared_ptr<CBPeripheralManager> makePeripheralManager(CBPeripheralManagerDelegate& delegate,
                                                             DispatchQueue& queue) override {
    return macos::makePeripheralManagerMacOS(delegate, queue, makePeripheral_);
  }

 private:
  const macos::CentralPlatformFactory makeCentral_;
  const macos::PeripheralPlatformFactory makePeripheral_;
};

}  // namespace

std::shared_ptr<CBBackend> makeCoreBluetoothBackend(
    macos::CentralPlatformFactory makeCentral, macos::PeripheralPlatformFactory makePeripheral) {
  return std::make_shared<CoreBluetoothBackend>(std::move(makeCentral), std::move(makePeripheral));
}
