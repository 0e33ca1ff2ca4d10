// Waiting in tests for a condition that other threads or processes bring about.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

// Polls `test` until it holds or `seconds` pass; whether it held.
inline bool eventually(const std::function<bool()>& test, double seconds = 10) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!test()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}
