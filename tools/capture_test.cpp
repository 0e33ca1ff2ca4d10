// The device file a capture writes: what the emulator then plays, and what it says it missed.
#include "tools/capture.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "bluetooth/cb_error.h"
#include "tools/capture_poller.h"
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
  CapturedCharacteristic location{"2A38", "read", "01", nullptr, nullptr, {}, std::nullopt, {}};
  CapturedCharacteristic locked{"2A39", "read", std::nullopt, 2, nullptr, {"value not captured"},
                                {},     {}};
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
  EXPECT_EQ(characteristic(file, 0)["notes"],
            Json::array({"1 notifications waited in the helper's queue: their offsets are when it "
                         "handed them out, later than the device sent them"}));
  EXPECT_FALSE(file.contains("notes"));
  EXPECT_TRUE(captureLosses(belt(t0)).empty());

  // A notification still waiting when the listening ended: its place in a loop is not known, so
  // the timeline plays once.
  auto late = belt(t0);
  late.services[0].characteristics[0].notifications[1].at = t0 + 1300ms;
  EXPECT_TRUE(characteristic(captureDeviceFile(late), 0)["timeline"].is_array());
}

// The helper drops scripts that come while its queue is full; what came after it may have been
// full is left out and said per characteristic, and a capture that ended early says so.
TEST(CaptureFileTest, AFullQueueCutsTheTimelinesAndAFailureMarksThePartialFile) {
  auto t0 = CaptureClock::now();
  std::vector<HandedOut> scripts;
  for (int i = 0; i < 101; ++i) scripts.push_back({t0 + i * 100ms, "s", "f", "", i > 0});
  EXPECT_EQ(lastBeforeOverflow(scripts), std::nullopt);
  scripts.push_back({t0 + 10100ms, "s", "f", "", true});
  EXPECT_EQ(lastBeforeOverflow(scripts), t0 + 10000ms);
  // The queue found empty between them: neither stretch filled it.
  scripts[50].held = false;
  EXPECT_EQ(lastBeforeOverflow(scripts), std::nullopt);

  auto full = belt(t0);
  full.queueFull = t0 + 200ms;
  full.failure = "the helper went away";
  Json file = captureDeviceFile(full);
  ASSERT_NO_THROW(parseDeviceFile(file.dump(), "full.json"));
  EXPECT_EQ(file["notes"], Json::array({"partial capture, it ended early: the helper went away"}));
  EXPECT_EQ(characteristic(file, 0)["timeline"],
            Json::parse(R"([{"atMs": 150, "value": "0041"}])"));
  EXPECT_FALSE(characteristic(file, 4).contains("timeline"));
  auto losses = captureLosses(full);
  ASSERT_EQ(losses.size(), 3u);
  EXPECT_EQ(losses[0],
            "180D/2A37: notifications may be missing from 200 ms after the subscription on: the "
            "helper's queue was full then and drops what comes while it is (2 taken, the first 1 "
            "kept)");
  EXPECT_EQ(characteristic(file, 3)["notes"].back(), losses[1].substr(11));

  // Failed requests replay as the device answered them.
  EXPECT_EQ(deviceAnswerOf(-100, "Operation timeout"), "ignore");
  EXPECT_EQ(deviceAnswerOf(-18, "Reading is not permitted."), 2);
  Json unnamed = deviceAnswerOf(-16, "Unknown ATT error.");
  ASSERT_TRUE(unnamed.is_number()) << unnamed;
  EXPECT_EQ(CBError::att(unnamed.get<uint8_t>()).localizedDescription, "Unknown ATT error.");
  EXPECT_EQ(deviceAnswerOf(-17, "Device is not connected"), nullptr);
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

  // The first subscribed characteristic sent nothing: it carries the drop all the same.
  dropped.services[0].characteristics[0].notifications.clear();
  file = captureDeviceFile(dropped);
  EXPECT_EQ(characteristic(file, 0).value("timeline", Json()),
            Json::parse(R"([{"atMs": 500, "drop": true}])"));

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

TEST(CaptureFileTest, ValuesStayOnOneLineWhereTheyFitAndFilesAreReplacedWhole) {
  Json v = Json::parse(R"({"short": [1, 2], "nested": {"a": "x"}, "long": [")" +
                       std::string(90, 'A') + R"(", "B"]})");
  std::string text;
  appendDeviceFileText(v, 0, text);
  EXPECT_EQ(text, "{\n  \"short\": [1, 2],\n  \"nested\": {\"a\": \"x\"},\n  \"long\": [\n    \"" +
                      std::string(90, 'A') + "\",\n    \"B\"\n  ]\n}");

  // A reader that has the old file open keeps reading it whole.
  auto dir =
      std::filesystem::path(testing::TempDir()) / ("capture-write-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "belt.json") << "old";
  std::filesystem::create_hard_link(dir / "belt.json", dir / "reader");
  EXPECT_EQ(writeFileWhole(dir / "belt.json", "new"), std::nullopt);
  auto contents = [](const std::filesystem::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(contents(dir / "belt.json"), "new");
  EXPECT_EQ(contents(dir / "reader"), "old");
  EXPECT_EQ(writeFileWhole(dir / "none" / "belt.json", "new"),
            (dir / "none" / "belt.json.part").string());
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tool
