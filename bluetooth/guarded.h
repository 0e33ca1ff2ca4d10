// Runs a delegate callback so that nothing it throws leaves the Bluetooth backend.
#pragma once

#include <cstdio>
#include <exception>

template <class Fn>
void guarded(Fn&& fn) noexcept {
  try {
    fn();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Bluetooth: a delegate callback failed: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "Bluetooth: a delegate callback failed\n");
  }
}

