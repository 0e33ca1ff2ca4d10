// BlueZ over D-Bus as a Bluetooth backend.
#pragma once

#include <memory>
#include <string>

#include "bluetooth/backend.h"

// A backend on the adapter `adapterName` ("hci0") of the system's bluetoothd. The system bus is
// joined at once; without one, or without bluetoothd or the adapter, managers report
// "unsupported" and follow the adapter when it appears.
std::shared_ptr<CBBackend> makeBlueZBackend(const std::string& adapterName);
