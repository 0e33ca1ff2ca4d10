// The central role's reads, writes and subscriptions against an emulated device on the
// in-process radio: the rules that depend on when answers arrive.
#include <gtest/gtest.h>

#include <future>

#include "bluetooth/backend.h"
#include "bluetooth/sim/air.h"
#include "bluetooth/sim/emulated_device.h"
#include "bluetooth/sim/sim_radio.h"
#include "bluetooth/sim/test_recorder.h"
#include "central/central_delegate.h"
#include "plugin/errors.h"
#include "plugin/plugin.h"
#include "queued_scripts.h"
#include "server/script_scheduler.h"
#include "tools/device_file.h"

namespace {

const std::string kDevice = "6A770000-0000-4000-8000-000000000001";

// Each characteristic's value is its last byte. FFF1 answers reads and writes after 300 ms,
// FFF2 never confirms a write, FFF3 never answers a read, FFF4 never answers a subscription.
sim::EmulatedDeviceConfig device() {
  return tool::parseDeviceFile(R"({"devices": [{"id": ")" + kDevice + R"(", "mtu": 517,
    "advertising": {"intervalMs": 5}, "services": [{"uuid": "FFF0", "characteristics": [
      {"uuid": "FFF1", "properties": "read|write", "value": "F1", "onRead": {"delayMs": 300},
       "onWrite": {"delayMs": 300}},
      {"uuid": "FFF2", "properties": "read|write", "value": "F2", "onWrite": "ignore"},
      {"uuid": "FFF3", "properties": "read|notify", "value": "F3", "onRead": "ignore"},
      {"uuid": "FFF4", "properties": "read|notify", "value": "F4", "onSubscribe": "ignore"}]}]}]})",
                               "gatt.json")
      .at(0);
}

class GattClientTest : public ScriptQueueTest {
 protected:
  void SetUp() override {
    ScriptQueueTest::SetUp();
    emulated = sim::EmulatedDevice::create(air, config, observer, deviceQueue);
    ASSERT_TRUE(eventually([&] { return central.isPowered(); }));
    central.startScan("");
    ASSERT_TRUE(eventually([&] { return central.isDiscovered(kDevice); }));
    central.connect(kDevice, "", 5.0);
    ASSERT_EQ(lastError(), Errors::kNoError);
    ASSERT_TRUE(eventually([&] {
      return central.queue().sync(
          [&] { return central.findCharacteristic(kDevice, "FFF0", "FFF4") != nullptr; });
    }));
    Plugin::shared().setLastError(Errors::kNoError);
  }
  void TearDown() override {
    emulated.reset();
    deviceQueue.sync([] {});
    ScriptQueueTest::TearDown();
  }

  // Starts a read on another thread and returns once the device has received it.
  std::future<std::string> readInBackground(const std::string& charID, double timeout) {
    auto result = std::async(std::launch::async, [this, charID, timeout] {
      return central.read(kDevice, "FFF0", charID, "hex", timeout);
    });
    EXPECT_EQ(observer.log.next("read FFF0 " + charID), "read FFF0 " + charID);
    return result;
  }

  std::shared_ptr<sim::Air> air = sim::makeInProcessAir();
  std::shared_ptr<CBBackend> radio = makeSimulatedRadio(air);
  sim::EmulatedDeviceConfig config = device();
  DispatchQueue deviceQueue{"devices"};
  sim::testing::DeviceRecorder observer;
  std::shared_ptr<sim::EmulatedDevice> emulated;
  CentralDelegate central{[this](CBCentralManagerDelegate& d, DispatchQueue& q) {
    return radio->makeCentralManager(d, q);
  }};
};

TEST_F(GattClientTest, ReadsWaitIndependentlyAndANotificationAnswersAWaitingOne) {
  auto slow = readInBackground("FFF1", 5.0);
  auto fast = readInBackground("FFF2", 5.0);
  EXPECT_EQ(fast.get(), "f2");
  EXPECT_EQ(slow.get(), "f1");

  // A notification answers a waiting read and runs the script once.
  central.subscribe(kDevice, "FFF0", "FFF3", "OnValue", "hex", 5.0);
  ASSERT_EQ(lastError(), Errors::kNoError);
  auto read = readInBackground("FFF3", 5.0);
  emulated->notify(CBUUID::from16(0xFFF0), CBUUID::from16(0xFFF3), {0x01, 0x02});
  EXPECT_EQ(read.get(), "0102");
  EXPECT_EQ(takeScripts(),
            std::vector<std::string>{"OnValue(" + kDevice + "\rFFF0\rFFF3\r0102)@Lab"});
}

TEST_F(GattClientTest, LateAnswersEndNoLaterWait) {
  // The read and the write of FFF1 are answered after 300 ms, long after their waits ended.
  EXPECT_EQ(central.read(kDevice, "FFF0", "FFF1", "hex", 0.05), "?");
  EXPECT_EQ(lastError(), Errors::kTimeoutError);
  central.write(kDevice, "FFF0", "FFF1", "07", "hex", 0.05);
  EXPECT_EQ(lastError(), Errors::kTimeoutError);
  // FFF3 never answers a read and FFF2 never confirms a write: the late answers of FFF1, which
  // arrive meanwhile, must not end these waits.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(central.read(kDevice, "FFF0", "FFF3", "hex", 0.6), "?");
  EXPECT_EQ(lastError(), Errors::kTimeoutError);
  central.write(kDevice, "FFF0", "FFF2", "07", "hex", 0.1);
  EXPECT_EQ(lastError(), Errors::kTimeoutError);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(700));
  EXPECT_EQ(observer.log.next("write FFF0 FFF1"), "write FFF0 FFF1 07");

  // The characteristic answers its own next requests as usual.
  Plugin::shared().setLastError(Errors::kNoError);
  EXPECT_EQ(central.read(kDevice, "FFF0", "FFF1", "hex", 5.0), "07");
  central.write(kDevice, "FFF0", "FFF1", "08", "hex", 5.0);
  EXPECT_EQ(lastError(), Errors::kNoError);
}

TEST_F(GattClientTest, UnansweredSubscriptionTimesOutAndKeepsItsScript) {
  // A negative timeout waits too, with a deadline already past.
  central.subscribe(kDevice, "FFF0", "FFF4", "Replaced", "uint8", -1.0);
  EXPECT_EQ(lastError(), Errors::kTimeoutError);
  Plugin::shared().setLastError(Errors::kNoError);
  central.subscribe(kDevice, "FFF0", "FFF4", "OnValue", "uint8", 0.05);
  EXPECT_EQ(lastError(), Errors::kTimeoutError);
  EXPECT_EQ(Plugin::shared().getLastErrorMessage(), "Operation timeout");
  // A read answer is a value update too: the script registered before the timeout runs with it.
  EXPECT_EQ(central.read(kDevice, "FFF0", "FFF4", "hex", 5.0), "f4");
  EXPECT_EQ(takeScripts(),
            std::vector<std::string>{"OnValue(" + kDevice + "\rFFF0\rFFF4\r244)@Lab"});
}

TEST_F(GattClientTest, AfterAReconnectionCommandsReachTheDeviceOrFailAtOnce) {
  auto objectOf = [&](const std::string& charID) {
    return central.queue().sync(
        [&] { return central.findCharacteristic(kDevice, "FFF0", charID); });
  };
  auto kept = objectOf("FFF2");
  // The device goes away and comes back without FFF4.
  emulated.reset();
  ASSERT_TRUE(eventually([&] { return !central.isConnected(kDevice); }));
  config.services[0].characteristics.pop_back();
  emulated = sim::EmulatedDevice::create(air, config, observer, deviceQueue);
  central.connect(kDevice, "onDiscoverCharacteristics=Known", 5.0);
  ASSERT_EQ(lastError(), Errors::kNoError);
  // Right after the connection, discovered or not yet, a read reaches the device.
  EXPECT_EQ(central.read(kDevice, "FFF0", "FFF2", "hex", 5.0), "f2");
  EXPECT_EQ(observer.log.next("read FFF0 FFF2"), "read FFF0 FFF2");
  std::vector<std::string> known;
  ASSERT_TRUE(eventually([&] { return !(known = takeScripts()).empty(); }));
  EXPECT_EQ(known, std::vector<std::string>{"Known(" + kDevice + "\rFFF0)@Lab"});
  // A characteristic the device still has keeps its object; one it lost is unknown at once.
  EXPECT_EQ(objectOf("FFF2"), kept);
  EXPECT_EQ(central.read(kDevice, "FFF0", "FFF4", "hex", 2.0), "?");
  EXPECT_EQ(lastError(), Errors::kUnknownCharacteristic);
}

}  // namespace
