#include "plugin/errors.h"

std::string Errors::message(int64_t code) {
  switch (code) {
    case kNoError:
      return "No error";
    case kNotImplemented:
      return "Not implemented";
    case kBluetoothError:
      return "Bluetooth not available";
    case kUnknownDevice:
      return "Unknown device";
    case kMultipleDevices:
      return "Name matches multiple devices";
    case kUnknownCharacteristic:
      return "Unknown characteristic";
    case kNoData:
      return "No data";
    case kConnectionError:
      return "Connection failed";
    case kReadError:
      return "Reading operation failed";
    case kWriteError:
      return "Writing operation failed";
    case kSubscribeError:
      return "Subscription failed";
    case kNotifyError:
      return "Notification not send";
    case kNotConnected:
      return "Device is not connected";
    case kNotScanning:
      return "Not scanning";
    case kNotAdvertising:
      return "Not advertising";
    case kAlreadyConnected:
      return "Already connected";
    case kAlreadyScanning:
      return "Already scanning";
    case kAlreadyAdvertising:
      return "Already advertising";
    case kWrongParameters:
      return "Wrong parameters";
    case kTimeoutError:
      return "Operation timeout";
    default:
      return "Unknown error";
  }
}

std::string Errors::bluetoothErrorMessage(CBManagerState state) {
  switch (state) {
    case CBManagerState::resetting:
      return "Bluetooth is powered off or not ready";
    case CBManagerState::unsupported:
      return "Bluetooth is not supported";
    case CBManagerState::unauthorized:
      return "Bluetooth is not authorized";
    case CBManagerState::poweredOff:
      return "Bluetooth is powered off or not ready";
    case CBManagerState::poweredOn:
      return "No error";
    case CBManagerState::unknown:
      break;
  }
  return "Unknown Bluetooth error";
}
