// The connection to bluetoothd: the system bus, its event loop thread, and a cache of BlueZ's
// objects kept current from the object manager's and the properties' signals. Both managers of
// the BlueZ backend share one.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bluetooth/bluez/bluez_properties.h"

namespace bluez {

// Told about changes on the bus thread, after the cache has taken them in; must not block.
class BusListener {
 public:
  virtual ~BusListener() = default;
  // The adapter appeared, vanished, or changed a property (Powered among them).
  virtual void adapterChanged() {}
  // Interfaces were added to `path` or properties of `interface` changed (only `changed`).
  virtual void propertiesChanged(const std::string& /*path*/, const std::string& /*interface*/,
                                 const Properties& /*changed*/, bool /*added*/) {}
  // `interfaces` were removed from `path` (also when bluetoothd went away).
  virtual void interfacesRemoved(const std::string& /*path*/,
                                 const std::vector<std::string>& /*interfaces*/) {}
};

class Bus : public std::enable_shared_from_this<Bus> {
 public:
  // Runs on the bus thread with the reply, or with the error (then `reply` must not be read).
  // It runs on the calling thread when the call cannot even be sent.
  using ReplyHandler = std::function<void(sdbus::MethodReply& reply, const sdbus::Error* error)>;

  // Connects to the system bus ($DBUS_SYSTEM_BUS_ADDRESS when set) and starts the event loop
  // thread; the adapter is "/org/bluez/" + adapterName. Never throws: without a bus the result
  // is a bus that has no adapter, for good. Any thread.
  static std::shared_ptr<Bus> open(const std::string& adapterName);
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // The rest: any thread.
  const std::string& adapterPath() const { return adapterPath_; }
  // poweredOn or poweredOff when the adapter exists; unsupported without it (no bus, no
  // bluetoothd, or no such adapter).
  CBManagerState adapterState() const;
  std::string adapterAddress() const;
  // The cached interfaces of `path`, none when BlueZ has no such object.
  std::optional<Interfaces> object(const std::string& path) const;
  // The cached properties of `interface` on `path`, none when absent.
  std::optional<Properties> properties(const std::string& path, const std::string& interface) const;
  // Objects with `interface` whose path starts with `prefix` + "/", ordered by path.
  std::vector<std::pair<std::string, Properties>> objectsWith(const std::string& interface,
                                                              const std::string& prefix) const;

  // Takes in bluetoothd's whole object tree again, without telling the listeners, then runs
  // `done` on the bus thread (also when the call failed): signals can announce a state (say
  // ServicesResolved) before the objects that make it up.
  void reload(std::function<void()> done);

  // Listeners are held weakly and told in the order they were added.
  void addListener(const std::weak_ptr<BusListener>& listener);

  // Calls `method` of `interface` on bluetoothd's object `path` with `args`, without blocking.
  template <class... Args>
  void call(const std::string& path, const std::string& interface, const std::string& method,
            std::chrono::milliseconds timeout, ReplyHandler done, const Args&... args);

  // The connection for exported objects; null without a bus.
  sdbus::IConnection* connection() const { return connection_.get(); }

 private:
  explicit Bus(std::string adapterName);
  void start();
  // Bus thread, until the loop is left or the connection breaks.
  void runLoop();
  // Any thread but the bus thread: ends the loop and waits for its thread.
  void stopLoop();
  void watchSignals();
  void fetchOwner();
  void ownerChanged(const std::string& owner);
  void loadObjects(std::map<sdbus::ObjectPath, Interfaces> objects);
  void mergeObjects(std::map<sdbus::ObjectPath, Interfaces>& objects);
  void forgetObjects();
  void onInterfacesAdded(sdbus::Message& message);
  void onInterfacesRemoved(sdbus::Message& message);
  void onPropertiesChanged(sdbus::Message& message);
  void onNameOwnerChanged(sdbus::Message& message);
  bool fromBlueZ(const sdbus::Message& message) const;
  sdbus::IProxy* proxy(const std::string& path);
  // Copies `done`, so that the caller still holds it when the call cannot be sent.
  void send(sdbus::IProxy* proxy, sdbus::MethodCall& call, std::chrono::milliseconds timeout,
            const ReplyHandler& done);
  std::vector<std::shared_ptr<BusListener>> listeners();
  void notifyAdded(const std::string& path, const Interfaces& interfaces);

  const std::string adapterPath_;
  std::unique_ptr<sdbus::IConnection> connection_;
  // The thread that runs the event loop: the destructor joins it, so the bus is never
  // destroyed there. Set before open returns, so any thread may read its identifier.
  std::thread loop_;
  mutable std::mutex mutex_;
  std::string owner_;  // bluetoothd's unique name, empty while it is away
  mutable std::atomic<CBManagerState> lastState_{CBManagerState::unknown};
  std::map<std::string, Interfaces> objects_;
  std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies_;
  std::vector<std::weak_ptr<BusListener>> listeners_;
};

template <class... Args>
void Bus::call(const std::string& path, const std::string& interface, const std::string& method,
               std::chrono::milliseconds timeout, ReplyHandler done, const Args&... args) {
  sdbus::IProxy* target = proxy(path);
  if (target == nullptr) {
    sdbus::MethodReply none;
    sdbus::Error error("org.freedesktop.DBus.Error.Disconnected", "No system bus");
    return done(none, &error);
  }
  try {
    auto message = target->createMethodCall(interface, method);
    ((void)(message << args), ...);
    send(target, message, timeout, done);
  } catch (const sdbus::Error& e) {
    sdbus::MethodReply none;
    done(none, &e);
  }
}

}  // namespace bluez
