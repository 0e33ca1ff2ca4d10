#include "central/central_delegate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "fake_central.h"
#include "platform/date_text.h"
#include "plugin/errors.h"
#include "plugin/plugin.h"
#include "queued_scripts.h"
#include "server/script_scheduler.h"

namespace {

const std::string kBelt = "A0000000-0000-0000-0000-000000000001";
const std::string kStrap = "A0000000-0000-0000-0000-000000000002";
const std::string kTag = "A0000000-0000-0000-0000-000000000003";

CBAdvertisementData named(const std::string& name) {
  CBAdvertisementData ad;
  ad.localName = name;
  ad.isConnectable = 1;
  return ad;
}

class CentralDelegateTest : public ScriptQueueTest {
 protected:
  // Reports a state and waits until the role has handled it.
  void setState(CBManagerState state) {
    manager->setState(state);
    central.queue().sync([] {});
  }
  void startScanning(const std::string& options = "") {
    setState(CBManagerState::poweredOn);
    central.startScan(options);
    ASSERT_EQ(lastError(), Errors::kNoError) << lastErrorText();
  }
  std::shared_ptr<FakePeripheral> peripheral(const std::string& id,
                                             std::optional<std::string> name = std::nullopt) {
    return std::make_shared<FakePeripheral>(id, std::move(name));
  }
  void advertise(const std::shared_ptr<FakePeripheral>& p, const CBAdvertisementData& ad,
                 int rssi = -50) {
    central.queue().sync(
        [&] { central.centralManagerDidDiscoverPeripheral(*manager, p, ad, rssi); });
  }
  template <class Fn>
  void onQueue(Fn fn) {
    central.queue().sync(fn);
  }

  std::shared_ptr<FakeCentralManager> manager;
  CentralDelegate central{FakeCentralManager::factory(manager)};
};

TEST_F(CentralDelegateTest, StatusAndScanStartFollowTheManagerState) {
  EXPECT_EQ(central.getBluetoothStatusString(), "unknown");
  EXPECT_FALSE(central.isPowered());
  central.startScan("");
  EXPECT_EQ(lastErrorText(), "-10 Unknown Bluetooth error");

  setState(CBManagerState::poweredOff);
  EXPECT_EQ(central.getBluetoothStatusString(), "powered Off");
  central.startScan("stopafter=5");
  EXPECT_EQ(lastErrorText(), "-10 Bluetooth is powered off or not ready");
  EXPECT_FALSE(central.isScanning());
  EXPECT_TRUE(central.getDiscoveries().empty());
  EXPECT_EQ(lastErrorText(), "-14 No scan data");

  setState(CBManagerState::unauthorized);
  EXPECT_EQ(central.getBluetoothStatusString(), "unauthorized");
  setState(CBManagerState::poweredOn);
  EXPECT_EQ(central.getBluetoothStatusString(), "powered On");
  EXPECT_TRUE(central.isPowered());
  EXPECT_TRUE(manager->calls.all("scan").empty());

  CentralDelegate without([](CBCentralManagerDelegate&, DispatchQueue&) { return nullptr; });
  EXPECT_EQ(without.getBluetoothStatusString(), "uninitialized");
  without.startScan("");
  EXPECT_EQ(lastErrorText(), "-10 Central manager is not initialized");
}

TEST_F(CentralDelegateTest, ScanStartsOnceStopsAnywayAndResumesAfterPowerCycle) {
  startScanning("filterbyservice=180d\rmakeupdates=false");
  EXPECT_EQ(manager->calls.all("scan"), std::vector<std::string>{"scan 180D"});

  central.startScan("makeupdates=true");
  EXPECT_EQ(lastErrorText(), "-41 Already scanning");
  EXPECT_EQ(manager->calls.all("scan").size(), 1U);

  // Back from a power cycle: the scan runs again for every peripheral, with its own duplicates.
  setState(CBManagerState::poweredOff);
  EXPECT_EQ(manager->calls.all("scan").size(), 1U);
  setState(CBManagerState::poweredOn);
  EXPECT_EQ(manager->calls.all("scan"), (std::vector<std::string>{"scan 180D", "scan any"}));
  EXPECT_TRUE(central.isScanning());

  resetError();
  central.stopScan();
  EXPECT_EQ(lastError(), Errors::kNoError);
  EXPECT_FALSE(central.isScanning());
  central.stopScan();
  EXPECT_EQ(lastError(), Errors::kNotScanning);
  EXPECT_EQ(manager->calls.all("stop").size(), 2U);

  setState(CBManagerState::poweredOff);
  setState(CBManagerState::poweredOn);
  EXPECT_EQ(manager->calls.all("scan").size(), 2U);

  central.startScan("minrssi=loud");
  EXPECT_EQ(lastErrorText(), "-50 Invalid minrssi value");
  EXPECT_FALSE(central.isScanning());
  EXPECT_EQ(manager->calls.all("scan").size(), 2U);

  // The stop timer of an earlier scan ends a later one.
  central.startScan("stopafter=1");
  central.stopScan();
  central.startScan("");
  ASSERT_TRUE(central.isScanning());
  EXPECT_TRUE(eventually([&] { return !central.isScanning(); }));
}

TEST_F(CentralDelegateTest, DiscoveryKeepsFirstFieldsAndFollowsTheLatestStrength) {
  startScanning("minrssi=-60");
  auto belt = peripheral(kBelt, "GAP name");
  CBAdvertisementData ad = named("Pulse H1");
  ad.manufacturerData = CBData{0x4C, 0x00, 0x01};
  ad.serviceUUIDs = std::vector<CBUUID>{CBUUID::from16(0x180D)};
  ad.serviceData = std::map<CBUUID, CBData>{{CBUUID::from16(0x180D), CBData{0x01, 0xAB}}};
  advertise(belt, ad, -61);
  EXPECT_TRUE(central.getDiscoveries().empty());
  advertise(belt, ad, -60);
  auto first = central.getDiscoveries().at(kBelt);

  advertise(belt, named("Renamed"), -42);
  auto devices = central.getDiscoveries();
  ASSERT_EQ(devices.size(), 1U);
  const Discovery& d = devices.at(kBelt);
  EXPECT_EQ(d.RSSI, -42.0F);
  EXPECT_GE(d.timestamp, first.timestamp);
  EXPECT_EQ(d.name, "Pulse H1");

  nlohmann::json json = DiscoveryJSON(d);
  nlohmann::json expected = {{"UUID", kBelt},
                             {"name", "Pulse H1"},
                             {"RSSI", -42},
                             {"timestamp", DateText::shortDateMediumTime(d.timestamp)},
                             {"vendorID", 76},
                             {"connectable", true},
                             {"serviceUUIDs", {"180D"}},
                             {"serviceData", {{"180D", "01ab"}}}};
  EXPECT_EQ(json, expected);
}

TEST_F(CentralDelegateTest, DiscoveryOmitsWhatTheAdvertisementLacks) {
  startScanning();
  CBAdvertisementData sparse;
  sparse.manufacturerData = CBData{0x4C};
  sparse.serviceUUIDs = std::vector<CBUUID>{};
  advertise(peripheral(kStrap, "Own name"), sparse, -70);
  CBAdvertisementData selfNamed;
  selfNamed.localName = kTag;
  selfNamed.isConnectable = 0;
  advertise(peripheral(kTag), selfNamed, -70);

  auto devices = central.getDiscoveries();
  nlohmann::json strap = DiscoveryJSON(devices.at(kStrap));
  EXPECT_EQ(strap.size(), 5U) << strap.dump();
  EXPECT_EQ(strap["name"], "Own name");
  EXPECT_EQ(strap["connectable"], false);
  EXPECT_FALSE(strap.contains("vendorID") || strap.contains("serviceUUIDs") ||
               strap.contains("serviceData"));
  nlohmann::json tag = DiscoveryJSON(devices.at(kTag));
  EXPECT_FALSE(tag.contains("name"));
  EXPECT_FALSE(central.getUUID(kTag));
  EXPECT_EQ(lastError(), Errors::kUnknownDevice);
}

TEST_F(CentralDelegateTest, NewDevicesMustPassEveryFilter) {
  startScanning("filterbyname=Pul\rfilterbyvendorid=76\rfilterbyconnectability=connectable");
  auto withVendor = [](const std::string& name, CBData maker, int connectable) {
    CBAdvertisementData ad = named(name);
    ad.manufacturerData = std::move(maker);
    ad.isConnectable = connectable;
    return ad;
  };
  advertise(peripheral("B0000000-0000-0000-0000-000000000001"),
            withVendor("Pulse H1", {0x4C, 0}, 1));
  advertise(peripheral("B0000000-0000-0000-0000-000000000002"), withVendor("pulse", {0x4C, 0}, 1));
  advertise(peripheral("B0000000-0000-0000-0000-000000000003"), withVendor("Pulse", {0x4C}, 1));
  advertise(peripheral("B0000000-0000-0000-0000-000000000004"), withVendor("Pulse", {0x06, 0}, 1));
  advertise(peripheral("B0000000-0000-0000-0000-000000000005"), withVendor("Pulse", {0x4C, 0}, 0));
  CBAdvertisementData nameless;
  nameless.manufacturerData = CBData{0x4C, 0};
  nameless.isConnectable = 1;
  advertise(peripheral("B0000000-0000-0000-0000-000000000006"), nameless);

  auto devices = central.getDiscoveries();
  ASSERT_EQ(devices.size(), 1U);
  EXPECT_TRUE(devices.contains("B0000000-0000-0000-0000-000000000001"));
}

TEST_F(CentralDelegateTest, NamesResolveUntilSharedAndOutliveTheScan) {
  startScanning();
  advertise(peripheral(kBelt), named("Sensor"));
  advertise(peripheral(kBelt), named("Sensor"));  // the same device again is no duplicate
  EXPECT_EQ(central.getUUID("Sensor"), kBelt);
  advertise(peripheral(kStrap), named("Sensor"));
  advertise(peripheral(kTag), named("Solo"));
  EXPECT_EQ(central.getUUID("Sensor"), "--DUPLICATE--");
  EXPECT_TRUE(central.isDiscovered("Solo"));
  EXPECT_TRUE(central.isDiscovered(kStrap));
  EXPECT_FALSE(central.isDiscovered("Sensor"));
  EXPECT_EQ(central.getDeviceName(kTag), "Solo");

  EXPECT_FALSE(central.getUUID("sensor"));
  EXPECT_EQ(lastError(), Errors::kUnknownDevice);
  EXPECT_FALSE(central.getDeviceName("Solo"));  // a name is not an identifier here
  EXPECT_EQ(lastError(), Errors::kUnknownDevice);

  advertise(peripheral("C0000000-0000-0000-0000-000000000001"), CBAdvertisementData{});
  Plugin::shared().setLastError(7, "sentinel");
  EXPECT_FALSE(central.getDeviceName("C0000000-0000-0000-0000-000000000001"));
  EXPECT_EQ(lastErrorText(), "7 sentinel");

  central.stopScan();
  central.startScan("");
  EXPECT_FALSE(central.isDiscovered("Solo"));
  EXPECT_EQ(central.getUUID("Solo"), kTag);
  central.connect("Solo", "", 5.0);
  EXPECT_EQ(lastErrorText(), "-11 Unknown device");
  // Its own name seen again in the new scan still stands for it alone.
  advertise(peripheral(kTag), named("Solo"));
  EXPECT_EQ(central.getUUID("Solo"), kTag);
}

TEST_F(CentralDelegateTest, DiscoveryScriptRunsAgainForADeviceThatWasObsolete) {
  startScanning("ondiscovery=OnFound\robsoleteafter=0");
  advertise(peripheral(kBelt), named("Belt"));
  EXPECT_EQ(takeScripts(), std::vector<std::string>{"OnFound(" + kBelt + ")@Lab"});
  EXPECT_TRUE(central.getDiscoveries().empty());  // hidden, not dropped
  EXPECT_TRUE(central.isDiscovered(kBelt));
  advertise(peripheral(kBelt), named("Belt"));
  EXPECT_EQ(takeScripts(), std::vector<std::string>{"OnFound(" + kBelt + ")@Lab"});

  central.stopScan();
  central.startScan("ondiscovery=OnFound");
  advertise(peripheral(kBelt), named("Belt"));
  advertise(peripheral(kBelt), named("Belt"));
  EXPECT_EQ(takeScripts(), std::vector<std::string>{"OnFound(" + kBelt + ")@Lab"});
  EXPECT_EQ(central.getDiscoveries().size(), 1U);
}

class ConnectionTest : public CentralDelegateTest {
 protected:
  void SetUp() override {
    CentralDelegateTest::SetUp();
    startScanning();
    advertise(belt, named("Belt"));
    advertise(strap, named("Strap"));
  }
  std::shared_ptr<FakePeripheral> belt = peripheral(kBelt);
  std::shared_ptr<FakePeripheral> strap = peripheral(kStrap);
};

TEST_F(ConnectionTest, ConnectDiscoversEverythingAndRunsTheScriptsInOrder) {
  central.connect("Belt",
                  "onConnect=C\rondisconnect=D\rondiscoverservices=S\r"
                  "ondiscovercharacteristics=X",
                  5.0);
  ASSERT_EQ(lastError(), Errors::kNoError) << lastErrorText();
  EXPECT_TRUE(central.isConnected("Belt"));
  EXPECT_TRUE(central.isConnected(kBelt));
  EXPECT_EQ(central.getConnectedDevices().count(kBelt), 1U);
  EXPECT_EQ(belt->serviceDiscoveries, 1);
  EXPECT_EQ(belt->delegate(), &central);
  onQueue([&] { EXPECT_EQ(central.findConnectedPeripheral("Belt"), belt); });

  auto heart = std::make_shared<FakeService>(CBUUID::from16(0x180D), belt);
  heart->setCharacteristics({std::make_shared<FakeCharacteristic>(CBUUID::from16(0x2A37), heart),
                             std::make_shared<FakeCharacteristic>(CBUUID::from16(0x2A38), heart)});
  auto battery = std::make_shared<FakeService>(CBUUID::from16(0x180F), belt);
  belt->setServices(std::vector<std::shared_ptr<CBService>>{heart, battery});
  onQueue([&] {
    central.peripheralDidDiscoverServices(belt, std::nullopt);
    central.peripheralDidDiscoverCharacteristicsForService(belt, heart, std::nullopt);
    central.peripheralDidDiscoverCharacteristicsForService(belt, battery, std::nullopt);
  });
  EXPECT_EQ(belt->characteristicDiscoveries, 2);
  EXPECT_EQ(takeScripts(), (std::vector<std::string>{"C(" + kBelt + ")@Lab", "S(" + kBelt + ")@Lab",
                                                     "X(" + kBelt + "\r180D)@Lab"}));
  onQueue([&] {
    EXPECT_TRUE(central.findCharacteristic("Belt", "180D", "2A38"));
    auto key = CharKey::fromCharacteristic(*central.findCharacteristic(kBelt, "180D", "2A37"));
    EXPECT_EQ(key, (CharKey{kBelt, "180D", "2A37"}));
    resetError();
    EXPECT_FALSE(central.findCharacteristic(kBelt, "180d", "2A37"));
    EXPECT_EQ(lastErrorText(), "-13 Unknown characteristic");
  });
}

TEST_F(ConnectionTest, ReadEndsWithTheAnswerOfItsCharacteristicObject) {
  central.connect(kBelt, "", 5.0);
  auto heart = std::make_shared<FakeService>(CBUUID::from16(0x180D), belt);
  auto rate = std::make_shared<FakeCharacteristic>(CBUUID::from16(0x2A37), heart);
  heart->setCharacteristics({rate});
  belt->setServices(std::vector<std::shared_ptr<CBService>>{heart});
  onQueue(
      [&] { central.peripheralDidDiscoverCharacteristicsForService(belt, heart, std::nullopt); });
  // Answered until the read, once issued, takes the answer.
  auto readAnswered = [&](const std::optional<CBError>& error) {
    auto read = std::async(std::launch::async,
                           [&] { return central.read(kBelt, "180D", "2A37", "hex", 10.0); });
    while (read.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
      onQueue([&] { central.peripheralDidUpdateValueForCharacteristic(belt, rate, error); });
    }
    return read.get();
  };
  EXPECT_EQ(readAnswered(std::nullopt), "?");
  EXPECT_EQ(lastErrorText(), "-14 No data");

  // A characteristic whose service is gone names no key, yet its answer still ends its read.
  belt->setServices(std::nullopt);
  heart.reset();
  ASSERT_FALSE(rate->service());
  EXPECT_EQ(readAnswered(CBError::att(1)), "?");
  EXPECT_EQ(lastErrorText(), "-16 The handle is invalid.");
}

TEST_F(ConnectionTest, BadRequestsIssueNothingAndARequestedDisconnectRunsNoScript) {
  central.connect(kBelt, "onConnect=A\r", 5.0);
  EXPECT_EQ(lastErrorText(), "-50 Invalid format for connection option");
  central.connect("F0000000-0000-0000-0000-000000000000", "", 5.0);
  EXPECT_EQ(lastError(), Errors::kUnknownDevice);
  central.connect("belt", "", 5.0);
  EXPECT_EQ(lastError(), Errors::kUnknownDevice);
  EXPECT_TRUE(manager->calls.all("connect").empty());
  EXPECT_TRUE(central.getConnectedDevices().empty());

  central.connect(kBelt, "ondisconnect=D", 5.0);
  ASSERT_TRUE(central.isConnected(kBelt));
  resetError();
  central.disconnect("Belt");
  EXPECT_EQ(lastError(), Errors::kNoError);
  EXPECT_EQ(manager->cancels(), std::vector<std::shared_ptr<CBPeripheral>>{belt});
  EXPECT_FALSE(central.isConnected(kBelt));
  onQueue([&] { central.centralManagerDidDisconnectPeripheral(*manager, belt, std::nullopt); });
  EXPECT_TRUE(takeScripts().empty());
  central.disconnect(kBelt);
  EXPECT_EQ(lastErrorText(), "-30 Device is not connected");
}

TEST_F(ConnectionTest, LateAnswersCancelATimedOutConnectionAndEndNoLaterWait) {
  manager->setAnswer(FakeCentralManager::Answer::ignore);
  central.connect("Strap", "onConnectionFailed=F\ronConnect=C", 0.05);
  EXPECT_EQ(lastErrorText(), "-100 Operation timeout");
  EXPECT_EQ(takeScripts(), std::vector<std::string>{"F(" + kStrap + ")@Lab"});

  onQueue([&] { central.centralManagerDidConnectPeripheral(*manager, strap); });
  EXPECT_EQ(manager->cancels(), std::vector<std::shared_ptr<CBPeripheral>>{strap});
  EXPECT_FALSE(central.isConnected(kStrap));
  EXPECT_TRUE(takeScripts().empty());

  // The options' timeout replaces the request's.
  resetError();
  central.connect(kStrap, "timeout=0.05", 1000.0);
  EXPECT_EQ(lastError(), Errors::kTimeoutError);

  // The answer to an attempt no one waits for never ends a later wait.
  resetError();
  central.connect(kBelt, "timeout=0\ronConnect=C", 10.0);
  EXPECT_EQ(lastError(), Errors::kNoError);
  onQueue([&] { central.centralManagerDidConnectPeripheral(*manager, belt); });
  EXPECT_TRUE(central.isConnected(kBelt));
  EXPECT_EQ(takeScripts(), std::vector<std::string>{"C(" + kBelt + ")@Lab"});

  central.connect(kStrap, "", 0.2);
  EXPECT_EQ(lastError(), Errors::kTimeoutError);
  EXPECT_FALSE(central.isConnected(kStrap));
}

}  // namespace
