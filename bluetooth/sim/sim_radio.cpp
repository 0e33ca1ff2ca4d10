#include "bluetooth/sim/sim_radio.h"

#include <cstdio>
#include <mutex>

#include "bluetooth/sim/air.h"
#include "bluetooth/sim/peripheral_node.h"
#include "bluetooth/sim/sim_central_manager.h"
#include "bluetooth/sim/sim_peripheral_manager.h"

namespace {

class SimulatedRadio : public CBBackend {
 public:
  explicit SimulatedRadio(std::string airDir) : airDir_(std::move(airDir)) {}
  explicit SimulatedRadio(std::shared_ptr<sim::Air> air) : air_(std::move(air)) {}

  std::shared_ptr<CBCentralManager> makeCentralManager(CBCentralManagerDelegate& delegate,
                                                       DispatchQueue& queue) override {
    sim::CentralOptions options;
    options.mtu = sim::kLargestMTU;
    return sim::makeCentralManager(air(), delegate, queue, options);
  }

  std::shared_ptr<CBPeripheralManager> makePeripheralManager(CBPeripheralManagerDelegate& delegate,
                                                             DispatchQueue& queue) override {
    return sim::makePeripheralManager(air(), delegate, queue);
  }

 private:
  std::shared_ptr<sim::Air> air() {
    std::lock_guard lock(mutex_);
    if (!air_) {
      try {
        air_ = sim::makeSocketAir(airDir_);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "Bluetooth: %s; running on a private air\n", e.what());
        air_ = sim::makeInProcessAir();
      }
    }
    return air_;
  }

  const std::string airDir_;
  std::mutex mutex_;
  std::shared_ptr<sim::Air> air_;
};

}  // namespace

std::shared_ptr<CBBackend> makeSimulatedRadio(const std::string& airDir) {
  return std::make_shared<SimulatedRadio>(airDir);
}

std::shared_ptr<CBBackend> makeSimulatedRadio(std::shared_ptr<sim::Air> air) {
  return std::make_shared<SimulatedRadio>(std::move(air));
}
