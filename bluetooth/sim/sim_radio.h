// The simulated radio as a Bluetooth backend.
#pragma once

#include <memory>
#include <string>

#include "bluetooth/backend.h"

namespace sim {
class Air;
}

// A backend whose managers are nodes in the air shared through the directory `airDir`. The air
// is joined when the first manager is made; if the directory cannot be used, the reason goes to
// standard error and the managers run on an air of their own.
std::shared_ptr<CBBackend> makeSimulatedRadio(const std::string& airDir);

// A backend whose managers are helper nodes in `air` (tests and benchmarks use an in-process air).
std::shared_ptr<CBBackend> makeSimulatedRadio(std::shared_ptr<sim::Air> air);
