#include "bluetooth/backend.h"

#include <cstdlib>
#include <mutex>

#include "bluetooth/sim/sim_radio.h"
#if VELNOR_HAVE_BLUEZ
#include "bluetooth/bluez/bluez_backend.h"
#endif
#if __APPLE__
#include "bluetooth/corebluetooth/corebluetooth_backend.h"
#endif

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
  if (!gBackend) {
#if __APPLE__
    gBackend = makeCoreBluetoothBackend();
#else
    gBackend = makeSimulatedRadio(defaultAirDirectory());
#endif
  }
  return *gBackend;
}

std::string defaultRadio() {
#if __APPLE__
  return "corebluetooth";
#else
  return "sim";
#endif
}

std::string radioChoices() {
#if __APPLE__
  return "corebluetooth|sim";
#else
  return "sim|bluez[:hciN]";
#endif
}

std::string defaultAirDirectory() {
  const char* air = std::getenv("VELNOR_AIR");
  if (air != nullptr && *air != '\0') return air;
  return "/tmp/velnor-air";
}

void useSimulatedRadio(const std::string& airDir) {
  CBBackend::install(makeSimulatedRadio(airDir));
}

bool useRadio(const std::string& radio) {
  if (radio == "sim") {
    useSimulatedRadio(defaultAirDirectory());
    return true;
  }
  if (radio == "corebluetooth") {
#if __APPLE__
    CBBackend::install(makeCoreBluetoothBackend());
    return true;
#else
    return false;
#endif
  }
  std::string adapter;
  if (radio == "bluez") {
    adapter = "hci0";
  } else if (radio.rfind("bluez:", 0) == 0) {
    adapter = radio.substr(6);
  } else {
    return false;
  }
  // The adapter becomes part of an object path: a name, not a path of its own.
  if (adapter.empty() ||
      adapter.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos) {
    return false;
  }
#if VELNOR_HAVE_BLUEZ
  CBBackend::install(makeBlueZBackend(adapter));
  return true;
#else
  return false;
#endif
}

std::shared_ptr<CBCentralManager> CBCentralManager::create(CBCentralManagerDelegate& delegate,
                                                           DispatchQueue& queue) {
  return CBBackend::current().makeCentralManager(delegate, queue);
}

std::shared_ptr<CBPeripheralManager> CBPeripheralManager::create(
    CBPeripheralManagerDelegate& delegate, DispatchQueue& queue) {
  return CBBackend::current().makePeripheralManager(delegate, queue);
}
