// End-to-end tests of the BlueZ backend: the built helper with --radio bluez on a private bus,
// against the bluetoothd double, checked the way the plug-in sees the simulated radio.
#include <algorithm>
#include <future>

#include "bluez_double.h"
#include "central_e2e.h"

namespace {

using namespace central_e2e;
using Bytes = BlueZDouble::Bytes;
using Write = std::tuple<Bytes, std::string>;
using Writes = std::vector<sdbus::Struct<Bytes, std::string>>;

// hci0 of the double has the address 00:01:02:03:04:05.
const std::string kBeltAddress = "C0:FF:EE:00:00:01";
const std::string kBeltID = "00010203-0405-0000-0000-C0FFEE000001";
const std::string kVendor = "6E400001-B5A3-F393-E0A9-E50E24DCCA9E";
const std::string kHeartRate = "0000180d-0000-1000-8000-00805f9b34fb";
const std::string kLocked = "6E400002-B5A3-F393-E0A9-E50E24DCCA9E";

std::string uuid128(const std::string& short16) {
  return "0000" + short16 + "-0000-1000-8000-00805f9b34fb";
}

sdbus::Variant rssi(int16_t dBm) {
  return sdbus::Variant(dBm);
}

sdbus::Variant bytesBy(uint16_t company, const Bytes& bytes) {
  return sdbus::Variant(std::map<uint16_t, sdbus::Variant>{{company, sdbus::Variant(bytes)}});
}

// The double starts before the helper, so that the helper finds a powered adapter (with
// Adapter1.ConnectDevice when `experimental`, as bluetoothd -E offers it).
struct DoubleFirst {
  explicit DoubleFirst(bool experimental) {
    bluez.addAdapter("hci0");
    if (experimental) bluez.mock("SetExperimental", "hci0", true);
  }
  BlueZDouble bluez;
};

class BlueZEndToEnd : protected DoubleFirst, public CentralEndToEnd {
 protected:
  explicit BlueZEndToEnd(bool experimental = false)
      : DoubleFirst(experimental), CentralEndToEnd(optionsFor(bluez)) {}

  // The helper reads bluetoothd's objects after it has started listening; until then the
  // adapter's state is unknown and a scan is refused, which a loaded machine can show.
  void SetUp() override { ASSERT_TRUE(statusBecomes("powered On")); }

  static HelperProcess::Options optionsFor(const BlueZDouble& bluez) {
    HelperProcess::Options options;
    options.extraArgs = {"--radio", "bluez"};
    options.env = {{"DBUS_SYSTEM_BUS_ADDRESS", bluez.address()}};
    options.dieWithParent = true;
    return options;
  }

  // A belt that advertises the heart-rate service, with a characteristic for every case. With
  // an RSSI the adapter has just seen it; without one bluetoothd only remembers it.
  void addBelt(const BlueZDouble::Props& extra = {}, const std::string& address = kBeltAddress,
               bool seen = true) {
    BlueZDouble::Props props{{"Name", sdbus::Variant(std::string("Belt"))},
                             {"RSSI", rssi(-48)},
                             {"UUIDs", sdbus::Variant(std::vector<std::string>{kHeartRate})},
                             {"ManufacturerData", bytesBy(0xFFFF, {0x01, 0x01})}};
    for (const auto& [key, value] : extra) props[key] = value;
    if (!seen) props.erase("RSSI");
    belt = bluez.addLEDevice("hci0", address, props);
    std::string heart = bluez.addGattService(belt, kHeartRate);
    measurement =
        bluez.addGattCharacteristic(heart, uuid128("2a37"), {"read", "notify"}, {0x00, 0x48});
    control = bluez.addGattCharacteristic(heart, uuid128("2a38"),
                                          {"read", "write", "write-without-response"}, {1, 2});
    std::string vendor = bluez.addGattService(belt, kVendor);
    locked = bluez.addGattCharacteristic(vendor, "6e400002-b5a3-f393-e0a9-e50e24dcca9e",
                                         {"read", "write", "notify"}, {0});
  }

  // Scans until the belt is discovered, then stops the scan.
  void discoverBelt(const std::string& id = kBeltID) {
    ASSERT_EQ(startScan(""), kOK);
    ASSERT_TRUE(eventually([&] {
      bluez.advertise(belt, {{"RSSI", rssi(-50)}});
      return discovered(id);
    }));
  }

  // Connects the belt and waits until its profile is known.
  void connectBelt(const std::string& options = "") {
    addBelt();
    discoverBelt();
    ASSERT_EQ(connect("Belt", options, 5.0), kOK);
    ASSERT_TRUE(
        eventually([&] { return read(kBeltID, "180D", "2A37", "hex", 5.0) == value("0048"); }));
  }

  // A /connect on a client of its own, answered while the test goes on.
  std::future<json> connectLater(const std::string& id, double timeout) {
    return later("/connect",
                 {{"deviceID", id}, {"options", ""}, {"filename", "Lab"}, {"timeout", timeout}});
  }

  // A /connect of the belt whose Device1.Connect behaves as `behaviour` until bluetoothd got
  // one; the ones after it succeed.
  std::future<json> connectFirstAs(const std::string& behaviour, double timeout) {
    size_t before = logged("Connect " + belt);
    bluez.mock("SetConnectBehaviour", belt, behaviour);
    auto pending = connectLater(kBeltID, timeout);
    EXPECT_TRUE(eventually([&] { return logged("Connect " + belt) > before; })) << behaviour;
    bluez.mock("SetConnectBehaviour", belt, "");
    return pending;
  }

  // The belt advertises until the connection `pending` answers.
  json advertiseUntilAnswered(std::future<json>& pending) {
    while (pending.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
      bluez.advertise(belt, {{"RSSI", rssi(-50)}});
    }
    return pending.get();
  }

  size_t logged(const std::string& text) {
    auto log = bluez.log();
    return std::count_if(log.begin(), log.end(),
                         [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }

  std::string status() {
    return json::parse(get("status")["result"].get<std::string>())["bluetooth"];
  }
  // A helper that has just found bluetoothd, or seen it again, reads its objects with calls to
  // a daemon in Python, which a loaded machine can take many seconds to answer.
  bool statusBecomes(const std::string& state) {
    return eventually([&] { return status() == state; }, 60);
  }

  std::string belt, measurement, control, locked;
};

class BlueZExperimental : public BlueZEndToEnd {
 protected:
  BlueZExperimental() : BlueZEndToEnd(true) {}
};

TEST_F(BlueZEndToEnd, ScanListsWhatDevicesAdvertiseInThisScan) {
  // Before the scan bluetoothd knew the belt's heart-rate service, a vendor's data and service
  // data; it keeps them in the device's record, without an RSSI (a device added with one, its
  // signal read late, would be found by the scan).
  addBelt({{"ManufacturerData", bytesBy(0x004C, {0x01})},
           {"ServiceData", sdbus::Variant(std::map<std::string, sdbus::Variant>{
                               {"180f", sdbus::Variant(Bytes{0x64})}})}},
          kBeltAddress, false);
  std::string lamp = bluez.addLEDevice("hci0", "C0:FF:EE:00:00:02",
                                       {{"Name", sdbus::Variant(std::string("Lamp"))}});
  std::string strap = bluez.addLEDevice("hci0", "C0:FF:EE:00:00:03",
                                        {{"Name", sdbus::Variant(std::string("Strap"))}});
  ASSERT_EQ(startScan("filterbyservice=180D"), kOK);
  // Now the strap advertises the service (once the discovery has started), the belt and the
  // lamp do not.
  ASSERT_TRUE(eventually([&] {
    return bluez.advertise(
        strap, {{"RSSI", rssi(-45)}, {"UUIDs", sdbus::Variant(std::vector<std::string>{"180d"})}});
  }));
  auto filter = bluez.mock<BlueZDouble::Props>("GetDiscoveryFilter", "hci0");
  EXPECT_EQ(filter["Transport"].get<std::string>(), "le");
  EXPECT_EQ(filter["UUIDs"].get<std::vector<std::string>>(), std::vector<std::string>{kHeartRate});
  EXPECT_FALSE(bluez.advertise(belt, {{"RSSI", rssi(-51)}}));
  EXPECT_FALSE(bluez.advertise(lamp, {{"RSSI", rssi(-40)}}));
  ASSERT_TRUE(eventually([&] { return discovered("00010203-0405-0000-0000-C0FFEE000003"); }));
  EXPECT_EQ(discoveries().size(), 1U);
  EXPECT_EQ(call("/stopScan", json::object()), kOK);

  // An unfiltered scan reports what the belt advertises now, not what bluetoothd accumulated.
  ASSERT_EQ(startScan("makeupdates=false"), kOK);
  ASSERT_TRUE(eventually([&] {
    return bluez.advertise(belt,
                           {{"RSSI", rssi(-52)},
                            {"ManufacturerData", bytesBy(0x0059, {0x07})},
                            {"ServiceData", sdbus::Variant(std::map<std::string, sdbus::Variant>{
                                                {"181a", sdbus::Variant(Bytes{0x02})}})}}) &&
           discovered(kBeltID);
  }));
  json found = discoveries()[kBeltID];
  EXPECT_EQ(found["name"], "Belt");
  EXPECT_EQ(found["RSSI"], -52);
  EXPECT_EQ(found["vendorID"], 0x59);
  EXPECT_EQ(found["serviceData"], (json{{"181A", "02"}}));
  EXPECT_FALSE(found.contains("serviceUUIDs"));
  EXPECT_EQ(call("/stopScan", json::object()), kOK);
  EXPECT_FALSE(json::parse(get("status")["result"].get<std::string>())["isScanning"]);
}

TEST_F(BlueZEndToEnd, ConnectedDeviceIsReadWrittenAndNotifiesThroughTheRole) {
  connectBelt("onConnect=Connected\rondiscoverservices=Services");
  EXPECT_EQ(scripts(2), (std::vector<std::string>{"Connected(" + kBeltID + ")@Lab",
                                                  "Services(" + kBeltID + ")@Lab"}));
  EXPECT_EQ(write(kBeltID, "180D", "2A38", "0A0B", "hex", 5.0), kOK);
  // A write without response fills the link's MTU (247 here) less the 3 bytes of its header.
  EXPECT_EQ(write(kBeltID, "180D", "2A38", std::string(2 * 244, 'c'), "hex", 0), kOK);
  EXPECT_EQ(write(kBeltID, "180D", "2A38", std::string(2 * 245, 'c'), "hex", 0),
            failed(-17, "Data is too long"));
  ASSERT_TRUE(eventually([&] { return bluez.mock<Writes>("GetWrites", control).size() == 2; }));
  auto writes = bluez.mock<Writes>("GetWrites", control);
  ASSERT_EQ(writes.size(), 2U);
  EXPECT_EQ(Write(writes[0]), Write(Bytes{0x0A, 0x0B}, "request"));
  EXPECT_EQ(Write(writes[1]), Write(Bytes(244, 0xCC), "command"));
  // A call that bluetoothd never answers ends by the command's own timeout.
  bluez.mock("SetCharBehaviour", locked, "WriteValue", "hang");
  EXPECT_EQ(write(kBeltID, kVendor, kLocked, "01", "hex", 0.3), failed(-100, "Operation timeout"));

  // A read of a subscribed characteristic runs its script once, whether bluetoothd announces
  // the value before its reply (as 5.66 does) or after it; a notification still runs it.
  EXPECT_EQ(subscribe(kBeltID, "180D", "2A37", "OnBeat", "hex", 5.0), kOK);
  const std::string beat = "OnBeat(" + kBeltID + "\r180D\r2A37\r";
  bluez.mock("SetValueAfterReply", false);
  EXPECT_EQ(read(kBeltID, "180D", "2A37", "hex", 5.0), value("0048"));
  bluez.mock("Notify", measurement, Bytes{0x01, 0x02});
  EXPECT_EQ(scripts(2), (std::vector<std::string>{beat + "0048)@Lab", beat + "0102)@Lab"}));
  bluez.mock("SetValueAfterReply", true);
  EXPECT_EQ(read(kBeltID, "180D", "2A37", "hex", 5.0), value("0102"));
  bluez.mock("Notify", measurement, Bytes{0x03, 0x04});
  EXPECT_EQ(scripts(2), (std::vector<std::string>{beat + "0102)@Lab", beat + "0304)@Lab"}));
  EXPECT_EQ(subscribe(kBeltID, "180D", "2A37", "", "hex", 5.0), kOK);
  bluez.mock("Notify", measurement, Bytes{0x03});
  EXPECT_TRUE(scripts(1, 0.5).empty());
}

TEST_F(BlueZEndToEnd, GattFailuresReadAsBlueZNamesThem) {
  connectBelt();
  // bluetoothd names the device's ATT answers (src/gatt-client.c); each reaches the plug-in as
  // the platform words the ATT error (bluez_properties_test maps every name).
  const std::vector<std::pair<std::string, std::string>> reads{
      {"att:0x05", "Encryption is insufficient."},
      {"org.bluez.Error.Failed:Not connected", "The specified device has disconnected from us."},
  };
  for (const auto& [behaviour, message] : reads) {
    bluez.mock("SetCharBehaviour", locked, "ReadValue", behaviour);
    EXPECT_EQ(read("Belt", kVendor, kLocked, "hex", 5.0), reply(-16, message, "?")) << behaviour;
  }
  bluez.mock("SetCharBehaviour", locked, "WriteValue", "att:0x0d");
  EXPECT_EQ(write(kBeltID, kVendor, kLocked, "01", "hex", 5.0),
            failed(-17, "The value's length is invalid."));
  bluez.mock("SetCharBehaviour", locked, "StartNotify", "org.bluez.Error.NotSupported");
  EXPECT_EQ(subscribe(kBeltID, kVendor, kLocked, "S", "hex", 5.0),
            failed(-18, "The request is not supported."));
}

TEST_F(BlueZEndToEnd, LostLinksRefusalsAndVanishingDevicesEndConnections) {
  connectBelt("ondisconnect=Gone");
  bluez.mock("DropLink", belt);
  EXPECT_EQ(scripts(1), std::vector<std::string>{"Gone(" + kBeltID + ")@Lab"});
  EXPECT_EQ(get("connections")["result"], "");

  // dev_connect's own failure when no socket can be made (strerror of EIO).
  bluez.mock("SetConnectBehaviour", belt, "org.bluez.Error.Failed:Input/output error");
  EXPECT_EQ(connect(kBeltID, "onconnectionfailed=Failed", 5.0), failed(-15, "Unknown error."));
  EXPECT_EQ(scripts(1), std::vector<std::string>{"Failed(" + kBeltID + ")@Lab"});

  // An LE attempt that bluetoothd gives up, or one it says is already under way, is tried
  // again within the command's timeout.
  for (std::string refusal : {"org.bluez.Error.Failed:le-connection-abort-by-local",
                              "org.bluez.Error.Failed:Operation already in progress"}) {
    EXPECT_EQ(connectFirstAs(refusal, 5.0).get(), kOK) << refusal;
    ASSERT_EQ(call("/disconnect", {{"deviceID", kBeltID}}), kOK);
  }

  // So is one whose link drops while Connect waits ("br-connection-canceled", LE or not).
  auto pending = connectFirstAs("hang", 5.0);
  bluez.mock("DropLink", belt);
  EXPECT_EQ(pending.get(), kOK);
  ASSERT_EQ(call("/disconnect", {{"deviceID", kBeltID}}), kOK);

  // A device that BlueZ forgets while it connects is looked for again, although bluetoothd
  // never answers the Connect it dropped; one that is out of range fails by the timeout.
  pending = connectFirstAs("hang", 20.0);
  bluez.mock("ForgetDevice", belt);
  EXPECT_EQ(advertiseUntilAnswered(pending), kOK);
  ASSERT_EQ(call("/disconnect", {{"deviceID", kBeltID}}), kOK);
  pending = connectFirstAs("hang", 1.0);
  bluez.mock("RemoveLEDevice", belt);
  EXPECT_EQ(pending.get(), failed(-100, "Operation timeout"));
}

TEST_F(BlueZEndToEnd, ForgottenDevicesAreFoundAgainUnderTheirIdentity) {
  // A resolvable private address: bluetoothd forgets the device TemporaryTimeout after its last
  // advertisement, and again after each disconnection (src/device.c).
  const std::string id = "00010203-0405-0000-0000-40FFEE000001";
  bluez.mock("SetTemporaryTimeout", 0.3);
  addBelt({}, "40:FF:EE:00:00:01");
  discoverBelt(id);
  ASSERT_EQ(call("/stopScan", json::object()), kOK);
  ASSERT_TRUE(eventually([&] { return !bluez.deviceExists(belt); }));

  // A connection looks for it, and the plug-in's identifier and scripts stay what they were.
  auto pending = connectLater(id, 5.0);
  EXPECT_EQ(advertiseUntilAnswered(pending), kOK);
  EXPECT_EQ(get("connections")["result"], id);
  EXPECT_TRUE(eventually([&] { return read(id, "180D", "2A37", "hex", 5.0) == value("0048"); }));

  ASSERT_EQ(call("/disconnect", {{"deviceID", id}}), kOK);
  ASSERT_TRUE(eventually([&] { return !bluez.deviceExists(belt); }));
  pending = connectLater("Belt", 5.0);
  EXPECT_EQ(advertiseUntilAnswered(pending), kOK);
  ASSERT_EQ(call("/disconnect", {{"deviceID", id}}), kOK);

  // One that does not come back fails by the command's timeout.
  ASSERT_TRUE(eventually([&] { return !bluez.deviceExists(belt); }));
  EXPECT_EQ(connect(id, "", 0.5), failed(-100, "Operation timeout"));
}

// bluetoothd refuses to start a client's discovery while its stop is still under way; a scan
// started again at once still finds devices. A ServicesResolved that comes ahead of the GATT
// objects still gives the whole profile.
TEST_F(BlueZEndToEnd, AScanStartedAgainAtOnceFindsDevicesAndEarlyResolutionGivesTheProfile) {
  addBelt();
  bluez.mock("SetResolveEarly", belt, true);
  discoverBelt();
  ASSERT_EQ(call("/stopScan", json::object()), kOK);
  ASSERT_EQ(startScan(""), kOK);
  ASSERT_TRUE(eventually([&] { return !bluez.mock<bool>("StoppingDiscovery", "hci0"); }));
  EXPECT_TRUE(eventually([&] {
    bluez.advertise(belt, {{"RSSI", rssi(-50)}});
    return discovered(kBeltID);
  }));

  ASSERT_EQ(connect(kBeltID, "", 5.0), kOK);
  EXPECT_TRUE(
      eventually([&] { return read(kBeltID, kVendor, kLocked, "hex", 5.0) == value("00"); }));
  EXPECT_EQ(read(kBeltID, "180D", "2A38", "hex", 5.0), value("0102"));
}

TEST_F(BlueZEndToEnd, AClassicAttemptConnectsOverLEOnceThePageTimesOut) {
  // A public address whose advertisement lacks "BR/EDR not supported": Device1.Connect pages
  // it over BR/EDR (src/device.c select_conn_bearer), which an LE device never answers.
  addBelt({{"AddressType", sdbus::Variant(std::string("public"))}});
  ASSERT_EQ(startScan(""), kOK);
  ASSERT_TRUE(eventually([&] {
    bluez.advertise(belt, {{"RSSI", rssi(-50)}, {"Flags", sdbus::Variant(uint8_t{0x02})}});
    return discovered(kBeltID);
  }));
  // bluetoothd pages the device, then connects it over LE and never answers Connect: the
  // device's Connected is what makes the connection, well within the command's timeout.
  ASSERT_EQ(connect(kBeltID, "", 5.0), kOK);
  EXPECT_EQ(logged("Connect " + belt + " bredr"), 1U);
  EXPECT_TRUE(
      eventually([&] { return read(kBeltID, "180D", "2A37", "hex", 5.0) == value("0048"); }));
  EXPECT_EQ(get("connections")["result"], kBeltID);
}

TEST_F(BlueZExperimental, ForgottenDevicesConnectByAddressUntilConnectDeviceSucceeds) {
  addBelt();
  discoverBelt();
  ASSERT_EQ(call("/stopScan", json::object()), kOK);
  bluez.mock("ForgetDevice", belt);
  ASSERT_EQ(connect(kBeltID, "", 5.0), kOK);
  EXPECT_EQ(logged("ConnectDevice"), 1U);
  EXPECT_TRUE(
      eventually([&] { return read(kBeltID, "180D", "2A37", "hex", 5.0) == value("0048"); }));

  // ConnectDevice's failure ("org.bluez.Failed", no message) is tried again.
  ASSERT_EQ(call("/disconnect", {{"deviceID", kBeltID}}), kOK);
  bluez.mock("ForgetDevice", belt);
  bluez.mock("SetConnectBehaviour", belt, "org.bluez.Error.Failed:le-connection-abort-by-local");
  auto pending = connectLater(kBeltID, 5.0);
  ASSERT_TRUE(eventually([&] { return logged("ConnectDevice") > 2; }));
  bluez.mock("SetConnectBehaviour", belt, "");
  EXPECT_EQ(pending.get(), kOK);
}

// A Connect that went for Bluetooth Classic makes BlueZ forget the device, so that
// ConnectDevice reaches it over LE; never a paired one, whose keys would go with it.
TEST_F(BlueZExperimental, AClassicFailureForgetsOnlyDevicesWithoutKeys) {
  addBelt({{"Paired", sdbus::Variant(true)}});
  discoverBelt();
  ASSERT_EQ(call("/stopScan", json::object()), kOK);
  bluez.mock("SetConnectBehaviour", belt, "org.bluez.Error.Failed:br-connection-page-timeout");
  EXPECT_EQ(connect(kBeltID, "", 5.0)["lastError"], -15);
  EXPECT_EQ(logged("RemoveDevice"), 0U);

  // The same for a belt that was never paired: forgotten, then connected by address.
  const std::string unpairedID = "00010203-0405-0000-0000-C0FFEE000002";
  addBelt({}, "C0:FF:EE:00:00:02");
  discoverBelt(unpairedID);
  ASSERT_EQ(call("/stopScan", json::object()), kOK);
  bluez.mock("SetConnectBehaviour", belt, "org.bluez.Error.Failed:br-connection-page-timeout");
  auto pending = connectLater(unpairedID, 5.0);
  ASSERT_TRUE(eventually([&] { return logged("RemoveDevice " + belt) == 1; }));
  bluez.mock("SetConnectBehaviour", belt, "");
  EXPECT_EQ(pending.get(), kOK);
  EXPECT_GE(logged("ConnectDevice"), 1U);
}

// ---- The helper as a peripheral ----

const std::string kPhone = "C0:FF:EE:00:00:09";
const std::string kPhoneID = "00010203-0405-0000-0000-C0FFEE000009";
// Subscriptions come from "every central" of hci0.
const std::string kEveryCentralID = "00010203-0405-0000-0000-000000000000";

class BlueZPeripheralEndToEnd : public BlueZEndToEnd {
 protected:
  // How many applications and advertisements hci0 has registered.
  sdbus::Struct<uint32_t, uint32_t> registrations() {
    return bluez.mock<sdbus::Struct<uint32_t, uint32_t>>("CountRegistrations", "hci0");
  }
  // Waits until bluetoothd has read an application that serves `serviceUUID`.
  bool serves(const std::string& serviceUUID) {
    return eventually([&] {
      for (const auto& [path, interfaces] :
           bluez.mock<BlueZDouble::ManagedObjects>("GetApplication", "hci0")) {
        auto service = interfaces.find("org.bluez.GattService1");
        if (service != interfaces.end() &&
            service->second.at("UUID").get<std::string>() == serviceUUID) {
          return true;
        }
      }
      return false;
    });
  }
  // The ATT error a central receives for a read of the characteristic, or "answered".
  std::string readError(const std::string& ch, const std::string& central, uint16_t mtu = 247) {
    try {
      bluez.mock<Bytes>("RemoteRead", "hci0", uuid128(ch), central, mtu);
    } catch (const sdbus::Error& e) {
      return e.getMessage();
    }
    return "answered";
  }
};

TEST_F(BlueZPeripheralEndToEnd, PublishedProfileAnswersCentralsAndPairsWithoutADesktopAgent) {
  // The helper's agent is registered once it has found bluetoothd, before any profile: the
  // adapter is bondable and the kernel pairs by Just Works. A device whose keys are stored is
  // refused, as bluetoothd refuses Just Works re-pairing.
  std::string phone = bluez.addLEDevice("hci0", kPhone, {});
  auto paired = [&] {
    try {
      bluez.mock("RemotePair", phone);
      return true;
    } catch (const sdbus::Error&) {
      return false;
    }
  };
  ASSERT_TRUE(eventually([&] { return paired(); }));
  EXPECT_FALSE(paired());

  ASSERT_EQ(setProfile(R"([{"UUID": "180D", "characteristics": [
      {"UUID": "2A37", "properties": "read|notify", "afterSubscribe": "Subscribed",
       "afterUnsubscribe": "Unsubscribed"},
      {"UUID": "2A38", "properties": "read|write", "afterWrite": "Written", "format": "hex"},
      {"UUID": "2A39", "properties": "read", "protection": 2},
      {"UUID": "2A3A", "properties": "read", "encrypted": true, "afterRead": "Read",
       "format": "hex"}]}])"),
            kOK);
  ASSERT_EQ(call("/startAdvertising", {{"options", "displayName=Lab Sensor"}}), kOK);
  ASSERT_TRUE(eventually(
      [&] { return !bluez.mock<BlueZDouble::Props>("GetAdvertisement", "hci0").empty(); }));
  auto ad = bluez.mock<BlueZDouble::Props>("GetAdvertisement", "hci0");
  EXPECT_EQ(ad["LocalName"].get<std::string>(), "Lab Sensor");
  EXPECT_EQ(ad["Type"].get<std::string>(), "peripheral");
  // LE General Discoverable, so that phones list it, and BR/EDR Not Supported.
  EXPECT_EQ(bluez.mock<uint8_t>("GetAdvertisingFlags", "hci0"), 0x06);
  ASSERT_TRUE(serves(kHeartRate));

  bluez.mock("RemoteWrite", "hci0", uuid128("2a38"), phone, Bytes{0x0A, 0x0B}, "request");
  EXPECT_EQ(scripts(1), std::vector<std::string>{"Written(" + kPhoneID + "\r0a0b)@Lab"});
  EXPECT_EQ(bluez.mock<Bytes>("RemoteRead", "hci0", uuid128("2a38"), phone, uint16_t{247}),
            (Bytes{0x0A, 0x0B}));
  // "Not found" (a value never set) cannot be sent through BlueZ: it arrives as Unlikely Error,
  // without bluetoothd logging an invalid code. Protection is "not supported".
  EXPECT_EQ(readError("2a37", phone), "0x0e");
  ASSERT_EQ(setLocal("2A39", "7", "uint8"), kOK);
  EXPECT_EQ(readError("2a39", phone), "0x06");
  // A value longer than the central's MTU less the 3 bytes of a response's header.
  std::string tablet = bluez.addLEDevice("hci0", "C0:FF:EE:00:00:0A", {});
  // An encrypted characteristic is refused to an unpaired central before the helper hears of it.
  ASSERT_EQ(setLocal("2A3A", "5e", "hex"), kOK);
  EXPECT_EQ(readError("2a3a", tablet), "0x0f");
  EXPECT_EQ(readError("2a3a", phone), "answered");
  EXPECT_EQ(scripts(1), std::vector<std::string>{"Read(" + kPhoneID + "\r5e)@Lab"});
  ASSERT_EQ(setLocal("2A38", std::string(2 * 48, 'a'), "hex"), kOK);
  EXPECT_EQ(readError("2a38", tablet, 50), "0x0d");
  ASSERT_EQ(setLocal("2A38", std::string(2 * 47, 'a'), "hex"), kOK);
  EXPECT_EQ(readError("2a38", tablet, 50), "answered");
  auto log = bluez.log();
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& l) {
                            return l.find("Invalid error code") != std::string::npos;
                          }),
            0);

  // bluetoothd cuts each notification to its central's MTU less 3: the helper sends no value
  // longer than the smallest subscriber's MTU allows (the watch's, whose MTU only its
  // subscription tells), so that each one gets all of it.
  std::string watch = bluez.addLEDevice("hci0", "C0:FF:EE:00:00:0B", {});
  const std::string beat = uuid128("2a37");
  const std::string subscribed = "Subscribed(" + kEveryCentralID + "\r";
  const std::string unsubscribed = "Unsubscribed(" + kEveryCentralID + "\rHi)@Lab";
  bluez.mock("RemoteStartNotify", "hci0", beat, watch, uint16_t{23});
  EXPECT_EQ(scripts(1), std::vector<std::string>{subscribed + ")@Lab"});
  bluez.mock("RemoteStartNotify", "hci0", beat, phone, uint16_t{247});
  ASSERT_TRUE(eventually([&] { return logged("AcquireNotify answered " + phone) == 1; }));
  EXPECT_EQ(setLocal("2A37", std::string(2 * 21, 'b'), "hex"), failed(-20, "Data is too long"));
  ASSERT_EQ(setLocal("2A37", std::string(2 * 20, 'b'), "hex"), kOK);
  const std::vector<Bytes> sent{Bytes(20, 0xBB)};
  EXPECT_TRUE(eventually([&] {
    return bluez.mock<std::vector<Bytes>>("GetNotifications", "hci0", beat, watch) == sent &&
           bluez.mock<std::vector<Bytes>>("GetNotifications", "hci0", beat, phone) == sent;
  }));
  ASSERT_EQ(setLocal("2A37", "Hi", "utf-8"), kOK);
  // Links end: the unbonded watch's subscription goes, the bonded phone's stays, so the helper
  // hears nothing until the phone comes back and unsubscribes.
  bluez.mock("DropLink", watch);
  bluez.mock("DropLink", phone);
  EXPECT_TRUE(scripts(1, 0.5).empty());
  EXPECT_EQ(get("subscribed")["result"], kEveryCentralID);
  bluez.mock("RemoteStopNotify", "hci0", beat, phone);
  EXPECT_EQ(scripts(1), std::vector<std::string>{unsubscribed});
  EXPECT_EQ(get("subscribed")["result"], "");
  // The adapter switched off ends the links, and with them an unbonded central's subscription.
  bluez.mock("RemoteStartNotify", "hci0", beat, watch, uint16_t{23});
  EXPECT_EQ(scripts(1), std::vector<std::string>{subscribed + "Hi)@Lab"});
  bluez.mock("SetPowered", "hci0", false);
  EXPECT_EQ(scripts(1), std::vector<std::string>{unsubscribed});
  EXPECT_EQ(get("subscribed")["result"], "");
  bluez.mock("SetPowered", "hci0", true);
  ASSERT_TRUE(statusBecomes("powered On"));

  ASSERT_EQ(call("/stopAdvertising", json::object()), kOK);
  EXPECT_TRUE(eventually(
      [&] { return bluez.mock<BlueZDouble::Props>("GetAdvertisement", "hci0").empty(); }));

  // A restarted bluetoothd gets the profile and the agent again.
  bluez.stopBlueZ();
  bluez.startBlueZ();
  bluez.addAdapter("hci0");
  EXPECT_TRUE(serves(kHeartRate));
  phone = bluez.addLEDevice("hci0", kPhone, {});
  EXPECT_TRUE(eventually([&] { return paired(); }));
}

TEST_F(BlueZPeripheralEndToEnd, PowerCyclesKeepOneApplicationAndRefusedProfilesChangeNothing) {
  ASSERT_EQ(setProfile(R"([{"UUID": "180D", "characteristics": [
      {"UUID": "2A37", "properties": "read"}]}])"),
            kOK);
  ASSERT_EQ(call("/startAdvertising", {{"options", ""}}), kOK);
  ASSERT_TRUE(eventually([&] { return registrations() == std::tuple(1U, 1U); }));

  bluez.mock("SetPowered", "hci0", false);
  ASSERT_TRUE(statusBecomes("powered Off"));
  bluez.mock("SetPowered", "hci0", true);
  ASSERT_TRUE(statusBecomes("powered On"));
  // bluetoothd kept both; the stop takes the advertisement away.
  ASSERT_EQ(call("/stopAdvertising", json::object()), kOK);
  EXPECT_TRUE(eventually([&] { return registrations() == std::tuple(1U, 0U); }));

  // A profile changed after the power cycle is the one bluetoothd serves.
  ASSERT_EQ(setProfile(R"([{"UUID": "180F", "characteristics": [
      {"UUID": "2A19", "properties": "read"}]}])"),
            kOK);
  ASSERT_TRUE(serves("0000180f-0000-1000-8000-00805f9b34fb"));

  // Profiles that bluetoothd would reject are refused up front.
  EXPECT_EQ(setProfile(R"([{"UUID": "180D", "characteristics": []},
      {"UUID": "1801", "characteristics": [{"UUID": "2A05", "properties": "read"}]}])"),
            failed(-50, "Service 1801 is provided by BlueZ itself and cannot be published"));
  EXPECT_EQ(setProfile(R"([{"UUID": "180D", "characteristics": [
      {"UUID": "2A37", "properties": ""}]}])"),
            failed(-50, "Characteristic 2A37 needs a property for BlueZ to publish it"));
  EXPECT_TRUE(
      helper.waitForStdoutLine("PeripheralDelegate: Profile refused: Characteristic 2A37 needs a "
                               "property for BlueZ to publish it"));
  // Nothing changed: the stored profile and what bluetoothd serves.
  EXPECT_NE(get("localprofile")["result"].get<std::string>().find("180F"), std::string::npos);
  EXPECT_TRUE(registrations() == std::tuple(1U, 0U));
  EXPECT_TRUE(serves("0000180f-0000-1000-8000-00805f9b34fb"));
  ASSERT_EQ(call("/startAdvertising", {{"options", ""}}), kOK);
  EXPECT_TRUE(eventually([&] { return registrations() == std::tuple(1U, 1U); }));

  // Stops and starts while bluetoothd stalls: each advertising call waits for the answer to the
  // last, a registration whose advertising stopped meanwhile is dropped, and the helper goes on.
  bluez.freeze(true);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(call("/stopAdvertising", json::object()), kOK);
    EXPECT_EQ(call("/startAdvertising", {{"options", ""}}), kOK);
  }
  EXPECT_EQ(call("/stopAdvertising", json::object()), kOK);
  bluez.freeze(false);
  EXPECT_TRUE(eventually([&] { return registrations() == std::tuple(1U, 0U); }));
  EXPECT_EQ(call("/startAdvertising", {{"options", ""}}), kOK);
  EXPECT_TRUE(eventually([&] { return registrations() == std::tuple(1U, 1U); }));
}

TEST_F(BlueZPeripheralEndToEnd, WritesWithoutResponseAreAcknowledgedBeforeTheRoleDecides) {
  ASSERT_EQ(setProfile(R"([{"UUID": "180D", "characteristics": [
      {"UUID": "2A38", "properties": "read|writeWithoutResponse", "protection": 1,
       "afterWrite": "Written"},
      {"UUID": "2A39", "properties": "read|write", "protection": 1}]}])"),
            kOK);
  ASSERT_TRUE(serves(kHeartRate));
  std::string phone = bluez.addLEDevice("hci0", kPhone, {});
  // bluetoothd has told the central "written" before the role refuses it: nothing is stored.
  bluez.mock("RemoteWrite", "hci0", uuid128("2a38"), phone, Bytes{0x01}, "request");
  ASSERT_TRUE(helper.waitForStdoutLine("PeriodheralDelegate: Insufficient authorization level"));
  EXPECT_EQ(getLocal("2A38", "hex"), reply(-14, "Cannot get value of unset characteristic", "?"));
  // Without write-without-response the refusal reaches the central.
  try {
    bluez.mock("RemoteWrite", "hci0", uuid128("2a39"), phone, Bytes{0x01}, "request");
    ADD_FAILURE() << "the write was answered";
  } catch (const sdbus::Error& e) {
    EXPECT_EQ(e.getMessage(), "0x06");
  }
  // Once allowed, a write without response is stored and its script runs.
  ASSERT_EQ(call("/set", {{"selector", "authorization"}, {"deviceID", kPhoneID}, {"value", "1"}}),
            kOK);
  bluez.mock("RemoteWrite", "hci0", uuid128("2a38"), phone, Bytes{'A'}, "command");
  EXPECT_EQ(scripts(1), std::vector<std::string>{"Written(" + kPhoneID + "\rA)@Lab"});
}

}  // namespace

namespace {

TEST(BlueZWithoutBusTest, HelperKeepsServingAndSaysUnsupported) {
  HelperProcess::Options options;
  options.extraArgs = {"--radio", "bluez"};
  options.env = {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/velnor-bus"}};
  HelperProcess helper(options);
  HttpReply status = helper.post("/get", R"({"selector":"status"})");
  ASSERT_EQ(status.status, 200);
  EXPECT_NE(status.body.find(R"(\"bluetooth\": \"unsupported\")"), std::string::npos)
      << status.body;
  EXPECT_EQ(helper.post("/startScan", R"({"options":"","filename":"Lab"})").status, 200);
  EXPECT_EQ(helper.post("/getLastError", "{}").status, 200);
}

}  // namespace
