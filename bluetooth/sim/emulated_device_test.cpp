// Emulated devices seen by a central manager: every advertisement field and every fault a
// device can be told to make.
#include "bluetooth/sim/emulated_device.h"

#include <gtest/gtest.h>

#include "bluetooth/sim/sim_central_manager.h"
#include "bluetooth/sim/test_recorder.h"
#include "eventually.h"
#include "tools/device_file.h"

namespace sim {
namespace {

using testing::CentralRecorder;
using testing::DeviceRecorder;

const CBUUID kService = *CBUUID::fromString("180D");
const CBUUID kVendor = *CBUUID::fromString("6E400001-B5A3-F393-E0A9-E50E24DCCA9E");

// The first device of a device file's text.
EmulatedDeviceConfig fromFile(const std::string& device) {
  return tool::parseDeviceFile(R"({"devices": [)" + device + "]}", "test.json").at(0);
}

// A device with a characteristic for each way of answering: 2A00 never answers a read, 2A01
// refuses everything, 2A02 answers, 2A03 takes only writes without response, 2A04 answers late.
// `fine` adds members to 2A02, `device` to the device.
EmulatedDeviceConfig faultyDevice(const std::string& fine = "", const std::string& device = "") {
  return fromFile(R"({"name": "Faulty", "advertising": {"localName": "Faulty"})" + device + R"(,
    "services": [{"uuid": "6E400001-B5A3-F393-E0A9-E50E24DCCA9E", "characteristics": [
      {"uuid": "2A00", "properties": "read", "value": "01", "onRead": "ignore"},
      {"uuid": "2A01", "properties": "read|write|notify", "value": "02", "onRead": 5,
       "onWrite": 3, "onSubscribe": 200},
      {"uuid": "2A02", "properties": "read|notify|writeWithoutResponse", "value": "AB")" +
                  fine + R"(},
      {"uuid": "2A03", "properties": "writeWithoutResponse"},
      {"uuid": "2A04", "properties": "read|write", "value": "04", "onRead": {"delayMs": 50},
       "onWrite": {"delayMs": 50}}]}]})");
}

class EmulatedDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { central = makeCentralManager(air, events, centralQueue); }
  void TearDown() override {
    central.reset();
    devices.clear();
    centralQueue.sync([] {});
    deviceQueue.sync([] {});
    EXPECT_EQ(events.offQueue, 0);
    EXPECT_EQ(events.changedObjects, 0);
  }

  std::shared_ptr<EmulatedDevice> add(EmulatedDeviceConfig config) {
    auto d = EmulatedDevice::create(air, std::move(config), observer, deviceQueue);
    devices.push_back(d);
    return d;
  }

  std::shared_ptr<CBPeripheral> connect(const std::shared_ptr<EmulatedDevice>& d) {
    auto p = events.connectAll(*central, d->identifier());
    EXPECT_TRUE(p);
    return p;
  }

  std::shared_ptr<Air> air = makeInProcessAir();
  DispatchQueue centralQueue{"central.queue"};
  DispatchQueue deviceQueue{"devices"};
  CentralRecorder events{centralQueue};
  DeviceRecorder observer;
  std::shared_ptr<CBCentralManager> central;
  std::vector<std::shared_ptr<EmulatedDevice>> devices;
};

TEST_F(EmulatedDeviceTest, AdvertisementCarriesEveryField) {
  auto d = add(fromFile(R"({"name": "Belt", "rssi": [-70, -40], "advertising": {
      "localName": "HR Belt", "intervalMs": 5, "connectable": false, "manufacturerData": "4C0001",
      "serviceUUIDs": ["180D", "6E400001-B5A3-F393-E0A9-E50E24DCCA9E"],
      "serviceData": {"180D": "07"}}})"));
  central->scanForPeripherals(std::vector<CBUUID>{kVendor}, {true});
  std::string line = events.log.next("discover");
  std::string rest = line.substr(line.find(" local="));
  EXPECT_EQ(line.substr(9, 36), d->identifier());
  EXPECT_EQ(
      rest,
      " local=HR Belt name=Belt mfr=4C0001 services=180D,6E400001-B5A3-F393-E0A9-E50E24DCCA9E,"
      " data=180D:07, connectable=0");
  // With duplicates every advertisement is reported, each with a strength in the range.
  for (int i = 0; i < 20; ++i) {
    line = events.log.next("discover");
    int rssi = std::stoi(line.substr(line.find("rssi=") + 5));
    EXPECT_GE(rssi, -70);
    EXPECT_LE(rssi, -40);
  }
  // A device that is not connectable never answers a connection.
  auto p = events.peripheral(d->identifier());
  central->connect(p);
  central->cancelPeripheralConnection(p);
  EXPECT_EQ(events.log.next("disconnected"), "disconnected " + p->identifier() + " ok");
  EXPECT_EQ(events.log.count("connected"), 0u);
}

TEST_F(EmulatedDeviceTest, RequestsAnsweredWithErrorsLaterOrNotAtAll) {
  auto d = add(faultyDevice());
  auto p = connect(d);
  auto silent = events.characteristic("6E400001-B5A3-F393-E0A9-E50E24DCCA9E/2A00");
  auto locked = events.characteristic("6E400001-B5A3-F393-E0A9-E50E24DCCA9E/2A01");
  auto fine = events.characteristic("6E400001-B5A3-F393-E0A9-E50E24DCCA9E/2A02");
  ASSERT_TRUE(silent && locked && fine);

  p->readValue(silent);  // never answered; the next request still is
  p->readValue(locked);
  EXPECT_EQ(events.log.next("value"),
            "value 2A01 CBATTErrorDomain/5 Authentication is insufficient. none");
  p->writeValue({1}, locked, CBCharacteristicWriteType::withResponse);
  EXPECT_EQ(events.log.next("written"),
            "written 2A01 CBATTErrorDomain/3 Writing is not permitted.");
  // A write the device refuses is still seen arriving.
  EXPECT_EQ(observer.log.next("write"), "write 6E400001-B5A3-F393-E0A9-E50E24DCCA9E 2A01 01");
  p->setNotifyValue(true, locked);
  EXPECT_EQ(events.log.next("notifying"),
            "notifying 2A01 CBATTErrorDomain/200 Unknown ATT error. off");
  p->readValue(fine);
  EXPECT_EQ(events.log.next("value"), "value 2A02 ok AB");
  EXPECT_EQ(events.log.count("value 2A00"), 0u);
  EXPECT_EQ(observer.log.next("read"), "read 6E400001-B5A3-F393-E0A9-E50E24DCCA9E 2A00");

  // A write without response to a characteristic that only takes writes with response is lost.
  p->writeValue({9}, silent, CBCharacteristicWriteType::withResponse);
  EXPECT_EQ(events.log.next("written"),
            "written 2A00 CBATTErrorDomain/3 Writing is not permitted.");
  p->writeValue({7, 7}, fine, CBCharacteristicWriteType::withoutResponse);
  EXPECT_EQ(observer.log.next("write"), "write 6E400001-B5A3-F393-E0A9-E50E24DCCA9E 2A02 0707");
  // The write is reported on arrival and stored just after.
  EXPECT_TRUE(eventually([&] {
    return d->value(kVendor, CBUUID::from16(0x2A02)) == std::vector<uint8_t>{7, 7};
  }));

  auto writeOnly = events.characteristic("6E400001-B5A3-F393-E0A9-E50E24DCCA9E/2A03");
  p->readValue(writeOnly);
  EXPECT_EQ(events.log.next("value"),
            "value 2A03 CBATTErrorDomain/2 Reading is not permitted. none");

  // Delayed answers come after the later ones that are not delayed.
  auto slow = events.characteristic("6E400001-B5A3-F393-E0A9-E50E24DCCA9E/2A04");
  p->writeValue({5}, slow, CBCharacteristicWriteType::withResponse);
  p->readValue(slow);
  p->readValue(fine);
  EXPECT_EQ(events.log.next("value"), "value 2A02 ok 0707");
  EXPECT_EQ(events.log.next("written"), "written 2A04 ok");
  // The delayed read answers with the value as it is when the answer goes.
  EXPECT_EQ(events.log.next("value"), "value 2A04 ok 05");
}

TEST_F(EmulatedDeviceTest, SmallLinkAndPeriodicNotifications) {
  auto d = add(faultyDevice(R"(, "notify": {"everyMs": 1, "values": ["01", "02", "03"]})",
                            R"(, "mtu": 23)"));
  auto p = connect(d);
  EXPECT_EQ(p->maximumWriteValueLength(CBCharacteristicWriteType::withoutResponse), 20u);
  auto fine = events.characteristic("6E400001-B5A3-F393-E0A9-E50E24DCCA9E/2A02");
  p->setNotifyValue(true, fine);
  EXPECT_EQ(events.log.next("notifying"), "notifying 2A02 ok on");
  EXPECT_EQ(observer.log.next("subscribed"), "subscribed 2A02");
  // The periodic values come round in order.
  std::string first = events.log.next("value 2A02");
  std::string second = events.log.next("value 2A02");
  ASSERT_NE(second, "");
  int a = std::stoi(first.substr(first.size() - 2), nullptr, 16);
  int b = std::stoi(second.substr(second.size() - 2), nullptr, 16);
  EXPECT_EQ(b, a % 3 + 1);
  EXPECT_FALSE(d->notify(kService, CBUUID::from16(0x2A02), {1}));
}

TEST_F(EmulatedDeviceTest, TimelinePlaysTheSameSequenceOnEverySubscription) {
  auto d = add(faultyDevice(R"(, "timeline": [{"atMs": 0, "value": "01"},
      {"atMs": 10, "value": "02"}, {"atMs": 20, "onRead": 5, "characteristic": "2A04"},
      {"atMs": 30, "advertise": "off"}, {"atMs": 30, "value": "03"}, {"atMs": 40, "drop": true},
      {"atMs": 50, "value": "04"}])"));
  auto p = connect(d);
  std::vector<std::vector<std::string>> runs;
  for (int run = 0; run < 2; ++run) {
    auto fine = events.characteristic("6E400001-B5A3-F393-E0A9-E50E24DCCA9E/2A02");
    ASSERT_TRUE(fine);
    p->setNotifyValue(true, fine);
    ASSERT_EQ(events.log.next("notifying"), "notifying 2A02 ok on");
    std::vector<std::string> seen;
    for (int i = 0; i < 3; ++i) seen.push_back(events.log.next("value 2A02"));
    seen.push_back(events.log.next("disconnected"));
    runs.push_back(seen);
    // Advertising went off before the drop: a central that connects waits for it to come back.
    EXPECT_FALSE(d->isAdvertising());
    central->connect(p);
    d->setAdvertising(true);
    ASSERT_EQ(events.log.next("connected"), "connected " + p->identifier());
    ASSERT_TRUE(events.discoverAll(*p));
    // The slow characteristic now answers reads with the error the timeline set.
    p->readValue(events.characteristic("6E400001-B5A3-F393-E0A9-E50E24DCCA9E/2A04"));
    EXPECT_EQ(events.log.next("value 2A04"),
              "value 2A04 CBATTErrorDomain/5 Authentication is insufficient. none");
  }
  EXPECT_EQ(runs[0], (std::vector<std::string>{
                         "value 2A02 ok 01", "value 2A02 ok 02", "value 2A02 ok 03",
                         "disconnected " + p->identifier() +
                             " CBErrorDomain/7 The specified device has disconnected from us."}));
  EXPECT_EQ(runs[1], runs[0]);
  // Nothing of the first run played after its drop.
  EXPECT_EQ(events.log.count("value 2A02"), 6u);
}

TEST_F(EmulatedDeviceTest, LoopedTimelineStartsAgainInOrder) {
  auto d = add(faultyDevice(R"(, "timeline": {"loop": true, "periodMs": 4,
      "events": [{"atMs": 0, "value": "0A"}, {"atMs": 2, "value": "0B"}]})"));
  auto p = connect(d);
  auto fine = events.characteristic("6E400001-B5A3-F393-E0A9-E50E24DCCA9E/2A02");
  p->setNotifyValue(true, fine);
  ASSERT_EQ(events.log.next("notifying"), "notifying 2A02 ok on");
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(events.log.next("value 2A02"), i % 2 ? "value 2A02 ok 0B" : "value 2A02 ok 0A");
  }
}

}  // namespace
}  // namespace sim
