// The CoreBluetooth peripheral manager against a fake of its Objective-C layer: requests are
// answered as CoreBluetooth wants them answered, and the peripheral role's refused
// notifications reach the centrals in order.
#include "bluetooth/corebluetooth/peripheral_manager_macos.h"

#include <gtest/gtest.h>

#include "bluetooth/corebluetooth/fake_objc_layer.h"
#include "peripheral/peripheral_delegate.h"
#include "queued_scripts.h"

namespace macos {
namespace {

using testing::EventLog;
using testing::FakeObjCLayer;
using testing::hex;

const CentralValue kCentral{"0C0C0C0C-0000-4000-8000-000000000001", 182};

// Answers requests as each test tells it to.
class ScriptedDelegate : public CBPeripheralManagerDelegate {
 public:
  using OnRead = std::function<void(CBPeripheralManager&, const std::shared_ptr<CBATTRequest>&)>;
  OnRead onRead = [](auto&, auto&) {};
  EventLog log;

  void peripheralManagerDidUpdateState(CBPeripheralManager&) override {}
  void peripheralManagerDidReceiveReadRequest(CBPeripheralManager& m,
                                              const std::shared_ptr<CBATTRequest>& r) override {
    log.add("read " + r->characteristic()->UUID().UUIDString());
    onRead(m, r);
  }
  // As the peripheral role does: each request answered in turn, up to the first refused one
  // (a write of FF).
  void peripheralManagerDidReceiveWriteRequests(
      CBPeripheralManager& m, const std::vector<std::shared_ptr<CBATTRequest>>& rs) override {
    for (const auto& r : rs) {
      log.add("write " + hex(r->value()));
      if (r->value() == CBData{0xFF}) return m.respondToRequest(r, CBATTError::writeNotPermitted);
      m.respondToRequest(r, CBATTError::success);
    }
  }
};

TEST(PeripheralManagerMacOSTest, EachReadIsAnsweredOnceAndEachWriteCallbackOnceAsAWhole) {
  DispatchQueue queue("test.peripheral");
  ScriptedDelegate role;
  FakeObjCLayer objc;
  auto manager = makePeripheralManagerMacOS(role, queue, objc.peripheralFactory());
  auto service = std::make_shared<CBMutableService>(*CBUUID::fromString("180D"), true);
  service->setCharacteristics({std::make_shared<CBMutableCharacteristic>(
      *CBUUID::fromString("2A38"), CBCharacteristicPropertyRead | CBCharacteristicPropertyWrite,
      std::nullopt, CBAttributePermissionsReadable | CBAttributePermissionsWriteable)});
  manager->addService(service);
  ASSERT_EQ(objc.calls.next("addService"), "addService 180D 2A38=2");
  PeripheralEvents& platform = *objc.peripheral;

  // Answered twice: only the first answer goes out, with the value set for it.
  role.onRead = [](CBPeripheralManager& m, const std::shared_ptr<CBATTRequest>& r) {
    EXPECT_TRUE(r->value().empty());
    r->setValue({0x01, 0x02});
    m.respondToRequest(r, CBATTError::success);
    m.respondToRequest(r, CBATTError::unlikelyError);
  };
  platform.readRequest(100, RequestValue{kCentral, 2, 0, std::nullopt});
  queue.sync([] {});
  // Not answered at all: answered for the role once it lets go.
  role.onRead = [](auto&, auto&) {};
  platform.readRequest(101, RequestValue{kCentral, 2, 0, std::nullopt});
  // A characteristic no longer published: answered without the role.
  platform.readRequest(102, RequestValue{kCentral, 7, 0, std::nullopt});

  platform.writeRequests(200, {{kCentral, 2, 0, CBData{0x01}},
                               {kCentral, 2, 0, CBData{0xFF}},
                               {kCentral, 2, 0, CBData{0x02}}});
  platform.writeRequests(201, {{kCentral, 2, 0, CBData{0x03}}, {kCentral, 2, 0, CBData{0x04}}});
  queue.sync([] {});

  EXPECT_EQ(
      objc.calls.all("respond"),
      (std::vector<std::string>{"respond 100 0 0102", "respond 101 14 none", "respond 102 10 none",
                                "respond 200 3 none", "respond 201 0 none"}));
  EXPECT_EQ(role.log.count("read"), 2u);
  EXPECT_EQ(role.log.all("write"),
            (std::vector<std::string>{"write 01", "write FF", "write 03", "write 04"}));
  manager.reset();
}

class PeripheralRoleOnCoreBluetoothTest : public ScriptQueueTest {
 protected:
  FakeObjCLayer objc;
  PeripheralDelegate role{[this](CBPeripheralManagerDelegate& d, DispatchQueue& q) {
    return makePeripheralManagerMacOS(d, q, objc.peripheralFactory());
  }};
};

TEST_F(PeripheralRoleOnCoreBluetoothTest, RefusedNotificationsGoOutInOrderOnceReady) {
  PeripheralEvents& platform = *objc.peripheral;
  platform.stateChanged(5);
  role.setProfile(R"([{"UUID": "180D", "characteristics": [
      {"UUID": "2A37", "properties": "read|notify", "format": "hex"}]}])");
  ASSERT_EQ(objc.calls.next("addService"), "addService 180D 2A37=2");
  platform.subscribed(kCentral, 2);
  role.set("180D", "2A37", "01", "hex");
  // A read comes with no value (nil in CoreBluetooth) and is answered with the stored one.
  platform.readRequest(300, RequestValue{kCentral, 2, 0, std::nullopt});
  EXPECT_EQ(objc.calls.next("respond"), "respond 300 0 01");

  objc.full = true;
  role.set("180D", "2A37", "02", "hex");
  role.set("180D", "2A37", "03", "hex");
  objc.full = false;
  platform.readyToUpdateSubscribers();
  role.queue().sync([] {});
  EXPECT_EQ(objc.calls.all("update"),
            (std::vector<std::string>{"update 2 01", "update 2 02", "update 2 03"}));
  EXPECT_EQ(lastError(), 0);
}

}  // namespace
}  // namespace macos
