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
#include <type_traits>
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

  // The double's controls on org.bluez.Mock (tests/bluez/bluez_double.py), called by name with
  // their arguments, object paths as strings; the reply's one value, if Result is not void:
  // mock("DropLink", device), mock<bool>("StoppingDiscovery", "hci0"). A GATT or Connect
  // behaviour is "" (success), an error name (message after a ":"), "att:0xNN" (the device's ATT
  // error NN) or "hang" (never answered). Remote* controls act as a remote central over its own
  // link; they fail with org.bluez.Mock.ATTError and the ATT code it receives ("0x0e").
  static constexpr const char* kMock = "org.bluez.Mock";
  template <typename Result = void, typename... Args>
  Result mock(const std::string& method, const Args&... args) {
    auto message = mock_->createMethodCall(kMock, method);
    (message << ... << args);
    // Longer than the double's own wait for the application it calls, so its answer gets through.
    [[maybe_unused]] auto reply = mock_->callMethod(message, std::chrono::seconds(35));
    if constexpr (!std::is_void_v<Result>) {
      Result result{};
      reply >> result;
      return result;
    }
  }

  // Adapters: name is "hci0" and the like; the adapter is powered.
  std::string addAdapter(const std::string& name, const std::string& systemName = "velnor-test") {
    return mock<std::string>("AddAdapter", name, systemName);
  }
  // Devices. props may hold Name (s), RSSI (n), ManufacturerData (a{qv} of ay), ServiceData
  // (a{sv} of ay), UUIDs (as), Paired (b), AddressType (s: "random", the default, or "public");
  // absent ones stay absent. The device stays in range until RemoveLEDevice, while bluetoothd
  // removes its object as a temporary device would.
  std::string addLEDevice(const std::string& adapter, const std::string& address,
                          const Props& props = {}) {
    return mock<std::string>("AddLEDevice", adapter, address, props);
  }
  // The device advertises: props as for addLEDevice without AddressType, plus Flags (y, 0x06
  // when absent). False when bluetoothd dropped it (not discovering, or filtered out).
  bool advertise(const std::string& device, const Props& props) {
    return mock<bool>("Advertise", device, props);
  }
  // Whether bluetoothd has an object for the device.
  bool deviceExists(const std::string& device) { return mock<bool>("DeviceExists", device); }
  void floodRSSI(const std::string& device, uint32_t count);
  // Remote GATT, on the bus once the device's services are resolved. value is what ReadValue
  // of the characteristic returns.
  std::string addGattService(const std::string& device, const std::string& uuid) {
    return mock<std::string>("AddGattService", device, uuid);
  }
  std::string addGattCharacteristic(const std::string& service, const std::string& uuid,
                                    const std::vector<std::string>& flags,
                                    const Bytes& value = {}) {
    return mock<std::string>("AddGattCharacteristic", service, uuid, flags, value);
  }

 private:
  struct Dir {
    std::string path;
    ~Dir();
  };

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
