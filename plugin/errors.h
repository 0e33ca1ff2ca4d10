// The error catalogue: codes of the facade's last error, their texts, and the texts of the
// Bluetooth manager states.
#pragma once

#include <cstdint>
#include <string>

#include "bluetooth/core_bluetooth.h"

struct Errors {
  static constexpr int64_t kNoError = 0;
  static constexpr int64_t kNotImplemented = -4;
  static constexpr int64_t kBluetoothError = -10;
  static constexpr int64_t kUnknownDevice = -11;
  static constexpr int64_t kMultipleDevices = -12;
  static constexpr int64_t kUnknownCharacteristic = -13;
  static constexpr int64_t kNoData = -14;
  static constexpr int64_t kConnectionError = -15;
  static constexpr int64_t kReadError = -16;
  static constexpr int64_t kWriteError = -17;
  static constexpr int64_t kSubscribeError = -18;
  static constexpr int64_t kNotifyError = -20;
  static constexpr int64_t kNotConnected = -30;
  static constexpr int64_t kNotScanning = -31;
  static constexpr int64_t kNotAdvertising = -32;
  static constexpr int64_t kAlreadyConnected = -40;
  static constexpr int64_t kAlreadyScanning = -41;
  static constexpr int64_t kAlreadyAdvertising = -42;
  static constexpr int64_t kWrongParameters = -50;
  static constexpr int64_t kUnknownError = -80;
  static constexpr int64_t kTimeoutError = -100;

  // The catalogue text of `code`; "Unknown error" for every code the catalogue doesn't list.
  static std::string message(int64_t code);

  // The text for a Bluetooth manager state.
  static std::string bluetoothErrorMessage(CBManagerState state);
};
