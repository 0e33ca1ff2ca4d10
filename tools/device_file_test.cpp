#include "tools/device_file.h"

#include <gtest/gtest.h>

#include "thrown.h"

namespace tool {
namespace {

std::string errorOf(const std::string& text) {
  return thrown<DeviceFileError>([&] { parseDeviceFile(text, "belt.json"); });
}

TEST(DeviceFileTest, ReadsEveryField) {
  auto devices = parseDeviceFile(R"({"devices":[{
    "id": "5c4d2a10-7f3b-4e8a-9c61-0b2d3e4f5a61", "name": "Belt", "rssi": [-80, -40],
    "advertising": {"localName": "HR", "intervalMs": 250, "connectable": false,
                    "manufacturerData": "4c00", "serviceUUIDs": ["180D"],
                    "serviceData": {"180F": "5A"}},
    "connection": "reject", "mtu": 23,
    "services": [{"uuid": "180D", "characteristics": [
      {"uuid": "2A37", "properties": "read|notify|indicate", "value": "0648",
       "onRead": "ignore", "onWrite": 3, "onSubscribe": "respond",
       "notify": {"everyMs": 500, "values": ["01", "02"]}}]}]},
    {"advertising": null}]})",
                                 "belt.json");
  ASSERT_EQ(devices.size(), 2u);
  const auto& d = devices[0];
  EXPECT_EQ(sim::nodeIdText(d.id), "5C4D2A10-7F3B-4E8A-9C61-0B2D3E4F5A61");
  EXPECT_EQ(d.name, "Belt");
  EXPECT_EQ(d.rssiMin, -80);
  EXPECT_EQ(d.rssiMax, -40);
  EXPECT_EQ(d.advertising->localName, "HR");
  EXPECT_EQ(d.advertising->interval.count(), 250);
  EXPECT_FALSE(d.advertising->connectable);
  EXPECT_EQ(d.advertising->manufacturerData, (std::vector<uint8_t>{0x4C, 0x00}));
  EXPECT_EQ(d.advertising->serviceData->at(CBUUID::from16(0x180F)), (std::vector<uint8_t>{0x5A}));
  EXPECT_EQ(d.connection, sim::ConnectDecision::reject);
  EXPECT_EQ(d.mtu, 23);
  const auto& c = d.services[0].characteristics[0];
  EXPECT_EQ(c.properties, 0x32u);
  EXPECT_EQ(propertyWords(c.properties), "read|notify|indicate");
  EXPECT_EQ(c.onRead.kind, sim::Answer::Kind::ignore);
  EXPECT_EQ(c.onWrite.kind, sim::Answer::Kind::error);
  EXPECT_EQ(c.onWrite.att, 3);
  EXPECT_EQ(c.notify->values.size(), 2u);
  // Defaults: a random id, not advertising, accepting, MTU 185.
  EXPECT_FALSE(devices[1].advertising.has_value());
  EXPECT_NE(devices[1].id, d.id);
  EXPECT_EQ(devices[1].mtu, 185);
  EXPECT_EQ(devices[1].connection, sim::ConnectDecision::accept);
}

// The error for a device whose one characteristic has the members `members` (JSON text).
std::string characteristicError(const std::string& members) {
  return errorOf(R"({"devices":[{"services":[{"uuid":"180D","characteristics":[{)" + members +
                 "}]}]}]}");
}
const std::string kFirst = "belt.json: devices[0].services[0].characteristics[0]";

// A device whose first characteristic notifies and has the timeline `timeline` (JSON text).
std::string withTimeline(const std::string& timeline, const std::string& more = "") {
  return R"({"devices":[{"mtu":23,"services":[{"uuid":"180D","characteristics":[
    {"uuid":"2A37","properties":"notify","timeline":)" +
         timeline + R"(},
    {"uuid":"2A38","properties":"read","value":"01"})" +
         more + R"(]}]}]})";
}

TEST(DeviceFileTest, ErrorsNameTheFileThePlaceAndTheProblem) {
  EXPECT_EQ(errorOf("{\"devices\": [\n  {\"name\": \"x\",}\n]}"),
            "belt.json: line 2, column 16: not valid JSON: syntax error while parsing object key - "
            "unexpected '}'; expected string literal");
  EXPECT_EQ(errorOf("[]"), "belt.json: top level: expected an object");
  EXPECT_EQ(errorOf(R"({"devices":[{"rssi":1E5700}]})"),
            "belt.json: not valid JSON: number overflow parsing '1E5700'");
  EXPECT_EQ(errorOf("{}"), "belt.json: top level: missing \"devices\"");
  EXPECT_EQ(errorOf(R"({"devices":[{"nmae":"x"}]})"),
            "belt.json: devices[0]: unknown member \"nmae\"");
  EXPECT_EQ(errorOf(R"({"devices":[{"id":"180D"}]})"),
            "belt.json: devices[0].id: not a UUID in the 8-4-4-4-12 form: \"180D\"");
  EXPECT_EQ(errorOf(R"({"devices":[{"rssi":[-40,-80]}]})"),
            "belt.json: devices[0].rssi: min is greater than max");
  EXPECT_EQ(errorOf(R"({"devices":[{"rssi":"loud"}]})"),
            "belt.json: devices[0].rssi: expected a number or [min, max]");
  EXPECT_EQ(errorOf(R"({"devices":[{"advertising":{"intervalMs":0}}]})"),
            "belt.json: devices[0].advertising.intervalMs: 0 is out of range 1 to 60000");
  EXPECT_EQ(errorOf(R"({"devices":[{"advertising":{"serviceData":{"18X":"00"}}}]})"),
            "belt.json: devices[0].advertising.serviceData.18X: not a UUID: \"18X\"");
  EXPECT_EQ(errorOf(R"({"devices":[{"connection":"maybe"}]})"),
            "belt.json: devices[0].connection: expected \"accept\", \"reject\" or \"ignore\", not "
            "\"maybe\"");
  EXPECT_EQ(characteristicError(R"("uuid":"2A37","properties":"read|shout")"),
            kFirst +
                ".properties: unknown property in \"read|shout\" (use read, write, "
                "writeWithoutResponse, notify, indicate joined by |)");
  EXPECT_EQ(characteristicError(R"("uuid":"2A37","properties":"read","value":"ABC")"),
            kFirst + ".value: not hex bytes: \"ABC\"");
  EXPECT_EQ(characteristicError(R"("uuid":"2A37","properties":"read","onRead":0)"),
            kFirst + ".onRead: 0 is out of range 1 to 255");
  EXPECT_EQ(characteristicError(
                R"("uuid":"2A37","properties":"read","notify":{"everyMs":5,"values":["01"]})"),
            kFirst + ".notify: the characteristic has neither notify nor indicate");
  EXPECT_EQ(errorOf(R"({"devices":[{"id":"5C4D2A10-7F3B-4E8A-9C61-0B2D3E4F5A61"},
                                   {"id":"5C4D2A10-7F3B-4E8A-9C61-0B2D3E4F5A61"}]})"),
            "belt.json: devices[1].id: the same id as an earlier device: "
            "5C4D2A10-7F3B-4E8A-9C61-0B2D3E4F5A61");
  EXPECT_EQ(errorOf(R"({"devices":[{"mtu":600}]})"),
            "belt.json: devices[0].mtu: 600 is out of range 23 to 517");
  std::string tooLong(1026, 'a');
  EXPECT_EQ(characteristicError(
                R"("uuid":"2A37","properties":"notify","notify":{"everyMs":5,"values":["01",")" +
                tooLong + R"("]})"),
            kFirst + ".notify.values[1]: longer than 512 bytes");
  EXPECT_EQ(characteristicError(R"("uuid":"2A37","properties":"read","onRead":{"delayMs":-1})"),
            kFirst + ".onRead.delayMs: -1 is out of range 0 to 600000");
  EXPECT_EQ(
      characteristicError(R"("uuid":"2A37","properties":"notify","onSubscribe":{"delayMs":5})"),
      kFirst + ".onSubscribe: expected \"respond\", \"ignore\" or an ATT error code from 1 to 255");
  // A member written twice is refused where it is, not taken silently as the last one.
  EXPECT_EQ(errorOf(R"({"devices":[{"services":[{"uuid":"180D","characteristics":[
      {"uuid":"2A37","properties":"read"},{"uuid":"2A38","value":"01","value":"02"}]}]}]})"),
            "belt.json: devices[0].services[0].characteristics[1]: member \"value\" appears twice");
  EXPECT_EQ(errorOf(R"({"devices":[],"devices":[]})"),
            "belt.json: top level: member \"devices\" appears twice");
  // Bounds on size: a file that would take a great deal of memory is refused before it does.
  EXPECT_EQ(errorOf(std::string(8 * 1024 * 1024 + 1, ' ')),
            "belt.json: 8388609 bytes, larger than the 8388608 a device file may be");
  std::string events = R"({"atMs":0,"value":"01"})";
  for (int i = 1; i < 100001; ++i) events += R"(,{"atMs":0,"value":"01"})";
  EXPECT_EQ(errorOf(withTimeline("[" + events + "]")),
            kFirst +
                ".timeline: more than 100000 timeline events in the file, more than a device file "
                "may hold");
}

TEST(DeviceFileTest, TimelinesAndWhatIsWrongWithThem) {
  auto played = parseDeviceFile(withTimeline(R"([{"atMs":0,"value":"01"},
      {"atMs":5,"onRead":{"delayMs":3},"characteristic":"2A38"},{"atMs":5,"advertise":"off"},
      {"atMs":9,"drop":true}])"),
                                "belt.json");
  const auto& once = *played[0].services[0].characteristics[0].timeline;
  ASSERT_EQ(once.events.size(), 4u);
  EXPECT_FALSE(once.loop);
  EXPECT_EQ(once.events[1].kind, sim::TimelineEvent::Kind::onRead);
  EXPECT_EQ(once.events[1].onRead.after.count(), 3);
  EXPECT_EQ(once.events[1].target, (std::pair<size_t, size_t>{0, 1}));
  EXPECT_EQ(once.events[2].kind, sim::TimelineEvent::Kind::advertiseOff);
  EXPECT_EQ(once.events[3].kind, sim::TimelineEvent::Kind::drop);
  auto looped = parseDeviceFile(
      withTimeline(R"({"loop":true,"periodMs":10,"events":[{"atMs":9,"value":"02"}]})"), "b");
  EXPECT_TRUE(looped[0].services[0].characteristics[0].timeline->loop);
  EXPECT_EQ(looped[0].services[0].characteristics[0].timeline->period.count(), 10);
  // Notes are kept out of the way, and a characteristic may have no property a central uses.
  EXPECT_NO_THROW(parseDeviceFile(R"({"notes":["a"],"devices":[{"notes":[],"services":[
      {"uuid":"180D","characteristics":[{"uuid":"2A37","properties":"","notes":["b"]}]}]}]})",
                                  "b"));

  const std::string first = kFirst + ".timeline";
  EXPECT_EQ(errorOf(withTimeline(R"([{"atMs":5,"value":"01"},{"atMs":4,"value":"02"}])")),
            first + "[1].atMs: 4 is before the previous event's 5: events go in time order");
  EXPECT_EQ(errorOf(withTimeline(R"([{"atMs":5,"onRead":2,"characteristic":"2A99"}])")),
            first + "[0].characteristic: the device has no characteristic 2A99");
  EXPECT_EQ(
      errorOf(withTimeline(R"([{"atMs":5,"onRead":2,"service":"180F","characteristic":"2A38"}])")),
      first + "[0].characteristic: the device has no characteristic 2A38 in service 180F");
  // A service alone would quietly change the timeline's own characteristic instead.
  EXPECT_EQ(errorOf(withTimeline(R"([{"atMs":5,"onRead":2,"service":"180D"}])")),
            first + "[0].service: goes with \"characteristic\", which names the characteristic");
  EXPECT_EQ(errorOf(withTimeline(R"([{"atMs":5,"onRead":2,"characteristic":"2A38"}])",
                                 R"(,{"uuid":"2A38","properties":"read"})")),
            first +
                "[0].characteristic: the device has 2A38 in more than one service: name it with "
                "\"service\"");
  EXPECT_EQ(errorOf(withTimeline(R"([{"atMs":0,"value":")" + std::string(42, 'A') + R"("}])")),
            first +
                "[0].value: 21 bytes, longer than the 20 a notification carries with the device's "
                "MTU of 23");
  EXPECT_EQ(errorOf(withTimeline(R"({"loop":true,"events":[{"atMs":0,"value":"01"}]})")),
            first + ": a timeline that loops needs \"periodMs\"");
  EXPECT_EQ(
      errorOf(withTimeline(R"({"loop":true,"periodMs":10,"events":[{"atMs":10,"value":"01"}]})")),
      first + ".events[0].atMs: 10 is not before periodMs 10");
  EXPECT_EQ(errorOf(withTimeline(R"([{"atMs":1,"value":"01","drop":true}])")),
            first + "[0]: expected exactly one of \"value\", \"drop\", \"advertise\", \"onRead\"");
  EXPECT_EQ(errorOf(withTimeline(R"([{"atMs":1,"advertise":"maybe"}])")),
            first + "[0].advertise: expected \"on\" or \"off\", not \"maybe\"");
  EXPECT_EQ(errorOf(withTimeline("[]")), first + ": expected at least one event");
  EXPECT_EQ(characteristicError(
                R"("uuid":"2A38","properties":"read","timeline":[{"atMs":0,"value":"01"}])"),
            first +
                ": a timeline plays when a central subscribes, and the characteristic has neither "
                "notify nor indicate");
  EXPECT_EQ(errorOf(R"({"notes":"x","devices":[]})"), "belt.json: notes: expected a list");
}

TEST(DeviceFileTest, ExamplesAreValid) {
  for (const char* name : {"heart-rate-belt.json", "thermometer.json", "misbehaving.json",
                           "captured-heart-rate-belt.json"}) {
    std::string path = VELNOR_SOURCE_DIR;
    path.append("/examples/").append(name);
    EXPECT_NO_THROW(loadDeviceFile(path)) << name;
  }
  EXPECT_EQ(thrown<DeviceFileError>([] { loadDeviceFile("/nonexistent/x.json"); }),
            "/nonexistent/x.json: cannot be read");
}

}  // namespace
}  // namespace tool
