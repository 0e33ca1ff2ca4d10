// A BlueZ double for tests and benchmarks of the BlueZ backend: a private D-Bus bus of its own
// (system-bus-like, every connection may own any name and send to anyone) with the bluetoothd
// double of tests/bluez/bluez_double.py on it, and thin wrappers for its org.bluez.Mock controls.
//
// A test points the backend at the bus by setting DBUS_SYSTEM_BUS_ADDRESS to address(), with
// setenv in its own process before the backend connects, or in a child helper's environment.
// Not thread-safe: call it from one thread (the wrappers make synchronous calls on a connection
// of the fixture's own, which needs no event loop).
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"

class BlueZDouble {
 public:
  using Bytes = std::vector<uint8_t>;
  using Props = std::map<std::string, sdbus::Variant>;
  using ManagedObjects = std::map<sdbus::ObjectPath, std::map<std::string, Props>>;

  // Starts the bus and the double, and returns once org.bluez is owned. Throws
  // std::runtime_error when either does not come up.
  BlueZDouble();
  ~BlueZDouble();
  BlueZDouble(const BlueZDouble&) = delete;
  BlueZDouble& operator=(const BlueZDouble&) = delete;

  const std::string& address() const { return address_; }
  // bluetoothd vanishes: the double is killed and this returns once org.bluez has no owner.
  void stopBlueZ();
  // The system bus goes away, as when its daemon is restarted: the daemon is killed.
  void stopBus();
  // bluetoothd (re)starts empty, with no adapter until one is added.
  void startBlueZ();
  // bluetoothd stalls (frozen) or goes on: calls to it wait meanwhile, unanswered.
  void freeze(bool frozen);
  // What the double logged (every call of a control and of the BlueZ API) and wrote to stderr,
  // each line it logged before this call included. Not while frozen.
  std::vector<std::string> log() const;

  // Adapters: name is "hci0" and the like; the adapter is powered.
  std::string addAdapter(const std::string& name, const std::string& systemName = "velnor-test");
  void setPowered(const std::string& adapter, bool powered);
  Props discoveryFilter(const std::string& adapter);
  // Whether a StopDiscovery waits for the controller to stop (20 ms, as bluetoothd answers it
  // when the controller has stopped).
  bool stoppingDiscovery(const std::string& adapter);

  // bluetoothd -E: Adapter1.ConnectDevice is offered.
  void setExperimental(const std::string& adapter, bool on);
  // main.conf's TemporaryTimeout, in seconds (fractions allowed here).
  void setTemporaryTimeout(double seconds);
  // A read's Value change follows its reply instead of coming before it.
  void setValueAfterReply(bool after);

  // Devices. props may hold Name (s), RSSI (n), ManufacturerData (a{qv} of ay), ServiceData
  // (a{sv} of ay), UUIDs (as), Paired (b), AddressType (s: "random", the default, or "public");
  // absent ones stay absent. The device stays in range until removeLEDevice, while bluetoothd
  // removes its object as a temporary device would.
  std::string addLEDevice(const std::string& adapter, const std::string& address,
                          const Props& props = {});
  // The device advertises: props as for addLEDevice without AddressType, plus Flags (y, 0x06
  // when absent). False when bluetoothd dropped it (not discovering, or filtered out).
  bool advertise(const std::string& device, const Props& props);
  // Whether bluetoothd has an object for the device; forgetDevice removes it (as another
  // client's Adapter1.RemoveDevice would), the device staying in range.
  bool deviceExists(const std::string& device);
  void forgetDevice(const std::string& device);
  // ServicesResolved turns true before the device's GATT objects are announced.
  void setResolveEarly(const std::string& device, bool early);
  void floodRSSI(const std::string& device, uint32_t count);
  void removeLEDevice(const std::string& device);
  // "" succeeds, an error name fails with it (message after a ":"), "att:0xNN" fails as the
  // device's ATT error NN, "hang" never answers.
  void setConnectBehaviour(const std::string& device, const std::string& behaviour);
  void dropLink(const std::string& device);

  // Remote GATT, on the bus once the device's services are resolved. value is what ReadValue
  // of the characteristic returns.
  std::string addGattService(const std::string& device, const std::string& uuid);
  std::string addGattCharacteristic(const std::string& service, const std::string& uuid,
                                    const std::vector<std::string>& flags, const Bytes& value = {});
  // method: ReadValue, WriteValue, StartNotify or StopNotify; behaviour as for Connect.
  void setCharBehaviour(const std::string& characteristic, const std::string& method,
                        const std::string& behaviour);
  void notify(const std::string& characteristic, const Bytes& value);
  // Every write so far with its "type" option ("" when absent), oldest first.
  std::vector<std::pair<Bytes, std::string>> writes(const std::string& characteristic);

  // The local application and advertisement registered on an adapter (empty when none).
  ManagedObjects application(const std::string& adapter);
  Props advertisement(const std::string& adapter);
  // How many applications and advertisements the adapter has registered.
  std::pair<uint32_t, uint32_t> registrations(const std::string& adapter);
  // The Flags AD field the advertisement registered last goes out with (0 when none).
  uint8_t advertisingFlags(const std::string& adapter);
  // A remote central's requests to the registered characteristic with that UUID, over its link
  // (up from its first request on, with the ATT MTU the last request gave); read and write
  // throw sdbus::Error "org.bluez.Mock.ATTError" with the ATT code the central receives
  // ("0x0e") when the application fails them. Notifications are switched without waiting for
  // the application, as bluetoothd does; a subscription ends with the link (dropLink, or the
  // adapter powered off) unless the central is bonded.
  Bytes remoteRead(const std::string& adapter, const std::string& charUuid,
                   const std::string& device, uint16_t mtu = 247);
  void remoteWrite(const std::string& adapter, const std::string& charUuid,
                   const std::string& device, const Bytes& value,
                   const std::string& type = "request");
  void remoteStartNotify(const std::string& adapter, const std::string& charUuid,
                         const std::string& device, uint16_t mtu = 247);
  void remoteStopNotify(const std::string& adapter, const std::string& charUuid,
                        const std::string& device);
  // The notifications of that characteristic the central received, oldest first, each cut to
  // its MTU less 3.
  std::vector<Bytes> notifications(const std::string& adapter, const std::string& charUuid,
                                   const std::string& device);
  // The device pairs with the adapter through bluetoothd's default agent (Just Works, or a
  // passkey to confirm); throws sdbus::Error "org.bluez.Mock.PairingRejected" when refused.
  void remotePair(const std::string& device, bool justWorks);

 private:
  struct Dir {
    std::string path;
    ~Dir();
  };

  // Calls a control of the double and returns its reply.
  template <typename... Args>
  sdbus::MethodReply call(std::chrono::microseconds timeout, const std::string& method,
                          const Args&... args);
  // Calls a control of the double and returns the one value of its reply.
  template <typename Result, typename... Args>
  Result ask(std::chrono::microseconds timeout, const std::string& method, const Args&... args);
  bool bluezOwned();
  void waitForBlueZ(bool owned);

  Dir dir_;
  std::unique_ptr<ChildProcess> bus_;
  std::string address_;
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IProxy> busDriver_;
  std::unique_ptr<sdbus::IProxy> mock_;
  std::unique_ptr<ChildProcess> bluez_;
  mutable unsigned marks_ = 0;  // the log's synchronisation marks so far
};
