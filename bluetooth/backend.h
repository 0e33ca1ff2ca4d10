// Chooses the Bluetooth backend behind the CB... interface. The only place that names one.
#pragma once

#include <memory>
#include <string>

#include "bluetooth/core_bluetooth.h"

class CBBackend {
 public:
  virtual ~CBBackend() = default;
  virtual std::shared_ptr<CBCentralManager> makeCentralManager(CBCentralManagerDelegate& delegate,
                                                               DispatchQueue& queue) = 0;
  virtual std::shared_ptr<CBPeripheralManager> makePeripheralManager(
      CBPeripheralManagerDelegate& delegate, DispatchQueue& queue) = 0;

  // Installs the backend that every later CBCentralManager::create and
  // CBPeripheralManager::create uses. Managers made before keep theirs. Any thread.
  static void install(std::shared_ptr<CBBackend> backend);

  // The installed backend; on first use without one, the one defaultRadio() names (the
  // simulated radio on defaultAirDirectory() outside macOS). Any thread.
  static CBBackend& current();
};

// $VELNOR_AIR if set and not empty, else "/tmp/velnor-air".
std::string defaultAirDirectory();

// Installs the simulated radio on the air directory `airDir` (shared by processes).
void useSimulatedRadio(const std::string& airDir);

// Installs the backend that `radio` names: "sim" (the simulated radio on
// defaultAirDirectory()), "bluez" (BlueZ on hci0), "bluez:hciN", or "corebluetooth" (macOS).
// Returns false, installing nothing, for any other text or a backend this build lacks.
bool useRadio(const std::string& radio);

// The radio used when none is chosen: "corebluetooth" on macOS, "sim" elsewhere. Any thread.
std::string defaultRadio();
// The radios this platform offers, for a usage line: "sim|bluez[:hciN]" and so on.
std::string radioChoices();
