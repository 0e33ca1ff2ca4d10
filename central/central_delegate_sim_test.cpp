// The central role on the simulated radio: a peripheral manager in the same in-process air
// advertises and is connected, so the role meets the real backend's objects and callbacks.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "bluetooth/sim/air.h"
#include "bluetooth/sim/sim_central_manager.h"
#include "bluetooth/sim/sim_peripheral_manager.h"
#include "central/central_delegate.h"
#include "plugin/errors.h"
#include "plugin/plugin.h"
#include "server/script_scheduler.h"

namespace {

class SilentPeripheral : public CBPeripheralManagerDelegate {
 public:
  void peripheralManagerDidUpdateState(CBPeripheralManager&) override {}
};

bool eventually(const std::function<bool()>& test) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (test()) return true;
    std::this_thread::yield();
  }
  return test();
}

class CentralOnSimulatedRadio : public ::testing::Test {
 protected:
  void SetUp() override {
    ScriptScheduler::resetForTesting({});
    ScriptScheduler::setMinExecutionInterval(0);
    Plugin::shared().setCurrentFileName("Lab");
    Plugin::shared().setLastError(Errors::kNoError);
    auto heart = std::make_shared<CBMutableService>(*CBUUID::fromString("180D"), true);
    heart->setCharacteristics({std::make_shared<CBMutableCharacteristic>(
        *CBUUID::fromString("2A37"), CBCharacteristicPropertyNotify, std::nullopt,
        CBAttributePermissionsReadable)});
    peripheral->addService(heart);
    peripheral->startAdvertising({"Lab Belt", {*CBUUID::fromString("180D")}});
    ASSERT_TRUE(eventually([&] { return central.isPowered(); }));
  }
  void TearDown() override { ScriptScheduler::resetForTesting({}); }

  std::shared_ptr<sim::Air> air = sim::makeInProcessAir();
  DispatchQueue peripheralQueue{"peripheral.queue"};
  SilentPeripheral peripheralEvents;
  std::shared_ptr<CBPeripheralManager> peripheral =
      sim::makePeripheralManager(air, peripheralEvents, peripheralQueue);
  CentralDelegate central{[this](CBCentralManagerDelegate& d, DispatchQueue& q) {
    return sim::makeCentralManager(air, d, q);
  }};
};

TEST_F(CentralOnSimulatedRadio, DiscoversConnectsAndRecordsTheCharacteristics) {
  central.startScan("filterbyname=Lab\rondiscovery=Found");
  ASSERT_EQ(Plugin::shared().getLastError(), Errors::kNoError);
  ASSERT_TRUE(eventually([&] { return central.isDiscovered("Lab Belt"); }));
  std::string id = *central.getUUID("Lab Belt");
  Discovery found = central.getDiscoveries().at(id);
  EXPECT_EQ(found.serviceUUIDs, std::vector<std::string>{"180D"});
  EXPECT_EQ(found.connectable, true);

  central.connect("Lab Belt", "ondiscovercharacteristics=Chars", 5.0);
  ASSERT_EQ(Plugin::shared().getLastError(), Errors::kNoError)
      << Plugin::shared().getLastErrorMessage();
  ASSERT_TRUE(eventually([&] {
    return central.queue().sync(
        [&] { return central.findCharacteristic(id, "180D", "2A37") != nullptr; });
  }));
  central.queue().sync([&] {
    auto characteristic = central.findCharacteristic("Lab Belt", "180D", "2A37");
    EXPECT_EQ(CharKey::fromCharacteristic(*characteristic), (CharKey{id, "180D", "2A37"}));
  });
  std::vector<std::string> scripts;
  while (auto s = ScriptScheduler::dequeueScriptIfTime()) {
    scripts.push_back(s->script_name() + "(" + s->script_parameters() + ")");
  }
  EXPECT_EQ(scripts, (std::vector<std::string>{"Found(" + id + ")", "Chars(" + id + "\r180D)"}));

  Plugin::shared().setLastError(Errors::kNoError);
  central.disconnect(id);
  EXPECT_EQ(Plugin::shared().getLastError(), Errors::kNoError);
  EXPECT_FALSE(central.isConnected("Lab Belt"));
}

TEST_F(CentralOnSimulatedRadio, PowerCycleRestartsTheScanForEveryPeripheral) {
  central.startScan("filterbyservice=ffff");
  ASSERT_TRUE(central.isScanning());
  air->setPower(false);
  ASSERT_TRUE(eventually([&] { return central.getBluetoothStatusString() == "powered Off"; }));
  EXPECT_TRUE(central.isScanning());
  air->setPower(true);
  ASSERT_TRUE(eventually([&] { return peripheral->state() == CBManagerState::poweredOn; }));
  peripheral->startAdvertising({"Lab Belt", {*CBUUID::fromString("180D")}});
  EXPECT_TRUE(eventually([&] { return central.isDiscovered("Lab Belt"); }));
}

}  // namespace
