#include "peripheral/local_profile.h"

#include <gtest/gtest.h>

#include "plugin/errors.h"
#include "plugin/plugin.h"

namespace {

// Decodes and checks as setProfile does; the facade's message, or "" when accepted.
std::string verdict(const std::string& text) {
  Plugin::shared().setLastError(Errors::kNoError);
  auto decoded = loadProfile(text);
  if (decoded && isValidProfile(*decoded)) return "";
  EXPECT_EQ(Plugin::shared().getLastError(), Errors::kWrongParameters) << text;
  return Plugin::shared().getLastErrorMessage();
}

// A profile of one service with one characteristic whose members are `members`.
std::string oneCharacteristic(const std::string& members, const std::string& service = "180D") {
  return R"([{"UUID": ")" + service + R"(", "characteristics": [{)" + members + "}]}]";
}

TEST(LocalProfileTest, DecoderAndChecksNameTheFirstFault) {
  // Each profile with the message it gets, "" for an accepted one.
  const std::pair<std::string, std::string> cases[] = {
      {"", "Unsupported JSON format"},
      {"[{]", "Unsupported JSON format"},
      {R"({"UUID": "180D"})", "Unsupported JSON format"},
      {"null", "Unsupported JSON format"},
      {"[7]", "Type mismatch for 'Index 0' (expected object)"},
      {"[null]", "Missing value for 'Index 0' (expected object)"},
      {R"([{"characteristics": []}])", "Missing key 'UUID'"},
      {R"([{"UUID": "180D"}])", "Missing key 'characteristics'"},
      {R"([{"UUID": null, "characteristics": []}])", "Missing value for 'UUID' (expected string)"},
      {R"([{"UUID": 6157, "characteristics": []}])", "Type mismatch for 'UUID' (expected string)"},
      {R"([{"UUID": "180D", "characteristics": {}}])",
       "Type mismatch for 'characteristics' (expected array)"},
      {R"([{"UUID": "180D", "characteristics": [{"UUID": "2A37"}]}])", "Missing key 'properties'"},
      {R"([{"UUID": "180D", "characteristics": [{"UUID": "2A37", "properties": null}]}])",
       "Missing value for 'properties' (expected string)"},
      {R"([{"UUID": "180D", "characteristics": [[]]}])",
       "Type mismatch for 'Index 0' (expected object)"},
      {oneCharacteristic(R"("UUID": "2A37", "properties": "read", "protection": "high")"),
       "Type mismatch for 'protection' (expected integer)"},
      {oneCharacteristic(R"("UUID": "2A37", "properties": "read", "protection": 1.5)"),
       "Type mismatch for 'protection' (expected integer)"},
      {oneCharacteristic(R"("UUID": "2A37", "properties": "read", "encrypted": "yes")"),
       "Type mismatch for 'encrypted' (expected boolean)"},
      {oneCharacteristic(R"("UUID": "2A37", "properties": "read", "afterRead": 1)"),
       "Type mismatch for 'afterRead' (expected string)"},
      {"[{\"UUID\": \"18\xC3\x28\", \"characteristics\": []}]", "Input is not a UTF-8 string"},
      // Optional members that are null count as absent; unknown members are ignored.
      {oneCharacteristic(R"("UUID": "2A37", "properties": "read", "protection": null,
                            "format": null, "encrypted": null, "colour": "red")"),
       ""},
      // Then the checks.
      {"[]", ""},
      {oneCharacteristic(R"("UUID": "2A37", "properties": "read")", "18G0"),
       "Invalid service UUID"},
      {oneCharacteristic(R"("UUID": "2A3", "properties": "read")"), "Invalid characteristic UUID"},
      {oneCharacteristic(R"("UUID": "2A37", "properties": "Read|NOTIFY")"), ""},
      {oneCharacteristic(R"("UUID": "2A37", "properties": "read||write|")"), ""},
      {oneCharacteristic(R"("UUID": "2A37", "properties": "|")"), ""},
      {oneCharacteristic(R"("UUID": "2A37", "properties": "read, write")"),
       "Invalid characteristic property: read, write"},
      {oneCharacteristic(R"("UUID": "2A37", "properties": "read | write")"),
       "Invalid characteristic property: read "},
      {oneCharacteristic(R"("UUID": "2A37", "properties": "read|INDICATE")"),
       "Invalid characteristic property: indicate"},
      // Lower case as the platform writes it, for every letter; a dotted capital I keeps its dot,
      // so it never becomes a property word.
      {oneCharacteristic(R"("UUID": "2A37", "properties": "RÉAD")"),
       "Invalid characteristic property: réad"},
      {oneCharacteristic(R"("UUID": "2A37", "properties": "WRİTE")"),
       "Invalid characteristic property: wri\u0307te"},
      {oneCharacteristic(R"("UUID": "2A37", "properties": "read", "format": "HEX")"), ""},
      {oneCharacteristic(R"("UUID": "2A37", "properties": "read", "format": "utf8")"),
       "Invalid characteristic format"},
      {oneCharacteristic(R"("UUID": "2A37", "properties": "read", "protection": -1)"),
       "Protection level must be a non-negative integer"},
      {oneCharacteristic(R"("UUID": "2A37", "properties": "read", "protection": 0)"), ""},
      // The same pair in two service objects is a duplicate; the same characteristic under
      // another service, or the same service with other characteristics, is not.
      {R"([{"UUID": "180D", "characteristics": [{"UUID": "2A37", "properties": "read"}]},
           {"UUID": "180D", "characteristics": [{"UUID": "2A37", "properties": "notify"}]}])",
       "Duplicate characteristic UUID combination"},
      {R"([{"UUID": "180D", "characteristics": [{"UUID": "2A37", "properties": "read"}]},
           {"UUID": "180D", "characteristics": [{"UUID": "2A38", "properties": "read"}]},
           {"UUID": "180F", "characteristics": [{"UUID": "2A37", "properties": "read"}]}])",
       ""},
      // Checks run in order: the UUID before the properties.
      {oneCharacteristic(R"("UUID": "X", "properties": "shout", "protection": -1)"),
       "Invalid characteristic UUID"},
  };
  for (const auto& [profile, message] : cases) EXPECT_EQ(verdict(profile), message) << profile;
}

TEST(LocalProfileTest, UUIDForms) {
  for (const char* good : {"180D", "180d", "0000180D", "6e400001-b5a3-f393-e0a9-e50e24dcca9e",
                           "6E400001-B5A3-F393-E0A9-E50E24DCCA9E"}) {
    EXPECT_TRUE(isUUIDString(good)) << good;
  }
  for (const char* bad :
       {"", "18G0", "180D0D", "18 0D", "0000180G", " 180D", "180D ",
        "{6E400001-B5A3-F393-E0A9-E50E24DCCA9E}", "6E400001B5A3-F393-E0A9-E50E24DCCA9E-",
        "6E400001-B5A3-F393-E0A9-E50E24DCCA9", "6E400001-B5A3-F393-E0A9-E50E24DCCA9G"}) {
    EXPECT_FALSE(isUUIDString(bad)) << bad;
  }
}

TEST(LocalProfileTest, PropertyFlagsAndPermissions) {
  EXPECT_EQ(characteristicProperties("Read|NOTIFY"), 0x12u);
  EXPECT_EQ(characteristicProperties("writeWithoutResponse"), 0x0Cu);
  EXPECT_EQ(characteristicProperties("read|write|notify|writewithoutresponse"), 0x1Eu);
  EXPECT_EQ(characteristicProperties(""), 0u);
  EXPECT_EQ(characteristicPermissions(true), 0x0Cu);
  EXPECT_EQ(characteristicPermissions(false), 0x03u);
  EXPECT_EQ(characteristicPermissions(std::nullopt), 0x03u);
}

TEST(LocalProfileTest, ReportKeepsTheSubmittedTextsAndLeavesOutAbsentMembers) {
  auto decoded = loadProfile(R"([{"UUID": "180d", "extra": 1, "characteristics": [
      {"UUID": "2A37", "properties": "Read|Notify", "protection": 2.0, "afterRead": "",
       "format": "hex", "encrypted": false},
      {"UUID": "2A38", "properties": "write"}]}])");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(profileToJSON(*decoded).dump(),
            R"([{"UUID":"180d","characteristics":[{"UUID":"2A37","properties":"Read|Notify",)"
            R"("protection":2,"afterRead":"","format":"hex","encrypted":false},)"
            R"({"UUID":"2A38","properties":"write"}]}])");
  EXPECT_EQ(getKeyFromContext(DecodingContext{}), std::nullopt);
  EXPECT_EQ(getKeyFromContext(DecodingContext{{"Index 0", "characteristics"}}), "characteristics");
}

}  // namespace
