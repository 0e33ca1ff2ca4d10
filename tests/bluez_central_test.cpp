// The BlueZ central manager in process against the bluetoothd double: what it keeps of the
// devices that BlueZ forgets.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <set>

#include "bluetooth/bluez/bluez_backend.h"
#include "bluetooth/bluez/bluez_bus.h"
#include "bluez_double.h"
#include "eventually.h"
#include "platform/dispatch_queue.h"

namespace {

const std::string kA = "C0:FF:EE:00:00:0A";
const std::string kB = "C0:FF:EE:00:00:0B";
// hci0 of the double has the address 00:01:02:03:04:05.
const std::string kAID = "00010203-0405-0000-0000-C0FFEE00000A";
const std::string kBID = "00010203-0405-0000-0000-C0FFEE00000B";

// Holds what it discovers until told to let go, and watches whether each object still lives.
class Holding : public CBCentralManagerDelegate {
 public:
  void centralManagerDidUpdateState(CBCentralManager&) override {}
  void centralManagerDidDiscoverPeripheral(CBCentralManager&,
                                           const std::shared_ptr<CBPeripheral>& peripheral,
                                           const CBAdvertisementData&, int) override {
    std::lock_guard lock(mutex_);
    const std::string id = peripheral->identifier();
    if (!letGo_.count(id)) held_[id] = peripheral;
    watched_[id] = peripheral;
    ++discoveries_[id];
  }
  // Holds the device again when it is discovered.
  void hold(const std::string& id) {
    std::lock_guard lock(mutex_);
    letGo_.erase(id);
  }
  std::shared_ptr<CBPeripheral> held(const std::string& id) {
    std::lock_guard lock(mutex_);
    return held_[id];
  }
  int discoveries(const std::string& id) {
    std::lock_guard lock(mutex_);
    return discoveries_[id];
  }
  // Lets go of the device and of any discovery of it still on its way.
  void letGo(const std::string& id) {
    std::lock_guard lock(mutex_);
    held_.erase(id);
    letGo_.insert(id);
  }
  bool lives(const std::string& id) {
    std::lock_guard lock(mutex_);
    return !watched_[id].expired();
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<CBPeripheral>> held_;
  std::map<std::string, std::weak_ptr<CBPeripheral>> watched_;
  std::map<std::string, int> discoveries_;
  std::set<std::string> letGo_;
};

class BlueZCentralTest : public ::testing::Test {
 protected:
  BlueZCentralTest() {
    bluez.addAdapter("hci0");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bluez.address().c_str(), 1);
    central = makeBlueZBackend("hci0")->makeCentralManager(holding, queue);
  }
  ~BlueZCentralTest() override {
    queue.sync([&] { central.reset(); });
  }

  // A new scan on the role's queue, as the role starts one.
  void scanAgain() {
    queue.sync([&] {
      central->stopScan();
      central->scanForPeripherals(std::nullopt, {});
    });
  }
  // Advertises until the device is discovered (again).
  bool discover(const std::string& device, const std::string& id) {
    holding.hold(id);
    int before = holding.discoveries(id);
    return eventually([&] {
      bluez.advertise(device, {{"RSSI", sdbus::Variant(int16_t{-50})}});
      return holding.discoveries(id) > before;
    });
  }

  BlueZDouble bluez;
  Holding holding;
  DispatchQueue queue{"role"};
  std::shared_ptr<CBCentralManager> central;
};

// A device BlueZ has forgotten is let go once no one holds it, and one seen again keeps its
// identifier; one the role holds stays the object that the manager reports.
TEST_F(BlueZCentralTest, ForgottenDevicesAreLetGoOnceNoOneHoldsThem) {
  // The manager reads bluetoothd's objects first, which a loaded machine can take a while to do.
  ASSERT_TRUE(eventually([&] { return central->state() == CBManagerState::poweredOn; }, 60));
  std::string a = bluez.addLEDevice("hci0", kA);
  std::string b = bluez.addLEDevice("hci0", kB);
  scanAgain();
  ASSERT_TRUE(discover(a, kAID));
  ASSERT_TRUE(discover(b, kBID));
  queue.sync([&] { central->stopScan(); });

  holding.letGo(kAID);
  bluez.mock("ForgetDevice", b);
  bluez.mock("ForgetDevice", a);
  EXPECT_TRUE(eventually([&] {
    scanAgain();
    return !holding.lives(kAID);
  }));
  ASSERT_TRUE(discover(a, kAID));
  auto kept = holding.held(kBID);
  ASSERT_TRUE(discover(b, kBID));
  EXPECT_EQ(holding.held(kBID), kept);

  queue.sync([&] { central->stopScan(); });
  holding.letGo(kBID);
  kept.reset();
  bluez.mock("ForgetDevice", b);
  EXPECT_TRUE(eventually([&] {
    scanAgain();
    return !holding.lives(kBID);
  }));
  EXPECT_TRUE(holding.lives(kAID));
}

// The last owner of the bus can let go inside one of its callbacks, on the thread that the
// bus's destructor joins; the bus still closes, and nothing stops.
TEST(BlueZBusTest, TheLastOwnerMayLetGoOnTheBusThread) {
  BlueZDouble bluez;
  setenv("DBUS_SYSTEM_BUS_ADDRESS", bluez.address().c_str(), 1);
  auto owner = std::make_shared<std::shared_ptr<bluez::Bus>>(bluez::Bus::open("hci0"));
  ASSERT_NE((*owner)->connection(), nullptr);
  std::string name = (*owner)->connection()->getUniqueName();
  std::promise<void> released;
  (*owner)->call("/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
                 std::chrono::seconds(5),
                 [owner, &released](sdbus::MethodReply&, const sdbus::Error*) {
                   owner->reset();
                   released.set_value();
                 });
  owner.reset();
  ASSERT_EQ(released.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  auto connection = sdbus::createSystemBusConnection();
  auto dbus = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
  EXPECT_TRUE(eventually([&] {
    bool owned = true;
    dbus->callMethod("NameHasOwner")
        .onInterface("org.freedesktop.DBus")
        .withArguments(name)
        .storeResultsTo(owned);
    return !owned;
  }));
}

// The system bus going away ends the connection with an error that sdbus-c++ throws from its
// loop: the process lives on, and the adapter reads as absent.
TEST(BlueZBusTest, ABusDaemonThatGoesAwayLeavesTheAdapterAbsent) {
  BlueZDouble bluez;
  bluez.addAdapter("hci0");
  setenv("DBUS_SYSTEM_BUS_ADDRESS", bluez.address().c_str(), 1);
  auto bus = bluez::Bus::open("hci0");
  ASSERT_TRUE(eventually([&] { return bus->adapterState() == CBManagerState::poweredOn; }, 60));
  bluez.stopBus();
  EXPECT_TRUE(eventually([&] { return bus->adapterState() == CBManagerState::unsupported; }));
}

}  // namespace
