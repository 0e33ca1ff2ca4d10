// Set-up shared by the fuzz targets: the facade on an in-process radio, so that no target
// touches a real air directory, and a reader that splits fuzz input into parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "bluetooth/backend.h"
#include "bluetooth/sim/air.h"
#include "bluetooth/sim/sim_radio.h"
#include "plugin/plugin.h"

namespace fuzz {

// Installs the in-process radio before the facade is first made; call from every target's
// first input. Thread-safe.
inline Plugin& facade() {
  static Plugin& plugin = []() -> Plugin& {
    CBBackend::install(makeSimulatedRadio(sim::makeInProcessAir()));
    return Plugin::shared();
  }();
  return plugin;
}

// Takes bytes off the front of the input.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  // Everything up to the next NUL byte (which is dropped), or the rest.
  std::string part() {
    size_t n = 0;
    while (n < size_ && data_[n] != 0) ++n;
    std::string text(reinterpret_cast<const char*>(data_), n);
    size_t taken = n < size_ ? n + 1 : n;
    data_ += taken;
    size_ -= taken;
    return text;
  }
  std::string rest() {
    std::string text(reinterpret_cast<const char*>(data_), size_);
    data_ += size_;
    size_ = 0;
    return text;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

}  // namespace fuzz
