// The simulated radio as a Bluetooth backend.
#pragma once

#include <memory>
#include <string>

#include "bluetooth/backend.h"

// A backend whose managers are nodes in the air shared through the directory `airDir`.
std::shared_ptr<CBBackend> makeSimulatedRadio(const std::string& airDir);
