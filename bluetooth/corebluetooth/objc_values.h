// Copies between Foundation's objects and the plain values of objc_bridge.h, for the
// Objective-C layer only (.mm files, ARC). Each copy owns its bytes: nothing refers back into
// an object that CoreBluetooth may change after the callback. Any thread.
#pragma once

#import <Foundation/Foundation.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "bluetooth/corebluetooth/objc_bridge.h"

namespace macos {

inline std::string textOf(NSString* text) {
  const char* utf8 = text.UTF8String;
  return utf8 != nullptr ? std::string(utf8) : std::string();
}

inline std::optional<std::string> optionalTextOf(NSString* text) {
  if (text == nil) return std::nullopt;
  return textOf(text);
}

// None for nil, which is what CoreBluetooth has for the value of a read request.
inline std::optional<Bytes> bytesOf(NSData* data) {
  if (data == nil) return std::nullopt;
  const auto* first = static_cast<const uint8_t*>(data.bytes);
  if (first == nullptr) return Bytes{};
  return Bytes(first, first + data.length);
}

inline std::optional<ErrorValue> errorOf(NSError* error) {
  if (error == nil) return std::nullopt;
  return ErrorValue{textOf(error.domain), static_cast<int64_t>(error.code),
                    textOf(error.localizedDescription)};
}

inline NSString* stringOf(const std::string& text) {
  return [NSString stringWithUTF8String:text.c_str()];
}

inline NSData* dataOf(const Bytes& bytes) {
  return [NSData dataWithBytes:bytes.data() length:bytes.size()];
}

// Runs a hand-over to the portable layer so that nothing it throws reaches CoreBluetooth.
template <class Fn>
void handOver(Fn&& fn) noexcept {
  try {
    fn();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "CoreBluetooth: a callback was lost: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "CoreBluetooth: a callback was lost\n");
  }
}

}  // namespace macos
