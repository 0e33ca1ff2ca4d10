// The CoreBluetooth central manager against a fake of its Objective-C layer: what goes wrong on
// a Mac when callbacks are mapped carelessly.
#include "bluetooth/corebluetooth/central_manager_macos.h"

#include <gtest/gtest.h>

#include <future>

#include "bluetooth/corebluetooth/fake_objc_layer.h"

namespace macos {
namespace {

using sim::testing::CentralRecorder;
using testing::FakeObjCLayer;

const std::string kBelt = "6F1A2B3C-0000-4000-8000-000000000001";
const std::string kScale = "6F1A2B3C-0000-4000-8000-000000000002";
constexpr auto kWindow = std::chrono::milliseconds(50);

class CentralManagerMacOSTest : public ::testing::Test {
 protected:
  ~CentralManagerMacOSTest() override {
    manager.reset();
    queue.sync([] {});
  }
  CentralEvents& platform() { return *objc.central; }
  // Reports the device and returns the object the role got for it.
  std::shared_ptr<CBPeripheral> discover(const std::string& id) {
    platform().discovered({id, "Belt"}, AdvertisementValue{"Belt", {}, {{"180D"}}, {}, 1}, -60);
    EXPECT_NE(role.log.next("discover " + id), "");
    return role.peripheral(id);
  }
  // Runs every callback already reported while the role's queue was held.
  template <class Report>
  void whileQueueHeld(Report report) {
    std::promise<void> gate;
    queue.async([f = gate.get_future().share()] { f.wait(); });
    report();
    gate.set_value();
    queue.sync([] {});
  }

  DispatchQueue queue{"test.central"};
  CentralRecorder role{queue};
  FakeObjCLayer objc;
  std::shared_ptr<CBCentralManager> manager =
      makeCentralManagerMacOS(role, queue, objc.centralFactory(), kWindow);
};

TEST_F(CentralManagerMacOSTest, ObjectsStayTheSameAndValuesAreThoseOfTheirCallback) {
  platform().stateChanged(5);
  EXPECT_EQ(role.log.next("state"), "state 5");
  EXPECT_EQ(manager->state(), CBManagerState::poweredOn);
  auto belt = discover(kBelt);
  EXPECT_EQ(role.log.all().back(), "discover " + kBelt + " rssi=-60 local=Belt name=Belt " +
                                       "services=180D, connectable=1");
  manager->connect(belt);
  platform().connected({kBelt, "Belt"});
  ASSERT_NE(role.log.next("connected " + kBelt), "");

  platform().discoveredServices(kBelt, {{1, "180D", true}, {2, "180F", true}}, std::nullopt);
  ASSERT_EQ(role.log.next("services"), "services ok 180D 180F");
  auto services = *belt->services();
  platform().discoveredCharacteristics(kBelt, 1, {{11, "2A37", 0x12}, {12, "2A38", 0x0A}}, {});
  ASSERT_NE(role.log.next("characteristics 180D"), "");
  // Two characteristics of one UUID in one service are two objects.
  platform().discoveredCharacteristics(kBelt, 2, {{21, "2A19", 0x12}, {22, "2A19", 0x12}}, {});
  ASSERT_NE(role.log.next("characteristics 180F"), "");

  // Notifications that come in quick succession: each callback sees its own value.
  whileQueueHeld([&] {
    platform().valueUpdated(kBelt, 11, CBData{0x01}, std::nullopt);
    platform().valueUpdated(kBelt, 11, CBData{0x02}, std::nullopt);
    platform().valueUpdated(kBelt, 22, CBData{0x09}, std::nullopt);
  });
  EXPECT_EQ(role.log.next("value"), "value 2A37 ok 01");
  EXPECT_EQ(role.log.next("value"), "value 2A37 ok 02");
  auto battery = *services[1]->characteristics();
  EXPECT_EQ(battery[0]->value(), std::nullopt);
  EXPECT_EQ(battery[1]->value(), CBData{0x09});

  platform().valueWritten(kBelt, 12,
                          ErrorValue{"CBATTErrorDomain", 3, "Writing is not permitted."});
  EXPECT_EQ(role.log.next("written"), "written 2A38 CBATTErrorDomain/3 Writing is not permitted.");

  // Discovered again: CoreBluetooth's same objects stay ours; a new one is new.
  auto heart = *services[0]->characteristics();
  platform().discoveredServices(kBelt, {{1, "180D", true}, {3, "180F", true}}, std::nullopt);
  role.log.next("services");
  auto again = *belt->services();
  EXPECT_EQ(again[0], services[0]);
  EXPECT_NE(again[1], services[1]);
  platform().discoveredCharacteristics(kBelt, 1, {{12, "2A38", 0x0A}, {11, "2A37", 0x12}}, {});
  role.log.next("characteristics 180D");
  EXPECT_EQ((*again[0]->characteristics())[1], heart[0]);
  EXPECT_EQ(role.changedObjects, 0);
  EXPECT_EQ(role.offQueue, 0);
}

TEST_F(CentralManagerMacOSTest, ConnectionAttemptsEndAtTheirWindowAndLinksWithThePower) {
  platform().stateChanged(5);
  auto belt = discover(kBelt);
  auto scale = discover(kScale);

  manager->connect(belt);
  EXPECT_NE(objc.calls.next("connect " + kBelt), "");
  EXPECT_EQ(role.log.next("failed " + kBelt).rfind("failed " + kBelt + " CBErrorDomain/6 ", 0), 0u);
  EXPECT_NE(objc.calls.next("cancel " + kBelt), "");
  // CoreBluetooth's own end of the cancelled attempt, then a connection that raced the cancel:
  // neither reaches the role, and the late link is cancelled too.
  platform().disconnected({kBelt, "Belt"}, std::nullopt);
  platform().connected({kBelt, "Belt"});
  EXPECT_NE(objc.calls.next("cancel " + kBelt), "");

  manager->connect(scale);
  platform().connected({kScale, "Scale"});
  EXPECT_NE(role.log.next("connected " + kScale), "");
  std::promise<void> pastWindow;
  queue.asyncAfter(3 * kWindow, [&] { pastWindow.set_value(); });
  pastWindow.get_future().wait();
  queue.sync([] {});
  EXPECT_EQ(objc.calls.count("cancel " + kScale), 0u);
  EXPECT_EQ(role.log.count("connected " + kBelt), 0u);
  EXPECT_EQ(role.log.count("disconnected"), 0u);

  platform().disconnected({kScale, "Scale"}, ErrorValue{"CBErrorDomain", 7, "Gone."});
  EXPECT_EQ(role.log.next("disconnected"), "disconnected " + kScale + " CBErrorDomain/7 Gone.");

  // Bluetooth switched off: every link ends then, also those CoreBluetooth is silent about.
  manager->connect(scale);
  platform().connected({kScale, "Scale"});
  manager->connect(belt);
  platform().stateChanged(4);
  EXPECT_EQ(role.log.next("disconnected " + kScale)
                .rfind("disconnected " + kScale + " CBErrorDomain/6", 0),
            0u);
  EXPECT_EQ(role.log.next("failed " + kBelt).rfind("failed " + kBelt + " CBErrorDomain/6", 0), 0u);
  platform().disconnected({kScale, "Scale"}, std::nullopt);
  queue.sync([] {});
  EXPECT_EQ(role.log.count("disconnected"), 2u);
}

}  // namespace
}  // namespace macos
