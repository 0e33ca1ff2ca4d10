// What a call throws, for tests that compare exact failure messages.
#pragma once

#include <functional>
#include <string>

// The message of the E that `fn` throws, or "" when it throws nothing.
template <class E>
std::string thrown(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const E& e) {
    return e.what();
  }
  return "";
}
