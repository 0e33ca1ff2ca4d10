#include "plugin/errors.h"

#include <gtest/gtest.h>

TEST(ErrorsTest, CatalogueTextsOfListedCodesAndUnknownErrorForOthers) {
  EXPECT_EQ(Errors::message(Errors::kNoError), "No error");
  EXPECT_EQ(Errors::message(Errors::kReadError), "Reading operation failed");
  EXPECT_EQ(Errors::message(Errors::kNotifyError), "Notification not send");
  EXPECT_EQ(Errors::message(Errors::kMultipleDevices), "Name matches multiple devices");
  EXPECT_EQ(Errors::message(Errors::kTimeoutError), "Operation timeout");
  for (int64_t code :
       {int64_t{-80}, int64_t{-300}, int64_t{1}, int64_t{-101}, int64_t{-19}, int64_t{-1}}) {
    EXPECT_EQ(Errors::message(code), "Unknown error") << code;
  }
}

TEST(ErrorsTest, BluetoothStateTexts) {
  EXPECT_EQ(Errors::bluetoothErrorMessage(CBManagerState::resetting),
            Errors::bluetoothErrorMessage(CBManagerState::poweredOff));
  EXPECT_EQ(Errors::bluetoothErrorMessage(CBManagerState::poweredOff),
            "Bluetooth is powered off or not ready");
  EXPECT_EQ(Errors::bluetoothErrorMessage(CBManagerState::unknown), "Unknown Bluetooth error");
  EXPECT_EQ(Errors::bluetoothErrorMessage(CBManagerState::unauthorized),
            "Bluetooth is not authorized");
  EXPECT_EQ(Errors::bluetoothErrorMessage(CBManagerState::unsupported),
            "Bluetooth is not supported");
  EXPECT_EQ(Errors::bluetoothErrorMessage(CBManagerState::poweredOn), "No error");
}
