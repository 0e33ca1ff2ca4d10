// The device file a capture writes: what the emulator then plays, and what it says it missed.
#include "tools/capture.h"

#include <gtest/gtest.h>

#include "tools/device_file.h"

namespace tool {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;

CapturedCharacteristic notifying(const std::string& uuid, CaptureClock::time_point subscribed) {
  CapturedCharacteristic c;
  c.uuid = uuid;
  c.properties = "notify";
  c.subscribed = subscribed;
  return c;
}

// A belt subscribed at `t0`: 2A37 notified twice (the second maybe held in the helper's queue),
// 2A19 not at all, 2A3A once with a long value; 2A38 read, 2A39 failed to read.
CapturedDevice belt(CaptureClock::time_point t0) {
  CapturedDevice d;
  d.id = "5C4D2A10-7F3B-4E8A-9C61-0B2D3E4F5A61";
  d.name = "HR Belt";
  d.rssiMin = d.rssiMax = -60;
  d.vendorID = 76;
  d.connectable = true;
  auto heartRate = notifying("2A37", t0);
  heartRate.notifications = {{t0 + 150ms, "0041", false}, {t0 + 230ms, "0042", true}};
  CapturedCharacteristic location{"2A38", "read", "01", nullptr, {}, std::nullopt, {}};
  CapturedCharacteristic locked{"2A39", "read", std::nullopt, 2, {"value not captured"}, {}, {}};
  auto silent = notifying("2A19", t0 + 5ms);
  auto bulky = notifying("2A3A", t0 + 10ms);
  bulky.notifications = {{t0 + 300ms, std::string(400, 'A'), false}};
  d.services = {{"180D", {heartRate, location, locked, silent, bulky}}};
  d.listenEnd = t0 + 1000ms;
  return d;
}

const Json& characteristic(const Json& file, size_t index) {
  return file["devices"][0]["services"][0]["characteristics"][index];
}

TEST(CaptureFileTest, NotificationsLoopOverTheCaptureAndMissesAreNoted) {
  auto t0 = CaptureClock::now();
  Json file = captureDeviceFile(belt(t0));
  // The emulator runs it as it is.
  ASSERT_NO_THROW(parseDeviceFile(file.dump(), "belt.json"));
  const Json& d = file["devices"][0];
  EXPECT_EQ(d["rssi"], -60);
  EXPECT_EQ(d["advertising"]["manufacturerData"], "4C00");
  EXPECT_FALSE(d.contains("connection"));
  // A notification of 200 bytes needs a device MTU of 203.
  EXPECT_EQ(d["mtu"], 203);
  EXPECT_EQ(characteristic(file, 0)["timeline"],
            Json::parse(R"({"loop": true, "periodMs": 1000, "events": [
                {"atMs": 150, "value": "0041"}, {"atMs": 230, "value": "0042"}]})"));
  EXPECT_EQ(characteristic(file, 1)["value"], "01");
  EXPECT_FALSE(characteristic(file, 2).contains("value"));
  EXPECT_EQ(characteristic(file, 2)["onRead"], 2);
  EXPECT_EQ(characteristic(file, 2)["notes"][0], "value not captured");
  EXPECT_FALSE(characteristic(file, 3).contains("timeline"));
  // Offsets count from each characteristic's own subscription.
  EXPECT_EQ(characteristic(file, 4)["timeline"]["events"][0]["atMs"], 290);
  EXPECT_EQ(characteristic(file, 4)["timeline"]["periodMs"], 990);
  EXPECT_EQ(d["notes"].back(),
            "notifications handed out less than 0.1 s after the script before them, so that "
            "they may have waited in the helper's queue and be late by that wait: 1");
}

TEST(CaptureFileTest, ADroppedLinkEndsTheFirstSubscribedTimelineOnce) {
  auto t0 = CaptureClock::now();
  auto dropped = belt(t0);
  dropped.dropped = t0 + 500ms;
  Json file = captureDeviceFile(dropped);
  ASSERT_NO_THROW(parseDeviceFile(file.dump(), "belt.json"));
  EXPECT_EQ(characteristic(file, 0)["timeline"],
            Json::parse(R"([{"atMs": 150, "value": "0041"}, {"atMs": 230, "value": "0042"},
                            {"atMs": 500, "drop": true}])"));
  EXPECT_TRUE(characteristic(file, 4)["timeline"].is_array());

  // Dropped before any subscription: no timeline can carry the drop, and the file says so.
  auto early = belt(t0);
  early.dropped = t0;
  for (auto& c : early.services[0].characteristics) c.subscribed.reset();
  file = captureDeviceFile(early);
  auto notes = file["devices"][0]["notes"];
  EXPECT_NE(std::find(notes.begin(), notes.end(),
                      "the link dropped before any characteristic was subscribed to: the replay "
                      "keeps its link"),
            notes.end())
      << notes.dump();

  // Refused before any profile: the connection as it went, and no services.
  CapturedDevice refused;
  refused.id = "5C4D2A10-7F3B-4E8A-9C61-0B2D3E4F5A61";
  refused.connectable = true;
  refused.connection = "reject";
  file = captureDeviceFile(refused);
  auto configs = parseDeviceFile(file.dump(), "refused.json");
  EXPECT_EQ(configs[0].connection, sim::ConnectDecision::reject);
  EXPECT_FALSE(file["devices"][0].contains("rssi"));
}

TEST(CaptureFileTest, ValuesStayOnOneLineWhereTheyFit) {
  Json v = Json::parse(R"({"short": [1, 2], "nested": {"a": "x"}, "long": [")" +
                       std::string(90, 'A') + R"(", "B"]})");
  std::string text;
  appendDeviceFileText(v, 0, text);
  EXPECT_EQ(text, "{\n  \"short\": [1, 2],\n  \"nested\": {\"a\": \"x\"},\n  \"long\": [\n    \"" +
                      std::string(90, 'A') + "\",\n    \"B\"\n  ]\n}");
}

}  // namespace
}  // namespace tool
