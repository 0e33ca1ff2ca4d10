#include "bluetooth/cb_uuid.h"

#include <gtest/gtest.h>

#include "bluetooth/cb_error.h"

namespace {

TEST(CBUUIDTest, ParsesTheThreeFormsAndWritesTheShortestUpperCaseText) {
  EXPECT_EQ(CBUUID::fromString("180d")->UUIDString(), "180D");
  EXPECT_EQ(CBUUID::fromString("0000180D")->UUIDString(), "180D");
  EXPECT_EQ(CBUUID::fromString("0000180d-0000-1000-8000-00805f9b34fb")->UUIDString(), "180D");
  EXPECT_EQ(CBUUID::fromString("1234ABCD")->UUIDString(), "1234ABCD");
  EXPECT_EQ(CBUUID::fromString("1234abcd-0000-1000-8000-00805F9B34FB")->UUIDString(), "1234ABCD");
  EXPECT_EQ(CBUUID::fromString("6e400001-b5a3-f393-e0a9-e50e24dcca9e")->UUIDString(),
            "6E400001-B5A3-F393-E0A9-E50E24DCCA9E");
  // Outside the base range even a small value keeps the long form.
  EXPECT_EQ(CBUUID::fromString("0000180D-0000-1000-8000-00805F9B34FC")->UUIDString(),
            "0000180D-0000-1000-8000-00805F9B34FC");
  EXPECT_EQ(CBUUID::from16(0x2A37), *CBUUID::fromString("2A37"));
  EXPECT_EQ(CBUUID::from32(0x2A37), *CBUUID::fromString("00002A37"));
}

TEST(CBUUIDTest, RefusesEverythingElse) {
  for (const char* bad :
       {"", "18D", "180DD", "18 0D", "180G", "{0000180D-0000-1000-8000-00805F9B34FB}",
        "0000180D00001000800000805F9B34FB", "0000180D-0000-1000-8000_00805F9B34FB", " 180D",
        "0000180D-0000-1000-8000-00805F9B34F"}) {
    EXPECT_FALSE(CBUUID::fromString(bad).has_value()) << bad;
  }
}

TEST(CBUUIDTest, DescribesStandardUUIDsByName) {
  EXPECT_EQ(CBUUID::from16(0x180D).description(), "Heart Rate");
  EXPECT_EQ(CBUUID::from16(0x2A37).description(), "Heart Rate Measurement");
  EXPECT_EQ(CBUUID::from16(0x2902).description(), "Client Characteristic Configuration");
  EXPECT_EQ(CBUUID::fromString("6E400001-B5A3-F393-E0A9-E50E24DCCA9E")->description(),
            "Nordic UART Service");
  EXPECT_EQ(CBUUID::from16(0xFFF0).description(), "FFF0");
  EXPECT_EQ(CBUUID::fromString("12345678-1234-1234-1234-123456789ABC")->description(),
            "12345678-1234-1234-1234-123456789ABC");
  EXPECT_EQ(bluetoothCompanyName(76), "Apple, Inc.");
  EXPECT_FALSE(bluetoothCompanyName(0xFFFE).has_value());
}

TEST(CBErrorTest, ATTAndLinkErrorsReadLikeThePlatform) {
  EXPECT_EQ(CBError::att(10).localizedDescription, "The attribute could not be found.");
  EXPECT_EQ(CBError::att(2).localizedDescription, "Reading is not permitted.");
  EXPECT_EQ(CBError::att(13).localizedDescription, "The value's length is invalid.");
  EXPECT_EQ(CBError::att(17).localizedDescription, "Resources are insufficient.");
  EXPECT_EQ(CBError::att(18).localizedDescription, "Unknown ATT error.");
  EXPECT_EQ(CBError::att(255).localizedDescription, "Unknown ATT error.");
  EXPECT_EQ(CBError::att(6).domain, "CBATTErrorDomain");
  EXPECT_EQ(CBError::att(6).code, 6);
  EXPECT_EQ(CBError::link(6).localizedDescription, "The connection has timed out unexpectedly.");
  EXPECT_EQ(CBError::link(7).localizedDescription,
            "The specified device has disconnected from us.");
  EXPECT_EQ(CBError::link(7).domain, "CBErrorDomain");
  EXPECT_EQ(CBError::link(3).localizedDescription, "The specified device is not connected.");
  EXPECT_EQ(CBError::link(4).localizedDescription, "Unknown error.");
}

}  // namespace
