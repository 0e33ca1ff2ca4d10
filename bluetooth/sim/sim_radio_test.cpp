#include "bluetooth/sim/sim_radio.h"

#include <gtest/gtest.h>

#include "bluetooth/sim/air.h"
#include "bluetooth/sim/test_recorder.h"

namespace {

using sim::testing::CentralRecorder;
using sim::testing::PeripheralRecorder;

TEST(SimRadioTest, InstalledRadioMakesTheManagersOfTheInterface) {
  CBBackend::install(makeSimulatedRadio(sim::makeInProcessAir()));
  DispatchQueue centralQueue("central.queue");
  DispatchQueue peripheralQueue("peripheral.queue");
  CentralRecorder central(centralQueue);
  PeripheralRecorder peripheral(peripheralQueue);
  auto c = CBCentralManager::create(central, centralQueue);
  auto p = CBPeripheralManager::create(peripheral, peripheralQueue);
  CBBackend::install(nullptr);
  EXPECT_EQ(central.log.next("state"), "state 5");
  EXPECT_EQ(peripheral.log.next("state"), "state 5");
  p->startAdvertising({"Velnor Plug-in", {}});
  c->scanForPeripherals(std::nullopt, {});
  EXPECT_NE(central.log.next("discover").find(" local=Velnor Plug-in connectable=1"),
            std::string::npos);
  c.reset();
  p.reset();
  centralQueue.sync([] {});
  peripheralQueue.sync([] {});
}

TEST(SimRadioTest, UnusableAirDirectoryFallsBackToAPrivateAir) {
  auto radio = makeSimulatedRadio("/proc/version/air");
  DispatchQueue queue("central.queue");
  CentralRecorder central(queue);
  testing::internal::CaptureStderr();
  auto c = radio->makeCentralManager(central, queue);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Bluetooth: cannot use the air directory /proc/version/air: not a directory; running "
            "on a private air\n");
  EXPECT_EQ(central.log.next("state"), "state 5");
  c.reset();
  queue.sync([] {});
}

}  // namespace
