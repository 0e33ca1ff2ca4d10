// End-to-end tests of the BlueZ backend: the built helper with --radio bluez on a private bus,
// against the bluetoothd double, checked the way the plug-in sees the simulated radio.
#include <algorithm>
#include <future>

#include "bluez_double.h"
#include "central_e2e.h"

namespace {

using namespace central_e2e;
using Bytes = BlueZDouble::Bytes;

// hci0 of the double has the address 00:01:02:03:04:05.
const std::string kBeltAddress = "C0:FF:EE:00:00:01";
const std::string kBeltID = "00010203-0405-0000-0000-C0FFEE000001";
const std::string kVendor = "6E400001-B5A3-F393-E0A9-E50E24DCCA9E";
const std::string kHeartRate = "0000180d-0000-1000-8000-00805f9b34fb";

std::string uuid128(const std::string& short16) {
  return "0000" + short16 + "-0000-1000-8000-00805f9b34fb";
}

// The double starts before the helper, so that the helper finds a powered adapter.
struct DoubleFirst {
  DoubleFirst() { bluez.addAdapter("hci0"); }
  BlueZDouble bluez;
};

class BlueZEndToEnd : protected DoubleFirst, public CentralEndToEnd {
 protected:
  BlueZEndToEnd() : CentralEndToEnd(optionsFor(bluez)) {}

  static HelperProcess::Options optionsFor(const BlueZDouble& bluez) {
    HelperProcess::Options options;
    options.extraArgs = {"--radio", "bluez"};
    options.env = {{"DBUS_SYSTEM_BUS_ADDRESS", bluez.address()}};
    return options;
  }

  // A belt that advertises the heart-rate service, with a characteristic for every case.
  void addBelt() {
    belt = bluez.addLEDevice(
        "hci0", kBeltAddress,
        {{"Name", sdbus::Variant(std::string("Belt"))},
         {"RSSI", sdbus::Variant(int16_t{-48})},
         {"UUIDs", sdbus::Variant(std::vector<std::string>{kHeartRate})},
         {"ManufacturerData", sdbus::Variant(std::map<uint16_t, sdbus::Variant>{
                                  {0xFFFF, sdbus::Variant(Bytes{0x01, 0x01})}})}});
    std::string heart = bluez.addGattService(belt, kHeartRate);
    measurement =
        bluez.addGattCharacteristic(heart, uuid128("2a37"), {"read", "notify"}, {0x00, 0x48});
    control = bluez.addGattCharacteristic(heart, uuid128("2a38"),
                                          {"read", "write", "write-without-response"}, {1, 2});
    std::string vendor = bluez.addGattService(belt, kVendor);
    locked = bluez.addGattCharacteristic(vendor, "6e400002-b5a3-f393-e0a9-e50e24dcca9e",
                                         {"read", "write", "notify"}, {0});
    bluez.setCharBehaviour(locked, "ReadValue", "org.bluez.Error.NotPermitted");
    bluez.setCharBehaviour(locked, "WriteValue", "hang");
  }

  void connectBelt(const std::string& options = "") {
    addBelt();
    ASSERT_EQ(startScan(""), kOK);
    bluez.updateDevice(belt, {{"RSSI", sdbus::Variant(int16_t{-50})}});
    ASSERT_TRUE(eventually([&] { return discovered(kBeltID); }));
    ASSERT_EQ(connect("Belt", options, 5.0), kOK);
  }

  std::string status() {
    return json::parse(get("status")["result"].get<std::string>())["bluetooth"];
  }

  std::string belt, measurement, control, locked;
};

TEST_F(BlueZEndToEnd, ScanAsksTheAdapterForLEAndListsWhatDevicesAdvertise) {
  addBelt();
  std::string other = bluez.addLEDevice("hci0", "C0:FF:EE:00:00:02",
                                        {{"Name", sdbus::Variant(std::string("Lamp"))}});
  EXPECT_EQ(status(), "powered On");
  ASSERT_EQ(startScan("filterbyservice=180D"), kOK);
  auto filter = bluez.discoveryFilter("hci0");
  EXPECT_EQ(filter["Transport"].get<std::string>(), "le");
  EXPECT_EQ(filter["UUIDs"].get<std::vector<std::string>>(), std::vector<std::string>{kHeartRate});
  // Devices count as discovered when an advertisement of theirs arrives.
  bluez.updateDevice(belt, {{"RSSI", sdbus::Variant(int16_t{-51})}});
  bluez.updateDevice(other, {{"RSSI", sdbus::Variant(int16_t{-40})}});
  ASSERT_TRUE(eventually([&] { return discovered(kBeltID); }));
  auto found = discoveries();
  EXPECT_EQ(found.size(), 1U);
  EXPECT_EQ(found[kBeltID]["name"], "Belt");
  EXPECT_EQ(found[kBeltID]["RSSI"], -51);
  EXPECT_EQ(call("/stopScan", json::object()), kOK);
  EXPECT_FALSE(json::parse(get("status")["result"].get<std::string>())["isScanning"]);
}

TEST_F(BlueZEndToEnd, ConnectedDeviceIsReadWrittenAndNotifiesThroughTheRole) {
  connectBelt("onConnect=Connected\rondiscoverservices=Services");
  EXPECT_EQ(scripts(2), (std::vector<std::string>{"Connected(" + kBeltID + ")@Lab",
                                                  "Services(" + kBeltID + ")@Lab"}));
  ASSERT_TRUE(
      eventually([&] { return read(kBeltID, "180D", "2A37", "hex", 5.0) == value("0048"); }));
  EXPECT_EQ(read("Belt", kVendor, "6E400002-B5A3-F393-E0A9-E50E24DCCA9E", "hex", 5.0),
            reply(-16, "Reading is not permitted.", "?"));

  EXPECT_EQ(write(kBeltID, "180D", "2A38", "0A0B", "hex", 5.0), kOK);
  EXPECT_EQ(write(kBeltID, "180D", "2A38", "0C", "hex", 0), kOK);
  EXPECT_TRUE(eventually([&] { return bluez.writes(control).size() == 2; }));
  auto writes = bluez.writes(control);
  EXPECT_EQ(writes[0], (std::pair<Bytes, std::string>{{0x0A, 0x0B}, "request"}));
  EXPECT_EQ(writes[1], (std::pair<Bytes, std::string>{{0x0C}, "command"}));
  // A call that bluetoothd never answers ends by the command's own timeout.
  EXPECT_EQ(write(kBeltID, kVendor, "6E400002-B5A3-F393-E0A9-E50E24DCCA9E", "01", "hex", 0.3),
            failed(-100, "Operation timeout"));

  EXPECT_EQ(subscribe(kBeltID, "180D", "2A37", "OnBeat", "hex", 5.0), kOK);
  bluez.notify(measurement, {0x01, 0x02});
  EXPECT_EQ(scripts(1), std::vector<std::string>{"OnBeat(" + kBeltID + "\r180D\r2A37\r0102)@Lab"});
  EXPECT_EQ(subscribe(kBeltID, "180D", "2A37", "", "hex", 5.0), kOK);
  bluez.notify(measurement, {0x03});
  EXPECT_TRUE(scripts(1, 0.5).empty());
}

TEST_F(BlueZEndToEnd, LostLinksRefusalsAndVanishingDevicesEndConnections) {
  connectBelt("ondisconnect=Gone");
  bluez.dropLink(belt);
  EXPECT_EQ(scripts(1), std::vector<std::string>{"Gone(" + kBeltID + ")@Lab"});
  EXPECT_EQ(get("connections")["result"], "");

  bluez.setConnectBehaviour(belt, "org.bluez.Error.Failed");
  EXPECT_EQ(connect(kBeltID, "onconnectionfailed=Failed", 5.0)["lastError"], -15);
  EXPECT_EQ(scripts(1), std::vector<std::string>{"Failed(" + kBeltID + ")@Lab"});

  // A device that BlueZ forgets while it connects fails at once, not by the timeout.
  bluez.setConnectBehaviour(belt, "hang");
  auto started = ChildProcess::Clock::now();
  auto pending = std::async(std::launch::async, [&] {
    httplib::Client client("127.0.0.1", helper.port());
    auto answer = client.Post(
        "/connect",
        json{{"deviceID", kBeltID}, {"options", ""}, {"filename", "Lab"}, {"timeout", 20.0}}.dump(),
        "application/json");
    return answer ? json::parse(answer->body, nullptr, false) : json();
  });
  // The third Connect of the belt has reached the double.
  ASSERT_TRUE(eventually([&] {
    auto log = bluez.log();
    return std::count_if(log.begin(), log.end(), [&](const std::string& l) {
             return l.find("Connect " + belt) != std::string::npos;
           }) == 3;
  }));
  bluez.removeLEDevice(belt);
  EXPECT_EQ(pending.get()["lastError"], -15);
  EXPECT_LT(ChildProcess::Clock::now() - started, std::chrono::seconds(10));
}

TEST_F(BlueZEndToEnd, PowerAndADaemonRestartShowInTheStatus) {
  bluez.setPowered("hci0", false);
  EXPECT_TRUE(eventually([&] { return status() == "powered Off"; }));
  EXPECT_EQ(startScan("")["lastError"], -10);
  bluez.setPowered("hci0", true);
  EXPECT_TRUE(eventually([&] { return status() == "powered On"; }));

  bluez.stopBlueZ();
  EXPECT_TRUE(eventually([&] { return status() == "unsupported"; }));
  bluez.startBlueZ();
  bluez.addAdapter("hci0");
  EXPECT_TRUE(eventually([&] { return status() == "powered On"; }));
  connectBelt();
  EXPECT_EQ(get("connections")["result"], kBeltID);
}

TEST_F(BlueZEndToEnd, PublishedProfileAnswersCentralsThroughBlueZ) {
  json profile = json::parse(R"([{"UUID": "180D", "characteristics": [
      {"UUID": "2A37", "properties": "read|notify", "afterSubscribe": "Subscribed"},
      {"UUID": "2A38", "properties": "read|write", "afterWrite": "Written", "format": "hex"},
      {"UUID": "2A39", "properties": "read", "protection": 2}]}])");
  ASSERT_EQ(
      call("/set", {{"selector", "localprofile"}, {"filename", "Lab"}, {"value", profile.dump()}}),
      kOK);
  ASSERT_EQ(call("/startAdvertising", {{"options", "displayName=Lab Sensor"}}), kOK);
  ASSERT_TRUE(eventually([&] { return !bluez.advertisement("hci0").empty(); }));
  auto ad = bluez.advertisement("hci0");
  EXPECT_EQ(ad["LocalName"].get<std::string>(), "Lab Sensor");
  EXPECT_EQ(ad["Type"].get<std::string>(), "peripheral");
  ASSERT_TRUE(eventually([&] { return !bluez.application("hci0").empty(); }));

  std::string phone = bluez.addLEDevice("hci0", "C0:FF:EE:00:00:09", {});
  std::string phoneID = "00010203-0405-0000-0000-C0FFEE000009";
  bluez.remoteWrite("hci0", uuid128("2a38"), phone, {0x0A, 0x0B});
  EXPECT_EQ(scripts(1), std::vector<std::string>{"Written(" + phoneID + "\r0a0b)@Lab"});
  EXPECT_EQ(bluez.remoteRead("hci0", uuid128("2a38"), phone), (Bytes{0x0A, 0x0B}));
  // A value never set is "not found"; protection turns a central away with "not supported".
  auto errorOf = [&](const std::string& ch) {
    try {
      bluez.remoteRead("hci0", uuid128(ch), phone);
    } catch (const sdbus::Error& e) {
      return e.getName() + " " + e.getMessage();
    }
    return std::string("answered");
  };
  EXPECT_EQ(errorOf("2a37"), "org.bluez.Error.Failed 0x0a");
  ASSERT_EQ(call("/setLocalChar",
                 {{"servID", "180D"}, {"charID", "2A39"}, {"value", "7"}, {"format", "uint8"}}),
            kOK);
  EXPECT_EQ(errorOf("2a39"), "org.bluez.Error.NotSupported Not supported");

  bluez.remoteStartNotify("hci0", uuid128("2a37"));
  EXPECT_EQ(scripts(1).size(), 1U);
  ASSERT_EQ(call("/setLocalChar",
                 {{"servID", "180D"}, {"charID", "2A37"}, {"value", "Hi"}, {"format", "utf-8"}}),
            kOK);
  EXPECT_TRUE(eventually([&] {
    return bluez.notifications("hci0", uuid128("2a37")) == std::vector<Bytes>{{'H', 'i'}};
  }));

  ASSERT_EQ(call("/stopAdvertising", json::object()), kOK);
  EXPECT_TRUE(eventually([&] { return bluez.advertisement("hci0").empty(); }));

  // A restarted bluetoothd gets the profile again.
  bluez.stopBlueZ();
  bluez.startBlueZ();
  bluez.addAdapter("hci0");
  EXPECT_TRUE(eventually([&] { return !bluez.application("hci0").empty(); }));
}

}  // namespace

namespace {

TEST(BlueZWithoutBusTest, HelperKeepsServingAndSaysUnsupported) {
  HelperProcess::Options options;
  options.extraArgs = {"--radio", "bluez"};
  options.env = {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/velnor-bus"}};
  HelperProcess helper(options);
  HttpReply status = helper.post("/get", R"({"selector":"status"})");
  ASSERT_EQ(status.status, 200);
  EXPECT_NE(status.body.find(R"(\"bluetooth\": \"unsupported\")"), std::string::npos)
      << status.body;
  EXPECT_EQ(helper.post("/startScan", R"({"options":"","filename":"Lab"})").status, 200);
  EXPECT_EQ(helper.post("/getLastError", "{}").status, 200);
}

}  // namespace
