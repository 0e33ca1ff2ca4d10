#include "bluetooth/bluez/bluez_properties.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace bluez {
namespace {

TEST(BlueZPropertiesTest, IdentifierJoinsAdapterAndDeviceAddresses) {
  EXPECT_EQ(identifierFor("00:1a:7d:da:71:13", "C0:FF:EE:00:00:01"),
            "001A7DDA-7113-0000-0000-C0FFEE000001");
  EXPECT_EQ(identifierFor("", "C0-FF-EE-00-00-01"), "00000000-0000-0000-0000-000000000000");
  EXPECT_EQ(identifierFor("00:1A:7D:DA:71:13:00", "C0:FF:EE:00:00:0G"),
            "00000000-0000-0000-0000-000000000000");
}

TEST(BlueZPropertiesTest, AdvertisedNamesAreCutBeforeACharacterThatDoesNotFit) {
  EXPECT_EQ(advertisedName("Lab Sensor"), "Lab Sensor");
  EXPECT_EQ(advertisedName(std::string(29, 'a')), std::string(29, 'a'));
  EXPECT_EQ(advertisedName(std::string(30, 'a')), std::string(29, 'a'));
  // 28 bytes, then "é" (two bytes) that would end at byte 30.
  EXPECT_EQ(advertisedName(std::string(28, 'a') + "\xC3\xA9"
                                                  "b"),
            std::string(28, 'a'));
  // 27 bytes, then "€" (three bytes).
  EXPECT_EQ(advertisedName(std::string(27, 'a') + "\xE2\x82\xAC"), std::string(27, 'a'));
}

TEST(BlueZPropertiesTest, UUIDsAreWrittenInFull) {
  EXPECT_EQ(textOf(CBUUID::from16(0x180D)), "0000180d-0000-1000-8000-00805f9b34fb");
  EXPECT_EQ(textOf(*CBUUID::fromString("6E400001-B5A3-F393-E0A9-E50E24DCCA9E")),
            "6e400001-b5a3-f393-e0a9-e50e24dcca9e");
}

TEST(BlueZPropertiesTest, FlagsBecomePropertiesAndBack) {
  EXPECT_EQ(propertiesFromFlags({"encrypt-read", "write-without-response", "indicate", "authorize",
                                 "reliable-write"}),
            CBCharacteristicPropertyRead | CBCharacteristicPropertyWriteWithoutResponse |
                CBCharacteristicPropertyIndicate);
  EXPECT_EQ(flagsFor(CBCharacteristicPropertyRead | CBCharacteristicPropertyWrite |
                         CBCharacteristicPropertyNotify,
                     CBAttributePermissionsWriteEncryptionRequired),
            (std::vector<std::string>{"read", "encrypt-write", "notify"}));
  EXPECT_EQ(flagsFor(CBCharacteristicPropertyRead | CBCharacteristicPropertyNotify,
                     CBAttributePermissionsReadEncryptionRequired),
            (std::vector<std::string>{"encrypt-read", "encrypt-notify"}));
}

TEST(BlueZPropertiesTest, AdvertisementTakesTypedFieldsAndSkipsStrangeOnes) {
  Properties device{
      {"Name", sdbus::Variant(std::string("Belt"))},
      {"ManufacturerData", sdbus::Variant(std::map<uint16_t, sdbus::Variant>{
                               {0x004C, sdbus::Variant(std::vector<uint8_t>{0x01, 0x02})}})},
      {"UUIDs", sdbus::Variant(std::vector<std::string>{"0000180d-0000-1000-8000-00805f9b34fb",
                                                        "not a uuid"})},
      {"ServiceData", sdbus::Variant(std::map<std::string, sdbus::Variant>{
                          {"180F", sdbus::Variant(std::vector<uint8_t>{0x64})},
                          {"180A", sdbus::Variant(std::string("text"))}})}};
  CBAdvertisementData ad = advertisementFrom(device);
  EXPECT_EQ(ad.localName, "Belt");
  EXPECT_EQ(ad.manufacturerData, (CBData{0x4C, 0x00, 0x01, 0x02}));
  ASSERT_TRUE(ad.serviceUUIDs);
  EXPECT_EQ(ad.serviceUUIDs->size(), 1U);
  EXPECT_EQ(ad.serviceUUIDs->at(0).UUIDString(), "180D");
  ASSERT_TRUE(ad.serviceData);
  EXPECT_EQ(ad.serviceData->size(), 1U);
  EXPECT_EQ(ad.isConnectable, 1);

  // A daemon that sends the wrong types is read as one that sent nothing.
  Properties strange{{"Name", sdbus::Variant(int32_t{7})},
                     {"ManufacturerData", sdbus::Variant(std::vector<uint8_t>{1, 2, 3})}};
  CBAdvertisementData none = advertisementFrom(strange);
  EXPECT_FALSE(none.localName);
  EXPECT_FALSE(none.manufacturerData);
  EXPECT_FALSE(none.serviceUUIDs);
}

// The bus thread and a role's queue read copies of the same cached adapter properties.
TEST(BlueZPropertiesTest, CopiesOfOnePropertyReadOnTwoThreadsAtOnceReadTheirValue) {
  const Properties cached{{"Powered", sdbus::Variant(true)},
                          {"Address", sdbus::Variant(std::string("00:AA:01:00:00:00"))}};
  std::atomic<int> wrong{0};
  auto read = [&] {
    for (int i = 0; i < 20000; ++i) {
      Properties copy = cached;
      if (!property<bool>(copy, "Powered").value_or(false)) ++wrong;
      if (property<std::string>(copy, "Address") != "00:AA:01:00:00:00") ++wrong;
    }
  };
  std::thread other(read);
  read();
  other.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(BlueZPropertiesTest, GattErrorsReadAsThePlatformReportsThem) {
  auto code = [](const std::string& kind, const std::string& message) {
    CBError e = gattErrorFrom("org.bluez.Error." + kind, message);
    return e.domain == CBError::kATTErrorDomain ? e.code : -e.code;
  };
  EXPECT_EQ(code("NotPermitted", "Read not permitted"), 2);
  EXPECT_EQ(code("NotPermitted", "Write not permitted"), 3);
  EXPECT_EQ(code("NotPermitted", "Not paired"), 0x0F);
  EXPECT_EQ(code("InvalidArguments", "Invalid offset"), 7);
  EXPECT_EQ(code("InvalidArguments", "Invalid Length"), 0x0D);
  EXPECT_EQ(code("NotAuthorized", "Operation Not Authorized"), 8);
  EXPECT_EQ(code("Failed", "Operation failed with ATT error: 0x80"), 0x80);
  EXPECT_EQ(code("InvalidArguments", "Invalid arguments in method call"), -1);
  EXPECT_EQ(code("Failed", "Operation failed with ATT error: 0x0c"), 0x0C);
  EXPECT_EQ(code("Failed", "Not connected"), -7);
  EXPECT_EQ(code("NotConnected", "Not Connected"), -7);
  EXPECT_EQ(gattErrorFrom("org.bluez.Error.InProgress", "In Progress").localizedDescription,
            "Another operation on it is in progress.");
  CBError unknown = gattErrorFrom("org.example.Error.Odd", "");
  EXPECT_EQ(unknown.domain, CBError::kErrorDomain);
  EXPECT_EQ(unknown.localizedDescription, "Unknown error.");
  EXPECT_EQ(gattErrorFrom("org.freedesktop.DBus.Error.NoReply", "").code, 6);
}

TEST(BlueZPropertiesTest, ConnectFailuresAreRetriedOrReportedAsBluetoothdMeansThem) {
  const std::string failed = "org.bluez.Error.Failed";
  // Given up, already under way, a link dropped while waiting, ConnectDevice's nameless
  // failure, and an object that the helper has not yet heard of: all worth another try.
  for (const auto& [name, message] : std::vector<std::pair<std::string, std::string>>{
           {failed, "le-connection-abort-by-local"},
           {failed, "Operation already in progress"},
           {failed, "br-connection-canceled"},
           {"org.bluez.Error.InProgress", "br-connection-busy"},
           {"org.bluez.Failed", ""},
           {"org.bluez.Error.AlreadyExists", "Already Exists"}}) {
    EXPECT_TRUE(isRetryableConnect(name, message)) << name << " " << message;
  }
  EXPECT_FALSE(isRetryableConnect(failed, "Input/output error"));
  EXPECT_FALSE(isRetryableConnect(failed, "br-connection-refused"));

  // "br-connection-canceled" ends links of either bearer and says nothing of Classic.
  EXPECT_TRUE(isClassicAttempt("br-connection-refused"));
  EXPECT_FALSE(isClassicAttempt("br-connection-canceled"));
  EXPECT_NE(connectErrorFrom(failed, "br-connection-refused")
                .localizedDescription.find("ControllerMode = le"),
            std::string::npos);
  EXPECT_EQ(connectErrorFrom(failed, "br-connection-canceled").localizedDescription,
            "Unknown error.");
  EXPECT_EQ(connectErrorFrom("org.freedesktop.DBus.Error.NoReply", "").code, 6);
}

}  // namespace
}  // namespace bluez
