// Emulated devices seen by a central manager: every advertisement field and every fault a
// device can be told to make.
#include "bluetooth/sim/emulated_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "bluetooth/sim/sim_central_manager.h"
#include "bluetooth/sim/test_recorder.h"
#include "eventually.h"

namespace sim {
namespace {

using testing::CentralRecorder;
using testing::EventLog;
using testing::hex;

const CBUUID kService = *CBUUID::fromString("180D");
const CBUUID kVendor = *CBUUID::fromString("6E400001-B5A3-F393-E0A9-E50E24DCCA9E");

class DeviceRecorder : public EmulatedDeviceObserver {
 public:
  EventLog log;
  void deviceConnected(const std::string&, const std::string& central) override {
    log.add("connected " + central);
  }
  void deviceDisconnected(const std::string&, const std::string& central) override {
    log.add("disconnected " + central);
  }
  void deviceRead(const std::string&, const CBUUID& s, const CBUUID& c) override {
    log.add("read " + s.UUIDString() + " " + c.UUIDString());
  }
  void deviceWritten(const std::string&, const CBUUID& s, const CBUUID& c,
                     const std::vector<uint8_t>& v) override {
    log.add("write " + s.UUIDString() + " " + c.UUIDString() + " " + hex(v));
  }
  void deviceSubscribed(const std::string&, const CBUUID&, const CBUUID& c, bool on) override {
    log.add(std::string(on ? "subscribed " : "unsubscribed ") + c.UUIDString());
  }
};

EmulatedCharacteristic characteristic(uint16_t uuid, uint32_t properties,
                                      std::optional<std::vector<uint8_t>> value = std::nullopt) {
  EmulatedCharacteristic c;
  c.uuid = CBUUID::from16(uuid);
  c.properties = properties;
  c.value = std::move(value);
  return c;
}

EmulatedDeviceConfig faultyDevice() {
  EmulatedDeviceConfig config;
  config.name = "Faulty";
  config.advertising.emplace();
  config.advertising->localName = "Faulty";
  EmulatedService service;
  service.uuid = kVendor;
  auto silent = characteristic(0x2A00, CBCharacteristicPropertyRead, std::vector<uint8_t>{1});
  silent.onRead = Answer::ignore();
  auto locked = characteristic(
      0x2A01,
      CBCharacteristicPropertyRead | CBCharacteristicPropertyWrite | CBCharacteristicPropertyNotify,
      std::vector<uint8_t>{2});
  locked.onRead = Answer::error(5);
  locked.onWrite = Answer::error(3);
  locked.onSubscribe = Answer::error(200);
  auto fine = characteristic(0x2A02,
                             CBCharacteristicPropertyRead | CBCharacteristicPropertyNotify |
                                 CBCharacteristicPropertyWriteWithoutResponse,
                             std::vector<uint8_t>{0xAB});
  auto writeOnly = characteristic(0x2A03, CBCharacteristicPropertyWriteWithoutResponse);
  auto slow = characteristic(0x2A04, CBCharacteristicPropertyRead | CBCharacteristicPropertyWrite,
                             std::vector<uint8_t>{4});
  slow.onRead = Answer::delay(std::chrono::milliseconds(50));
  slow.onWrite = Answer::delay(std::chrono::milliseconds(50));
  service.characteristics = {silent, locked, fine, writeOnly, slow};
  config.services = {service};
  return config;
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
  EmulatedDeviceConfig config;
  config.name = "Belt";
  config.rssiMin = -70;
  config.rssiMax = -40;
  config.advertising.emplace();
  config.advertising->localName = "HR Belt";
  config.advertising->interval = std::chrono::milliseconds(5);
  config.advertising->connectable = false;
  config.advertising->manufacturerData = std::vector<uint8_t>{0x4C, 0x00, 0x01};
  config.advertising->serviceUUIDs = std::vector<CBUUID>{kService, kVendor};
  config.advertising->serviceData = std::map<CBUUID, std::vector<uint8_t>>{{kService, {0x07}}};
  auto d = add(config);
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
  auto config = faultyDevice();
  config.mtu = 23;
  auto& c = config.services[0].characteristics[2];
  c.notify = PeriodicNotify{std::chrono::milliseconds(1), {{1}, {2}, {3}}};
  auto d = add(config);
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

TEST_F(EmulatedDeviceTest, DroppedLinkAndAdvertisingOffAndOn) {
  auto d = add(faultyDevice());
  auto p = connect(d);
  std::string centralId = observer.log.next("connected").substr(10);
  d->dropLinks();
  EXPECT_EQ(events.log.next("disconnected"),
            "disconnected " + p->identifier() +
                " CBErrorDomain/7 The specified device has disconnected from us.");
  EXPECT_EQ(observer.log.next("disconnected"), "disconnected " + centralId);

  d->setAdvertising(false);
  EXPECT_FALSE(d->isAdvertising());
  // Off the air the device cannot be connected.
  central->connect(p);
  d->setAdvertising(true);
  EXPECT_EQ(events.log.next("connected"), "connected " + p->identifier());
  d.reset();
  devices.clear();
  EXPECT_EQ(events.log.next("disconnected"),
            "disconnected " + p->identifier() +
                " CBErrorDomain/7 The specified device has disconnected from us.");
}

TimelineEvent at(int ms, TimelineEvent::Kind kind, std::vector<uint8_t> value = {}) {
  TimelineEvent e;
  e.at = std::chrono::milliseconds(ms);
  e.kind = kind;
  e.value = std::move(value);
  return e;
}

TEST_F(EmulatedDeviceTest, TimelinePlaysTheSameSequenceOnEverySubscription) {
  using Kind = TimelineEvent::Kind;
  auto config = faultyDevice();
  auto lockSlow = at(20, Kind::onRead);
  lockSlow.onRead = Answer::error(5);
  lockSlow.target = std::pair<size_t, size_t>{0, 4};
  config.services[0].characteristics[2].timeline = Timeline{
      {at(0, Kind::value, {1}), at(10, Kind::value, {2}), lockSlow, at(30, Kind::advertiseOff),
       at(30, Kind::value, {3}), at(40, Kind::drop), at(50, Kind::value, {4})},
      false,
      {}};
  auto d = add(config);
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
  using Kind = TimelineEvent::Kind;
  auto config = faultyDevice();
  config.services[0].characteristics[2].timeline = Timeline{
      {at(0, Kind::value, {0x0A}), at(2, Kind::value, {0x0B})}, true, std::chrono::milliseconds(4)};
  auto d = add(config);
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
