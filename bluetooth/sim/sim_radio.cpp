#include "bluetooth/sim/sim_radio.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "bluetooth/sim/air.h"
#include "bluetooth/sim/peripheral_node.h"
#include "bluetooth/sim/sim_central_manager.h"
#include "bluetooth/sim/sim_peripheral_manager.h"

namespace {

// The controller's notification buffer from VELNOR_SIM_TRANSMIT, "DEPTH/INTERVAL_US" ("2/100":
// two notifications a link, sent every 100 us), so that flow control can be driven hard; the
// default when unset, and when it does not read, with a line that says so.
sim::TransmitQueue transmitQueueFromEnvironment() {
  sim::TransmitQueue transmit;
  const char* text = std::getenv("VELNOR_SIM_TRANSMIT");
  if (text == nullptr || *text == '\0') return transmit;
  unsigned depth = 0;
  unsigned interval = 0;
  char end = 0;
  if (std::sscanf(text, "%u/%u%c", &depth, &interval, &end) != 2 || depth == 0 || interval == 0) {
    std::fprintf(stderr,
                 "Bluetooth: VELNOR_SIM_TRANSMIT=%s is not DEPTH/INTERVAL_US; using %zu/%lld\n",
                 text, transmit.depth, static_cast<long long>(transmit.interval.count()));
    return transmit;
  }
  return sim::TransmitQueue{depth, std::chrono::microseconds(interval)};
}

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
    return sim::makePeripheralManager(air(), delegate, queue, transmitQueueFromEnvironment());
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
