#include "plugin/selectors.h"

#include <gtest/gtest.h>

#include "plugin/errors.h"
#include "plugin/plugin.h"

namespace {

// The last error after `fn`, as "code message".
template <class Fn>
std::string errorAfter(Fn fn) {
  Plugin& plugin = Plugin::shared();
  plugin.setLastError(Errors::kReadError);  // a stale error that each operation must reset
  fn(plugin);
  return std::to_string(plugin.getLastError()) + " " + plugin.getLastErrorMessage();
}

TEST(SelectorsTest, WordsUsedInTheWrongFormOrUnknown) {
  std::string answer;
  EXPECT_EQ(errorAfter([&](Plugin& p) { answer = p.get("remoteprofile"); }),
            "-50 Wrong number of parameters");
  EXPECT_EQ(answer, "?");
  for (const char* word : {"devices", "connections", "localprofile", "subscribed"}) {
    EXPECT_EQ(errorAfter([&](Plugin& p) { answer = p.get(word, "ID"); }),
              "-50 Wrong number of parameters")
        << word;
    EXPECT_EQ(answer, "?");
  }
  EXPECT_EQ(errorAfter([](Plugin& p) { p.get("devicename"); }), "-50 Unknown selector: devicename");
  EXPECT_EQ(errorAfter([](Plugin& p) { p.get("uuid"); }), "-50 Unknown selector: uuid");
  EXPECT_EQ(errorAfter([](Plugin& p) { p.get("DEVICES"); }), "-50 Unknown selector: DEVICES");
  EXPECT_EQ(errorAfter([](Plugin& p) { p.get("Status", "ID"); }), "-50 Unknown selector: Status");
  EXPECT_EQ(errorAfter([](Plugin& p) { p.set("authorization", "1", "F"); }),
            "-50 Wrong number of parameters");
  EXPECT_EQ(errorAfter([](Plugin& p) { p.set("bogus", "1", "F"); }),
            "-50 Unknown parameter: bogus");
  EXPECT_EQ(errorAfter([](Plugin& p) { p.setForDevice("localprofile", "ID", "{}"); }),
            "-50 Wrong number of parameters");
  EXPECT_EQ(errorAfter([](Plugin& p) { p.setForDevice("Authorization", "ID", "1"); }),
            "-50 Unknown parameter: Authorization");
}

TEST(SelectorsTest, AuthorizationLevelsAreWholeNumbersFromZero) {
  EXPECT_EQ(parseAuthorizationLevel("2"), 2);
  EXPECT_EQ(parseAuthorizationLevel("+2"), 2);
  EXPECT_EQ(parseAuthorizationLevel("-0"), 0);
  EXPECT_EQ(parseAuthorizationLevel("007"), 7);
  EXPECT_EQ(parseAuthorizationLevel("9223372036854775807"), INT64_MAX);
  // A level that is not one is refused before the role.
  for (const char* bad : {"-1", "1.5", " 2", "", "2 ", "+", "-", "0x1", "-9223372036854775808",
                          "9223372036854775808", "1e3", "++1", "٣"}) {
    EXPECT_EQ(parseAuthorizationLevel(bad), std::nullopt) << bad;
    EXPECT_EQ(errorAfter([&](Plugin& p) { p.setForDevice("authorization", "ID", bad); }),
              "-50 Invalid authorization level")
        << bad;
  }
}

TEST(SelectorsTest, AnAnswerThatIsNotUTF8IsAnEmptyObject) {
  RemoteStatusJSON status;
  status.UUID = "6E400001-B5A3-F393-E0A9-E50E24DCCA9E";
  status.name = "Belt \xFF";
  EXPECT_EQ(encodePrettyJSON(status), "{}");
  status.name = "Belt";
  status.subscribedFor = {"2A37", "\xED\xA0\x80"};
  EXPECT_EQ(encodePrettyJSON(status), "{}");
}

TEST(SelectorsTest, StatusRecordsArePrettyJSON) {
  EXPECT_EQ(encodePrettyJSON(LocalStatusJSON{"powered On", true, false}),
            "{\n  \"bluetooth\": \"powered On\",\n  \"isAdvertising\": false,\n"
            "  \"isScanning\": true\n}");
  RemoteStatusJSON unknown;
  unknown.UUID = "6E400001-B5A3-F393-E0A9-E50E24DCCA9E";
  EXPECT_EQ(encodePrettyJSON(unknown),
            "{\n  \"UUID\": \"6E400001-B5A3-F393-E0A9-E50E24DCCA9E\",\n"
            "  \"authorizationLevel\": 0,\n  \"relationship\": \"none\",\n"
            "  \"subscribedFor\": []\n}");
  RemoteStatusJSON named{"ID", "Belt \xC3\xA9", "subscribedCentral", {"2A37", "2A38"}, 2};
  EXPECT_EQ(encodePrettyJSON(named),
            "{\n  \"UUID\": \"ID\",\n  \"authorizationLevel\": 2,\n"
            "  \"name\": \"Belt \xC3\xA9\",\n"
            "  \"relationship\": \"subscribedCentral\",\n"
            "  \"subscribedFor\": [\n    \"2A37\",\n    \"2A38\"\n  ]\n}");
}

}  // namespace
