#include "central/remote_profile.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

std::shared_ptr<CBMutableCharacteristic> characteristic(const char* uuid, uint32_t properties) {
  return std::make_shared<CBMutableCharacteristic>(*CBUUID::fromString(uuid), properties,
                                                   std::nullopt, 0);
}

TEST(RemoteProfileTest, PropertyTextNamesFourBitsInItsOwnOrder) {
  const std::pair<uint32_t, const char*> cases[] = {
      {CBCharacteristicPropertyRead | CBCharacteristicPropertyNotify, "read|notify"},
      {CBCharacteristicPropertyWriteWithoutResponse | CBCharacteristicPropertyWrite |
           CBCharacteristicPropertyRead,
       "read|write|writeWithoutResponse"},
      {0xFF, "read|write|writeWithoutResponse|notify"},
      {CBCharacteristicPropertyWriteWithoutResponse, "writeWithoutResponse"},
      {CBCharacteristicPropertyIndicate | CBCharacteristicPropertyBroadcast, ""},
      {0, ""},
  };
  for (const auto& [bits, text] : cases) {
    EXPECT_EQ(getPropertyString(*characteristic("2A37", bits)), text) << bits;
  }
}

TEST(RemoteProfileTest, RecordsNameKnownUUIDsAndLeaveOutWhatIsAbsent) {
  auto heart = std::make_shared<CBMutableService>(*CBUUID::fromString("180D"), true);
  heart->setCharacteristics(
      {characteristic("2A37", CBCharacteristicPropertyNotify),
       characteristic("12345678-1234-1234-1234-123456789ABD", CBCharacteristicPropertyIndicate)});
  auto vendor = std::make_shared<CBMutableService>(
      *CBUUID::fromString("12345678-1234-1234-1234-123456789ABC"), true);

  nlohmann::json profile =
      std::vector<ServiceJSON>{makeServiceJSON(*heart), makeServiceJSON(*vendor)};
  nlohmann::json expected = nlohmann::json::parse(R"([
    {"UUID": "180D", "alias": "Heart Rate", "characteristics": [
      {"UUID": "2A37", "alias": "Heart Rate Measurement", "properties": "notify"},
      {"UUID": "12345678-1234-1234-1234-123456789ABD", "properties": ""}]},
    {"UUID": "12345678-1234-1234-1234-123456789ABC", "characteristics": []}])");
  EXPECT_EQ(profile, expected) << profile.dump();
}

}  // namespace
