// The BlueZ double seen over D-Bus the way the backend sees it, where a mistake in the double
// would mislead the backend's tests: types, the order of connection events, and an application
// that bluetoothd reads from its client and serves to a remote central. The behaviours of calls
// are seen through the backend in the end-to-end tests.
#include "bluez_double.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Bytes = BlueZDouble::Bytes;
using Props = BlueZDouble::Props;

constexpr const char* kDevice = "org.bluez.Device1";
constexpr const char* kChar = "org.bluez.GattCharacteristic1";
constexpr const char* kService = "org.bluez.GattService1";
constexpr const char* kBelt = "AA:BB:CC:DD:EE:FF";

std::string errorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const sdbus::Error& e) {
    return e.getName();
  }
  return "no error";
}

// Stops a connection's event loop thread before the proxies and objects declared earlier go.
struct LoopGuard {
  sdbus::IConnection& connection;
  ~LoopGuard() { connection.leaveEventLoop(); }
};

class BlueZDoubleTest : public ::testing::Test {
 protected:
  std::unique_ptr<sdbus::IProxy> proxy(const std::string& path) {
    return sdbus::createProxy(*client, "org.bluez", path);
  }

  BlueZDouble bluez;
  std::unique_ptr<sdbus::IConnection> client =
      sdbus::createSessionBusConnectionWithAddress(bluez.address());
  std::string adapter = bluez.addAdapter("hci0");
  std::string belt;
};

TEST_F(BlueZDoubleTest, DevicesAndAdaptersCarryTheDocumentedTypes) {
  using Dict16 = std::map<uint16_t, sdbus::Variant>;
  belt = bluez.addLEDevice(
      "hci0", kBelt,
      {{"Name", sdbus::Variant(std::string("Belt"))},
       {"RSSI", sdbus::Variant(int16_t{-50})},
       {"ManufacturerData", sdbus::Variant(Dict16{{0x004c, sdbus::Variant(Bytes{1, 2})}})},
       {"ServiceData", sdbus::Variant(Props{{"180d", sdbus::Variant(Bytes{9})}})}});
  auto tag = bluez.addLEDevice("hci0", "11:22:33:44:55:66");
  BlueZDouble::ManagedObjects objects;
  proxy("/")
      ->callMethod("GetManagedObjects")
      .onInterface("org.freedesktop.DBus.ObjectManager")
      .storeResultsTo(objects);

  auto& props = objects.at(sdbus::ObjectPath(belt)).at(kDevice);
  ASSERT_EQ(props.at("ManufacturerData").peekValueType(), "a{qv}");
  EXPECT_EQ(props.at("ManufacturerData").get<Dict16>().at(0x004c).get<Bytes>(), (Bytes{1, 2}));
  ASSERT_EQ(props.at("ServiceData").peekValueType(), "a{sv}");
  EXPECT_EQ(
      props.at("ServiceData").get<Props>().at("0000180d-0000-1000-8000-00805f9b34fb").get<Bytes>(),
      Bytes{9});
  EXPECT_EQ(props.at("RSSI").peekValueType(), "n");
  EXPECT_EQ(props.at("Alias").get<std::string>(), "Belt");

  auto& bare = objects.at(sdbus::ObjectPath(tag)).at(kDevice);
  EXPECT_EQ(bare.count("Name") + bare.count("RSSI") + bare.count("ManufacturerData"), 0u);
  EXPECT_EQ(bare.at("Alias").get<std::string>(), "11-22-33-44-55-66");
  EXPECT_EQ(bare.at("AddressType").get<std::string>(), "random");

  auto& hci0 = objects.at(sdbus::ObjectPath(adapter));
  EXPECT_EQ(hci0.count("org.bluez.GattManager1"), 1u);
  EXPECT_EQ(hci0.at("org.bluez.LEAdvertisingManager1").at("SupportedInstances").peekValueType(),
            "y");
}

TEST_F(BlueZDoubleTest, ConnectAnnouncesServicesBeforeTheyAreResolvedAndDisconnectEndsBoth) {
  belt = bluez.addLEDevice("hci0", kBelt);
  auto service = bluez.addGattService(belt, "180d");
  auto characteristic = bluez.addGattCharacteristic(service, "2a37", {"notify"});

  auto listener = sdbus::createSessionBusConnectionWithAddress(bluez.address());
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> events;
  auto match = listener->addMatch("type='signal',sender='org.bluez'", [&](sdbus::Message& m) {
    std::lock_guard lock(mutex);
    if (m.getMemberName() == "InterfacesAdded") {
      sdbus::ObjectPath path;
      m >> path;
      events.push_back("added " + path);
    } else if (m.getMemberName() == "PropertiesChanged") {
      std::string interface;
      Props props;
      m >> interface >> props;
      for (const auto& [name, value] : props) {
        events.push_back(name + "=" + (value.get<bool>() ? "1" : "0"));
      }
    }
    changed.notify_all();
  });
  listener->enterEventLoopAsync();
  LoopGuard guard{*listener};

  auto eventCount = [&](size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 5s, [&] { return events.size() >= count; });
  };
  proxy(belt)->callMethod("Connect").onInterface(kDevice);
  ASSERT_TRUE(eventCount(4));
  proxy(belt)->callMethod("Disconnect").onInterface(kDevice);
  ASSERT_TRUE(eventCount(6));
  std::lock_guard lock(mutex);
  // Both fall in one signal, as bluetoothd sends them.
  EXPECT_EQ(events,
            (std::vector<std::string>{"Connected=1", "added " + service, "added " + characteristic,
                                      "ServicesResolved=1", "Connected=0", "ServicesResolved=0"}));
}

TEST_F(BlueZDoubleTest, RegisteredApplicationIsReadFromItsClientAndServesRemoteReads) {
  auto app = sdbus::createSessionBusConnectionWithAddress(bluez.address());
  auto root = sdbus::createObject(*app, "/test/app");
  root->addObjectManager();
  auto constant = [](sdbus::IObject& object, const char* interface, const char* name, auto value) {
    object.registerProperty(name).onInterface(interface).withGetter([value] { return value; });
  };
  auto service = sdbus::createObject(*app, "/test/app/service0");
  constant(*service, kService, "UUID", std::string("180d"));
  constant(*service, kService, "Primary", true);
  service->finishRegistration();
  auto characteristic = sdbus::createObject(*app, "/test/app/service0/char0");
  constant(*characteristic, kChar, "UUID", std::string("00002a37-0000-1000-8000-00805f9b34fb"));
  constant(*characteristic, kChar, "Service", sdbus::ObjectPath("/test/app/service0"));
  constant(*characteristic, kChar, "Flags", std::vector<std::string>{"read"});
  std::mutex mutex;
  Props received;
  characteristic->registerMethod("ReadValue")
      .onInterface(kChar)
      .implementedAs([&](const Props& options) {
        std::lock_guard lock(mutex);
        received = options;
        return Bytes{0x2a};
      });
  characteristic->finishRegistration();
  auto empty = sdbus::createObject(*app, "/test/empty");
  empty->addObjectManager();

  // Registered before the loop runs, so that only its thread uses the connection afterwards.
  auto manager = sdbus::createProxy(*app, "org.bluez", adapter);
  std::promise<std::string> registered, refused;
  for (auto [path, outcome] :
       {std::pair{"/test/app", &registered}, std::pair{"/test/empty", &refused}}) {
    manager->callMethodAsync("RegisterApplication")
        .onInterface("org.bluez.GattManager1")
        .withArguments(sdbus::ObjectPath(path), Props{})
        .uponReplyInvoke(
            [outcome](const sdbus::Error* e) { outcome->set_value(e ? e->getName() : ""); });
  }
  auto registeredName = registered.get_future(), refusedName = refused.get_future();
  app->enterEventLoopAsync();
  LoopGuard guard{*app};
  ASSERT_EQ(registeredName.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(registeredName.get(), "");
  ASSERT_EQ(refusedName.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(refusedName.get(), "org.bluez.Error.InvalidArguments");
  EXPECT_EQ(bluez.application("hci0").count(sdbus::ObjectPath("/test/app/service0/char0")), 1u);

  std::string central = "/org/bluez/hci0/dev_11_22_33_44_55_66";
  EXPECT_EQ(bluez.remoteRead("hci0", "2a37", central, 185), Bytes{0x2a});
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(received.at("device").get<sdbus::ObjectPath>(), central);
    EXPECT_EQ(received.at("mtu").get<uint16_t>(), 185);
    EXPECT_EQ(received.at("link").get<std::string>(), "LE");
    EXPECT_EQ(received.count("offset"), 0u);  // bluetoothd leaves out an offset of 0
  }
  // The flags say read only: bluetoothd refuses the write without asking the application.
  EXPECT_EQ(errorOf([&] { bluez.remoteWrite("hci0", "2a37", central, {1}); }),
            "org.bluez.Error.NotPermitted");
}

}  // namespace
