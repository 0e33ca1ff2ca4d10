// The socket air between two airs on one directory, which behave exactly like two processes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>

#include "bluetooth/sim/air.h"
#include "bluetooth/sim/emulated_device.h"
#include "bluetooth/sim/sim_central_manager.h"
#include "bluetooth/sim/test_recorder.h"

namespace sim {
namespace {

using testing::CentralRecorder;

std::string makeTempDir() {
  char pattern[] = "/tmp/velnor-air-test-XXXXXX";
  return mkdtemp(pattern);
}

size_t socketFiles(const std::string& dir) {
  size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    n += e.path().extension() == ".sock";
  return n;
}

// Binds a socket at `path` and closes it: the file stays, as after a killed process.
void leaveStaleSocket(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);
}

void sendRaw(const std::string& path, const std::vector<uint8_t>& bytes) {
  int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::close(fd);
}

class SocketAirTest : public ::testing::Test {
 protected:
  void TearDown() override {
    central.reset();
    devices.reset();
    deviceAir.reset();
    centralAir.reset();
    std::filesystem::remove_all(dir);
  }

  EmulatedDeviceConfig belt() {
    EmulatedDeviceConfig config;
    config.name = "Belt";
    config.advertising.emplace();
    config.advertising->localName = "HR Belt";
    config.advertising->interval = std::chrono::milliseconds(20);
    config.advertising->manufacturerData = std::vector<uint8_t>{0x4C, 0x00};
    EmulatedService s;
    s.uuid = CBUUID::from16(0x180D);
    EmulatedCharacteristic c;
    c.uuid = CBUUID::from16(0x2A37);
    c.properties = CBCharacteristicPropertyRead | CBCharacteristicPropertyNotify;
    c.value = std::vector<uint8_t>{0x06, 0x40};
    s.characteristics = {c};
    config.services = {s};
    return config;
  }

  std::string dir = makeTempDir();
  std::shared_ptr<Air> deviceAir;
  std::shared_ptr<Air> centralAir;
  DispatchQueue centralQueue{"central.queue"};
  DispatchQueue deviceQueue{"devices"};
  CentralRecorder events{centralQueue};
  EmulatedDeviceObserver observer;
  std::shared_ptr<EmulatedDevice> devices;
  std::shared_ptr<CBCentralManager> central;
};

TEST_F(SocketAirTest, DiscoveryConnectionAndReadAcrossTheDirectory) {
  // A socket left by a dead process is cleaned up; garbage in the air harms nobody.
  leaveStaleSocket(dir + "/1-deadbeef.sock");
  deviceAir = makeSocketAir(dir);
  centralAir = makeSocketAir(dir);
  EXPECT_EQ(socketFiles(dir), 2u);
  devices = EmulatedDevice::create(deviceAir, belt(), observer, deviceQueue);
  central = makeCentralManager(centralAir, events, centralQueue);
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    sendRaw(e.path(), {'V', 'L', 'N', 'A', 1, 3, 'x', '/', 'y', 9, 9, 9});
    sendRaw(e.path(), {'h', 'e', 'l', 'l', 'o'});
    sendRaw(e.path(), {});
  }

  central->scanForPeripherals(std::nullopt, {});
  std::string line = events.log.next("discover " + devices->identifier());
  EXPECT_NE(line.find(" local=HR Belt name=Belt mfr=4C00 connectable=1"), std::string::npos)
      << line;
  auto p = events.peripheral(devices->identifier());
  central->connect(p);
  ASSERT_EQ(events.log.next("connected"), "connected " + p->identifier());
  p->discoverServices();
  EXPECT_EQ(events.log.next("services"), "services ok 180D");
  p->discoverCharacteristics(p->services()->front());
  EXPECT_EQ(events.log.next("characteristics"), "characteristics 180D ok 2A37/18");
  p->readValue(events.characteristic("180D/2A37"));
  EXPECT_EQ(events.log.next("value"), "value 2A37 ok 0640");
  p->setNotifyValue(true, events.characteristic("180D/2A37"));
  EXPECT_EQ(events.log.next("notifying"), "notifying 2A37 ok on");
  devices->notify(CBUUID::from16(0x180D), CBUUID::from16(0x2A37), {0x06, 0x41});
  EXPECT_EQ(events.log.next("value"), "value 2A37 ok 0641");
}

TEST_F(SocketAirTest, VanishedPeerIsALostLinkAndPowerReachesOtherProcesses) {
  deviceAir = makeSocketAir(dir);
  std::string deviceSocket = std::filesystem::directory_iterator(dir)->path();
  centralAir = makeSocketAir(dir);
  devices = EmulatedDevice::create(deviceAir, belt(), observer, deviceQueue);
  central = makeCentralManager(centralAir, events, centralQueue);
  ASSERT_EQ(events.log.next("state"), "state 5");
  central->scanForPeripherals(std::nullopt, {});
  ASSERT_NE(events.log.next("discover " + devices->identifier()), "");
  auto p = events.peripheral(devices->identifier());
  central->connect(p);
  ASSERT_EQ(events.log.next("connected"), "connected " + p->identifier());

  // Switching the power from the other process reaches the central, not the emulated device.
  deviceAir->setPowerEverywhere(false);
  EXPECT_EQ(events.log.next("state"), "state 4");
  EXPECT_EQ(events.log.next("disconnected"),
            "disconnected " + p->identifier() +
                " CBErrorDomain/6 The connection has timed out unexpectedly.");
  EXPECT_TRUE(devices->isAdvertising());
  deviceAir->setPowerEverywhere(true);
  EXPECT_EQ(events.log.next("state"), "state 5");
  central->connect(p);
  ASSERT_EQ(events.log.next("connected"), "connected " + p->identifier());

  // The peer's socket disappears without a word, as when its process is killed: the link
  // supervision notices.
  ASSERT_EQ(::unlink(deviceSocket.c_str()), 0);
  EXPECT_EQ(events.log.next("disconnected"),
            "disconnected " + p->identifier() +
                " CBErrorDomain/6 The connection has timed out unexpectedly.");
}

}  // namespace
}  // namespace sim
