// End-to-end tests of the central role's GATT client: the remote profile, reads, writes and
// subscriptions against emulated devices, through the built helper's HTTP commands.
#include <future>

#include "central_e2e.h"

namespace {

using namespace central_e2e;

const std::string kVendor = "6E400001-B5A3-F393-E0A9-E50E24DCCA9E";

// A device with a characteristic for every case; a link MTU of 23 allows 20 bytes without
// response.
json gattDevice(const std::string& id, const std::string& name) {
  json d = device(id, name);
  d["mtu"] = 23;
  d["services"] = json::parse(R"([
    {"uuid": "180D", "characteristics": [
      {"uuid": "2A37", "properties": "read|notify", "value": "0048"},
      {"uuid": "2A38", "properties": "read|write|writeWithoutResponse", "value": "0102"},
      {"uuid": "2A39", "properties": "write", "value": "00"},
      {"uuid": "2A3A", "properties": "writeWithoutResponse|indicate"},
      {"uuid": "2A3B", "properties": "read", "value": "4869"},
      {"uuid": "2A3C", "properties": "read", "value": "c3"},
      {"uuid": "2A3D", "properties": "read|write", "onRead": {"delayMs": 100}}]},
    {"uuid": "6E400001-B5A3-F393-E0A9-E50E24DCCA9E", "characteristics": [
      {"uuid": "FFF1", "properties": "read|write|notify", "value": "00",
       "onRead": "ignore", "onWrite": "ignore", "onSubscribe": "ignore"},
      {"uuid": "FFF2", "properties": "read|write|notify", "value": "00",
       "onRead": 5, "onWrite": 3, "onSubscribe": 12},
      {"uuid": "FFF3", "properties": "read|write|notify", "value": "33",
       "onWrite": "ignore", "onSubscribe": "ignore"}]}])");
  return d;
}

class GattEndToEnd : public CentralEndToEnd {
 protected:
  // Starts the devices, connects the first by name and waits until all its characteristics
  // are known.
  void connectBelt(std::vector<json> others = {}) {
    others.insert(others.begin(), gattDevice(kBelt, "Belt"));
    startDevices(others);
    ASSERT_EQ(startScan(""), kOK);
    ASSERT_TRUE(eventually([&] { return discovered(kBelt); }));
    ASSERT_EQ(connect("Belt", "", 5.0), kOK);
    ASSERT_TRUE(eventually([&] {
      return read(kBelt, "180D", "2A3C", "hex", 5.0)["lastError"] == 0 &&
             read(kBelt, kVendor, "FFF3", "hex", 5.0)["lastError"] == 0;
    }));
  }

  bool deviceSaw(const std::string& event, const std::string& ch, double seconds = 10) {
    return emulatorSaw({{"event", event}, {"characteristic", ch}}, seconds);
  }
};

TEST_F(GattEndToEnd, RemoteProfileAndReadsInEachFormatOrWhyNot) {
  connectBelt({gattDevice(kStrap, "Twin"), gattDevice(kTag, "Twin")});
  json answer = get("remoteprofile", "Belt");
  ASSERT_EQ(answer["lastError"], 0);
  std::string text = answer["result"];
  EXPECT_NE(text.find("\n  {"), std::string::npos) << "pretty-printed";
  json profile = json::parse(text);
  ASSERT_EQ(profile.size(), 2U);
  EXPECT_EQ(profile[0]["UUID"], "180D");
  EXPECT_EQ(profile[0]["alias"], "Heart Rate");
  EXPECT_EQ(
      profile[0]["characteristics"][0],
      json({{"UUID", "2A37"}, {"alias", "Heart Rate Measurement"}, {"properties", "read|notify"}}));
  EXPECT_EQ(profile[1]["UUID"], kVendor);
  EXPECT_EQ(profile[1]["characteristics"][0],
            json({{"UUID", "FFF1"}, {"properties", "read|write|notify"}}));

  EXPECT_EQ(get("remoteprofile", kStrap), reply(-30, "Device is not connected", "?"));

  EXPECT_EQ(read("Belt", "180D", "2A38", "hex", 5.0), value("0102"));
  EXPECT_EQ(read(kBelt, "180D", "2A3B", "UTF-8", 5.0), value("Hi"));
  // The format is looked at only once the value came; its failures are the formatter's own.
  EXPECT_EQ(read(kBelt, "180D", "2A3B", "base64", 5.0), reply(-16, "Unknown format type", "?"));
  EXPECT_TRUE(deviceSaw("read", "2A3B"));
  // A read with no time to wait still goes to the device.
  EXPECT_EQ(read(kBelt, "180D", "2A3D", "hex", 0), reply(-100, "Operation timeout", "?"));
  EXPECT_TRUE(deviceSaw("read", "2A3D"));
  EXPECT_EQ(read(kBelt, "180D", "2A3D", "hex", 5.0), value(""));

  EXPECT_EQ(read(kBelt, "180D", "2A39", "hex", 5.0),
            reply(-16, "Characteristics does not have a read property", "?"));
  EXPECT_EQ(read(kBelt, "180d", "2A38", "hex", 5.0), reply(-13, "Unknown characteristic", "?"));
  EXPECT_EQ(read(kStrap, "180D", "2A38", "hex", 5.0), reply(-30, "Device is not connected", "?"));
  EXPECT_EQ(read("Twin", "180D", "2A38", "hex", 5.0),
            reply(-12, "Name matches multiple devices", "?"));
  EXPECT_EQ(read(kBelt, kVendor, "FFF2", "hex", 5.0),
            reply(-16, "Authentication is insufficient.", "?"));
  EXPECT_EQ(read(kBelt, kVendor, "FFF1", "hex", 0.2), reply(-100, "Operation timeout", "?"));
}

TEST_F(GattEndToEnd, WritesWithAndWithoutResponse) {
  connectBelt();
  EXPECT_EQ(write("Belt", "180D", "2A38", "0A0B", "hex", 5.0), kOK);
  EXPECT_TRUE(emulatorSaw({{"event", "write"}, {"characteristic", "2A38"}, {"value", "0A0B"}}));
  EXPECT_EQ(write(kBelt, "180D", "2A38", "Z", "utf-8", 0), kOK);
  EXPECT_TRUE(emulatorSaw({{"event", "write"}, {"characteristic", "2A38"}, {"value", "5A"}}));
  EXPECT_EQ(write(kBelt, "180D", "2A38", "255", "uint8", -1), kOK);
  EXPECT_TRUE(emulatorSaw({{"event", "write"}, {"characteristic", "2A38"}, {"value", "FF"}}));
  // 512 bytes go with response; without response the link takes 20.
  EXPECT_EQ(write(kBelt, "180D", "2A38", std::string(1024, 'e'), "hex", 5.0), kOK);
  EXPECT_EQ(write(kBelt, "180D", "2A38", std::string(1026, 'e'), "hex", 5.0),
            failed(-17, "Data is too long"));
  EXPECT_EQ(write(kBelt, "180D", "2A38", std::string(40, 'e'), "hex", 0), kOK);
  EXPECT_EQ(write(kBelt, "180D", "2A3D", "", "utf-8", 5.0), kOK);
  EXPECT_TRUE(emulatorSaw({{"event", "write"}, {"characteristic", "2A3D"}, {"value", ""}}));
  // The length is checked before the characteristic is looked up.
  EXPECT_EQ(write(kBelt, "FFFF", "FFFF", std::string(42, 'e'), "hex", 0),
            failed(-17, "Data is too long"));

  EXPECT_EQ(write(kBelt, "180D", "2A3A", "01", "hex", 5.0),
            failed(-17, "Characteristic does not have write property"));
  EXPECT_EQ(write(kBelt, "180D", "2A39", "01", "hex", 0),
            failed(-17, "Characteristic does not have write without response property"));
  EXPECT_EQ(write(kBelt, "180D", "2A39", "01", "hex", -1),
            failed(-17, "Characteristic does not have write without response property"));
  // The value is converted before anything else, also for a device that is not connected.
  EXPECT_EQ(write(kStrap, "180D", "2A38", "abc", "hex", 5.0),
            failed(-17, "Hex string must have an even number of characters"));
  EXPECT_EQ(write(kStrap, "180D", "2A38", "01", "hex", 5.0),
            failed(-30, "Device is not connected"));
  EXPECT_EQ(write(kBelt, "180D", "2A40", "01", "hex", 5.0), failed(-13, "Unknown characteristic"));
  EXPECT_EQ(write(kBelt, kVendor, "FFF2", "01", "hex", 5.0),
            failed(-17, "Writing is not permitted."));
  EXPECT_EQ(write(kBelt, kVendor, "FFF1", "01", "hex", 0.2), failed(-100, "Operation timeout"));
  EXPECT_EQ(read(kBelt, "180D", "2A38", "hex", 5.0), value(std::string(40, 'e')));
}

TEST_F(GattEndToEnd, NotificationsRunTheScriptWithFourLines) {
  connectBelt();
  EXPECT_EQ(subscribe("Belt", "180D", "2A37", "OnBeat", "hex", 5.0), kOK);
  EXPECT_TRUE(deviceSaw("subscribed", "2A37"));
  emulator->writeLine("notify " + kBelt + " 180D 2A37 0102");
  EXPECT_EQ(scripts(1), std::vector<std::string>{"OnBeat(" + kBelt + "\r180D\r2A37\r0102)@Lab"});

  // A read of a subscribed characteristic returns the value and runs the script once.
  EXPECT_EQ(read(kBelt, "180D", "2A37", "hex", 5.0), value("0102"));
  EXPECT_EQ(scripts(1), std::vector<std::string>{"OnBeat(" + kBelt + "\r180D\r2A37\r0102)@Lab"});

  // A later subscription replaces the script, whatever its format.
  size_t before = helper.stdoutLines().size();
  EXPECT_EQ(subscribe(kBelt, "180D", "2A37", "OnOdd", "morse", 5.0), kOK);
  emulator->writeLine("notify " + kBelt + " 180D 2A37 03");
  EXPECT_TRUE(helper.waitForStdoutLine("CentralDelegate: Scheduling a script OnOdd", before));
  EXPECT_TRUE(helper.waitForStdoutLine("ScriptError: Unknown format type", before));

  // Unsubscribing turns notifications off and forgets the script: a script that could run is
  // registered first, so that one left behind would run for the read below.
  EXPECT_EQ(subscribe(kBelt, "180D", "2A37", "OnBeat", "hex", 5.0), kOK);
  EXPECT_EQ(subscribe(kBelt, "180D", "2A37", "", "hex", 5.0), kOK);
  EXPECT_TRUE(deviceSaw("unsubscribed", "2A37"));
  emulator->writeLine("notify " + kBelt + " 180D 2A37 04");
  EXPECT_TRUE(eventually([&] { return read(kBelt, "180D", "2A37", "hex", 5.0) == value("04"); }));
  EXPECT_TRUE(scripts(1, 0.5).empty());
}

TEST_F(GattEndToEnd, SubscriptionFailuresKeepTheScript) {
  connectBelt();
  EXPECT_EQ(subscribe(kBelt, "180D", "2A3A", "S", "hex", 5.0),
            failed(-18, "Characteristic does not have notify property"));
  EXPECT_EQ(subscribe(kBelt, "180D", "2A38", "S", "hex", 5.0),
            failed(-18, "Characteristic does not have notify property"));
  EXPECT_EQ(subscribe(kStrap, "180D", "2A37", "S", "hex", 5.0),
            failed(-30, "Device is not connected"));
  EXPECT_EQ(subscribe(kBelt, "180D", "2A99", "S", "hex", 5.0),
            failed(-13, "Unknown characteristic"));
  EXPECT_EQ(subscribe(kBelt, kVendor, "FFF2", "Refused", "uint8", 5.0),
            failed(-18, "The encryption key size is insufficient."));
  EXPECT_EQ(subscribe(kBelt, kVendor, "FFF1", "Silent", "uint8", 0.2),
            failed(-100, "Operation timeout"));
  // Zero does not wait; the script is registered at once.
  EXPECT_EQ(subscribe(kBelt, "180D", "2A37", "Quick", "uint8", 0), kOK);
  EXPECT_TRUE(deviceSaw("subscribed", "2A37"));
  emulator->writeLine("notify " + kBelt + " 180D 2A37 07");
  EXPECT_EQ(scripts(1), std::vector<std::string>{"Quick(" + kBelt + "\r180D\r2A37\r7)@Lab"});
}

TEST_F(GattEndToEnd, KilledDeviceEndsEveryWaitByItsTimeout) {
  connectBelt();
  // Each command on a connection of its own, all waiting on characteristics that never answer.
  json target = {{"deviceID", kBelt}, {"servID", kVendor}, {"charID", "FFF1"},
                 {"format", "hex"},   {"timeout", 1.0},    {"filename", "Lab"}};
  json withValue = target;
  withValue["value"] = "01";
  json withScript = target;
  withScript["script"] = "S";
  auto reading = later("/read", target);
  ASSERT_TRUE(deviceSaw("read", "FFF1"));
  withValue["charID"] = "FFF3";
  auto writing = later("/write", withValue);
  ASSERT_TRUE(deviceSaw("write", "FFF3"));
  withScript["charID"] = "FFF3";
  auto subscribing = later("/subscribe", withScript);
  // The subscription is issued once its script runs for a read of the characteristic.
  ASSERT_TRUE(eventually([&] {
    read(kBelt, kVendor, "FFF3", "hex", 5.0);
    return !scripts(1, 0.05).empty();
  }));
  emulator->kill();
  EXPECT_EQ(reading.get(), reply(-100, "Operation timeout", "?"));
  EXPECT_EQ(writing.get()["lastError"], -100);
  EXPECT_EQ(subscribing.get()["lastError"], -100);
  EXPECT_TRUE(eventually([&] { return get("connections")["result"] == ""; }));
  EXPECT_EQ(read(kBelt, "180D", "2A38", "hex", 1.0), reply(-30, "Device is not connected", "?"));
}

}  // namespace
