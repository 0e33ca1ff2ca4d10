// The central manager against the peripheral manager on an in-process air: everything the two
// roles rely on, from discovery to notifications, power and link ends; and the radio that makes
// them when its air directory cannot be used.
#include <gtest/gtest.h>

#include <filesystem>

#include "bluetooth/sim/air.h"
#include "bluetooth/sim/sim_central_manager.h"
#include "bluetooth/sim/sim_peripheral_manager.h"
#include "bluetooth/sim/sim_radio.h"
#include "bluetooth/sim/test_recorder.h"

namespace sim {
namespace {

using testing::CentralRecorder;
using testing::hex;
using testing::PeripheralRecorder;

const CBUUID kService = *CBUUID::fromString("180D");
const CBUUID kMeasurement = *CBUUID::fromString("2A37");
const CBUUID kLocation = *CBUUID::fromString("2A38");
const CBUUID kVendor = *CBUUID::fromString("6E400001-B5A3-F393-E0A9-E50E24DCCA9E");

class ManagersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    central = makeCentralManager(air, centralEvents, centralQueue);
    peripheral = makePeripheralManager(air, peripheralEvents, peripheralQueue);
    ASSERT_EQ(centralEvents.log.next("state"), "state 5");
    ASSERT_EQ(peripheralEvents.log.next("state"), "state 5");
    measurement = std::make_shared<CBMutableCharacteristic>(
        kMeasurement, CBCharacteristicPropertyRead | CBCharacteristicPropertyNotify, std::nullopt,
        CBAttributePermissionsReadable);
    location = std::make_shared<CBMutableCharacteristic>(
        kLocation,
        CBCharacteristicPropertyRead | CBCharacteristicPropertyWrite |
            CBCharacteristicPropertyWriteWithoutResponse,
        std::nullopt, CBAttributePermissionsReadable | CBAttributePermissionsWriteable);
    auto service = std::make_shared<CBMutableService>(kService, true);
    service->setCharacteristics({measurement, location});
    peripheral->addService(service);
    peripheral->startAdvertising({"Velnor Plug-in", {kService}});
  }

  void TearDown() override {
    central.reset();
    peripheral.reset();
    // Let callbacks already under way finish before the recorders go.
    centralQueue.sync([] {});
    peripheralQueue.sync([] {});
    EXPECT_EQ(centralEvents.offQueue, 0);
    EXPECT_EQ(peripheralEvents.offQueue, 0);
    EXPECT_EQ(centralEvents.changedObjects, 0);
  }

  std::shared_ptr<CBPeripheral> connectAndDiscover() {
    auto p = centralEvents.connectAll(*central);
    EXPECT_TRUE(p);
    return p;
  }

  std::shared_ptr<Air> air = makeInProcessAir();
  DispatchQueue centralQueue{"central.queue"};
  DispatchQueue peripheralQueue{"peripheral.queue"};
  CentralRecorder centralEvents{centralQueue};
  PeripheralRecorder peripheralEvents{peripheralQueue};
  std::shared_ptr<CBCentralManager> central;
  std::shared_ptr<CBPeripheralManager> peripheral;
  std::shared_ptr<CBMutableCharacteristic> measurement;
  std::shared_ptr<CBMutableCharacteristic> location;
};

TEST_F(ManagersTest, ScanReportsAdvertisementOncePerScanAndHonoursTheServiceFilter) {
  central->scanForPeripherals(std::vector<CBUUID>{kVendor}, {});
  central->scanForPeripherals(std::vector<CBUUID>{kVendor, kService}, {});
  std::string line = centralEvents.log.next("discover");
  ASSERT_NE(line, "");
  EXPECT_NE(line.find(" rssi=-50 local=Velnor Plug-in services=180D, connectable=1"),
            std::string::npos)
      << line;
  EXPECT_TRUE(central->isScanning());
  // Without duplicates a later advertisement of the same device is not reported again; a new
  // scan starts afresh.
  peripheral->stopAdvertising();
  peripheral->startAdvertising({"Again", {kService}});
  central->scanForPeripherals(std::nullopt, {});
  EXPECT_NE(centralEvents.log.next("discover"), "");
  central->stopScan();
  EXPECT_FALSE(central->isScanning());
}

TEST_F(ManagersTest, LengthLimitsFollowTheLinkMTUAndAManagerGoneIsALinkLoss) {
  auto p = connectAndDiscover();
  auto loc = centralEvents.characteristic("180D/2A38");
  EXPECT_EQ(p->maximumWriteValueLength(CBCharacteristicWriteType::withResponse), 512u);
  EXPECT_EQ(p->maximumWriteValueLength(CBCharacteristicWriteType::withoutResponse), 182u);
  p->writeValue(CBData(513, 1), loc, CBCharacteristicWriteType::withResponse);
  EXPECT_EQ(centralEvents.log.next("written"),
            "written 2A38 CBATTErrorDomain/13 The value's length is invalid.");
  p->writeValue(CBData(512, 2), loc, CBCharacteristicWriteType::withResponse);
  EXPECT_EQ(centralEvents.log.next("written"), "written 2A38 ok");
  EXPECT_EQ(location->value()->size(), 512u);

  // A peripheral manager that goes away is a link loss.
  peripheral.reset();
  EXPECT_EQ(centralEvents.log.next("disconnected"),
            "disconnected " + p->identifier() +
                " CBErrorDomain/7 The specified device has disconnected from us.");
}

TEST_F(ManagersTest, CancelEndsTheLinkAndAReconnectionKeepsTheObjects) {
  auto p = connectAndDiscover();
  auto loc = centralEvents.characteristic("180D/2A38");
  p->setNotifyValue(true, centralEvents.characteristic("180D/2A37"));
  ASSERT_NE(peripheralEvents.log.next("subscribed"), "");
  central->cancelPeripheralConnection(p);
  EXPECT_EQ(centralEvents.log.next("disconnected"), "disconnected " + p->identifier() + " ok");
  EXPECT_NE(peripheralEvents.log.next("unsubscribed"), "");
  EXPECT_FALSE(p->services().has_value());
  // Requests without a link are answered at once with an error, never dropped.
  const std::string notConnected = "CBErrorDomain/3 The specified device is not connected.";
  p->writeValue(CBData{1}, loc, CBCharacteristicWriteType::withResponse);
  EXPECT_EQ(centralEvents.log.next("written"), "written 2A38 " + notConnected);
  p->discoverServices();
  EXPECT_EQ(centralEvents.log.next("services"), "services " + notConnected);
  // After a reconnection the objects of the earlier link reach the device, before and after
  // discovery, which finds the same objects again.
  central->connect(p);
  EXPECT_EQ(centralEvents.log.next("connected"), "connected " + p->identifier());
  p->writeValue(CBData{2}, loc, CBCharacteristicWriteType::withResponse);
  EXPECT_EQ(centralEvents.log.next("written"), "written 2A38 ok");
  p->discoverServices();
  EXPECT_EQ(centralEvents.log.next("services"), "services ok 180D");
  p->discoverCharacteristics(p->services()->at(0));
  EXPECT_EQ(centralEvents.log.next("characteristics"), "characteristics 180D ok 2A37/18 2A38/14");
  EXPECT_EQ(centralEvents.characteristic("180D/2A38"), loc);
}

TEST_F(ManagersTest, PowerOffReportsStateEndsLinksAndStopsScanAndAdvertising) {
  auto p = connectAndDiscover();
  air->setPower(false);
  EXPECT_EQ(centralEvents.log.next("state"), "state 4");
  EXPECT_EQ(peripheralEvents.log.next("state"), "state 4");
  EXPECT_EQ(centralEvents.log.next("disconnected"),
            "disconnected " + p->identifier() +
                " CBErrorDomain/6 The connection has timed out unexpectedly.");
  EXPECT_EQ(central->state(), CBManagerState::poweredOff);
  EXPECT_FALSE(central->isScanning());
  EXPECT_FALSE(peripheral->isAdvertising());
  // Scanning and advertising are refused while off.
  central->scanForPeripherals(std::nullopt, {});
  EXPECT_FALSE(central->isScanning());

  air->setPower(true);
  EXPECT_EQ(centralEvents.log.next("state"), "state 5");
  EXPECT_EQ(peripheralEvents.log.next("state"), "state 5");
  peripheral->startAdvertising({"Back", {}});
  central->scanForPeripherals(std::nullopt, {});
  std::string line = centralEvents.log.next("discover");
  EXPECT_NE(line.find("local=Back"), std::string::npos) << line;
  // The same device is the same object after the power cycle.
  EXPECT_EQ(centralEvents.peripheral(p->identifier()), p);
}

// Two socket airs in one directory stand for two processes: notifications to several centrals
// of the other one share datagrams and must still reach each central, in order. Updates come
// faster than the links' queues empty: a refused one is sent again once the manager is ready.
TEST(SocketAirManagersTest, NotificationsToCentralsOfAnotherProcessArriveInOrder) {
  char pattern[] = "/tmp/velnor-managers-XXXXXX";
  std::string dir = mkdtemp(pattern);
  {
    auto here = makeSocketAir(dir);
    auto there = makeSocketAir(dir);
    DispatchQueue peripheralQueue{"peripheral.queue"};
    PeripheralRecorder events{peripheralQueue};
    auto peripheral = makePeripheralManager(here, events, peripheralQueue, TransmitQueue{4});
    auto characteristic = std::make_shared<CBMutableCharacteristic>(
        kMeasurement, CBCharacteristicPropertyNotify, std::nullopt, CBAttributePermissionsReadable);
    auto service = std::make_shared<CBMutableService>(kService, true);
    service->setCharacteristics({characteristic});
    peripheral->addService(service);
    peripheral->startAdvertising({"Batch", {}});

    struct Central {
      DispatchQueue queue{"central"};
      CentralRecorder events{queue};
      std::shared_ptr<CBCentralManager> manager;
    };
    std::vector<std::unique_ptr<Central>> centrals;
    for (int i = 0; i < 3; ++i) {
      auto c = std::make_unique<Central>();
      c->manager = makeCentralManager(there, c->events, c->queue, {.helperNode = false});
      auto p = c->events.connectAll(*c->manager);
      ASSERT_TRUE(p);
      p->setNotifyValue(true, c->events.characteristic("180D/2A37"));
      ASSERT_EQ(c->events.log.next("notifying"), "notifying 2A37 ok on");
      centrals.push_back(std::move(c));
    }
    for (uint8_t i = 0; i < 50; ++i) {
      while (!peripheral->updateValue({i}, characteristic, std::nullopt)) {
        ASSERT_EQ(events.log.next("ready"), "ready");
      }
    }
    for (auto& c : centrals) {
      for (uint8_t i = 0; i < 50; ++i) {
        EXPECT_EQ(c->events.log.next("value"), "value 2A37 ok " + hex(CBData{i}));
      }
      c->queue.sync([&] { c->manager.reset(); });
    }
    EXPECT_EQ(events.offQueue, 0);
    peripheral.reset();
    peripheralQueue.sync([] {});
  }
  std::filesystem::remove_all(dir);
}

TEST(SimRadioTest, UnusableAirDirectoryFallsBackToAPrivateAir) {
  auto radio = makeSimulatedRadio("/proc/version/air");
  DispatchQueue queue("central.queue");
  CentralRecorder central(queue);
  ::testing::internal::CaptureStderr();
  auto c = radio->makeCentralManager(central, queue);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Bluetooth: cannot use the air directory /proc/version/air: not a directory; running "
            "on a private air\n");
  EXPECT_EQ(central.log.next("state"), "state 5");
  c.reset();
  queue.sync([] {});
}

}  // namespace
}  // namespace sim
