#include "bluetooth/backend.h"

#include <cstdlib>
#include <mutex>

#include "bluetooth/sim/sim_radio.h"

namespace {
std::mutex gBackendMutex;
std::shared_ptr<CBBackend> gBackend;
}  // namespace

void CBBackend::install(std::shared_ptr<CBBackend> backend) {
  std::lock_guard lock(gBackendMutex);
  gBackend = std::move(backend);
}

CBBackend& CBBackend::current() {
  std::lock_guard lock(gBackendMutex);
  if (!gBackend) gBackend = makeSimulatedRadio(defaultAirDirectory());
  return *gBackend;
}

std::string defaultAirDirectory() {
  const char* air = std::getenv("VELNOR_AIR");
  if (air != nullptr && *air != '\0') return air;
  return "/tmp/velnor-air";
}

void useSimulatedRadio(const std::string& airDir) {
  CBBackend::install(makeSimulatedRadio(airDir));
}

std::shared_ptr<CBCentralManager> CBCentralManager::create(CBCentralManagerDelegate& delegate,
                                                           DispatchQueue& queue) {
  return CBBackend::current().makeCentralManager(delegate, queue);
}

std::shared_ptr<CBPeripheralManager> CBPeripheralManager::create(
    CBPeripheralManagerDelegate& delegate, DispatchQueue& queue) {
  return CBBackend::current().makePeripheralManager(delegate, queue);
}
