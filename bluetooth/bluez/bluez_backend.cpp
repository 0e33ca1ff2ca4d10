#include "bluetooth/bluez/bluez_backend.h"

#include "bluetooth/bluez/bluez_agent.h"
#include "bluetooth/bluez/bluez_bus.h"
#include "bluetooth/bluez/central_manager_bluez.h"
#include "bluetooth/bluez/peripheral_manager_bluez.h"

namespace {

class CBBackendBlueZ : public CBBackend {
 public:
  explicit CBBackendBlueZ(const std::string& adapterName)
      : bus_(bluez::Bus::open(adapterName)), agent_(bluez::startAgent(bus_)) {}

  std::shared_ptr<CBCentralManager> makeCentralManager(CBCentralManagerDelegate& delegate,
                                                       DispatchQueue& queue) override {
    return bluez::makeCentralManager(bus_, delegate, queue);
  }
  std::shared_ptr<CBPeripheralManager> makePeripheralManager(CBPeripheralManagerDelegate& delegate,
                                                             DispatchQueue& queue) override {
    return bluez::makePeripheralManager(bus_, delegate, queue);
  }

 private:
  const std::shared_ptr<bluez::Bus> bus_;
  // Pairing for both roles.
  const std::shared_ptr<void> agent_;
};

}  // namespace

std::shared_ptr<CBBackend> makeBlueZBackend(const std::string& adapterName) {
  return std::make_shared<CBBackendBlueZ>(adapterName);
}
