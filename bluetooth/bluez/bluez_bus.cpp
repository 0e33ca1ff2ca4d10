#include "bluetooth/bluez/bluez_bus.h"

#include <cstdio>

#if defined(__SANITIZE_THREAD__)
// libsdbus-c++ is not built with ThreadSanitizer: the reference counts it drops on the bus
// thread are invisible to it, so the frees that follow look like races with our own drops.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libsdbus-c++.so\n";
}
#endif

namespace bluez {

namespace {

constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";

void report(const char* what, const std::exception& e) {
  std::fprintf(stderr, "BlueZ: %s: %s\n", what, e.what());
}

}  // namespace

Bus::Bus(std::string adapterName) : adapterPath_("/org/bluez/" + std::move(adapterName)) {}

std::shared_ptr<Bus> Bus::open(const std::string& adapterName) {
  // The last owner can let go inside a callback, on the loop's own thread, which the destructor
  // joins: the bus is then destroyed on a thread of its own once that callback has returned.
  std::shared_ptr<Bus> bus(new Bus(adapterName), [](Bus* b) {
    if (std::this_thread::get_id() != b->loop_.get_id()) return delete b;
    try {
      std::thread([b] { delete b; }).detach();
    } catch (const std::exception& e) {
      report("the bus is left open", e);  // no thread to close it: better kept than deadlocked
    }
  });
  bus->start();
  return bus;
}

Bus::~Bus() {
  if (!connection_) return;
  stopLoop();
  std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies;
  std::lock_guard lock(mutex_);
  proxies.swap(proxies_);
}

void Bus::start() {
  try {
    connection_ = sdbus::createSystemBusConnection();
  } catch (const std::exception& e) {
    report("no system bus", e);
    return;
  }
  try {
    watchSignals();
    loop_ = std::thread([this] { runLoop(); });
    fetchOwner();
  } catch (const std::exception& e) {
    report("the system bus cannot be watched", e);
    stopLoop();
    connection_.reset();
  }
}

// sdbus-c++ lets a broken connection (the bus daemon gone, say restarted) out of its loop as an
// exception, which on its own thread would end the process: here it ends the loop instead, and
// the adapter reads as absent from then on.
void Bus::runLoop() {
  try {
    connection_->enterEventLoop();
  } catch (const std::exception& e) {
    report("the system bus connection ended", e);
    ownerChanged("");  // as if bluetoothd had gone: its objects are forgotten
  }
}

void Bus::stopLoop() {
  try {
    connection_->leaveEventLoop();
  } catch (const std::exception& e) {
    report("leaving the event loop failed", e);
  }
  if (loop_.joinable()) loop_.join();
}

void Bus::watchSignals() {
  std::weak_ptr<Bus> weak = weak_from_this();
  auto on = [weak](void (Bus::*handler)(sdbus::Message&)) {
    return [weak, handler](sdbus::Message& message) {
      auto self = weak.lock();
      if (!self) return;
      try {
        (self.get()->*handler)(message);
      } catch (const std::exception& e) {
        report("a signal could not be read", e);
      }
    };
  };
  connection_->addMatch(
      "type='signal',interface='org.freedesktop.DBus.ObjectManager',member='InterfacesAdded'",
      on(&Bus::onInterfacesAdded), sdbus::floating_slot);
  connection_->addMatch(
      "type='signal',interface='org.freedesktop.DBus.ObjectManager',member='InterfacesRemoved'",
      on(&Bus::onInterfacesRemoved), sdbus::floating_slot);
  connection_->addMatch(
      "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
      "path_namespace='/org/bluez'",
      on(&Bus::onPropertiesChanged), sdbus::floating_slot);
  connection_->addMatch(
      "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
      "member='NameOwnerChanged',arg0='org.bluez'",
      on(&Bus::onNameOwnerChanged), sdbus::floating_slot);
}

void Bus::onNameOwnerChanged(sdbus::Message& message) {
  std::string name, oldOwner, newOwner;
  message >> name >> oldOwner >> newOwner;
  ownerChanged(newOwner);
}

// Asks the bus who owns org.bluez; an error means bluetoothd is not running (yet).
void Bus::fetchOwner() {
  auto dbus = sdbus::createProxy(*connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus");
  auto message = dbus->createMethodCall("org.freedesktop.DBus", "GetNameOwner");
  message << std::string(kService);
  std::weak_ptr<Bus> weak = weak_from_this();
  send(dbus.get(), message, std::chrono::seconds(5),
       [weak](sdbus::MethodReply& reply, const sdbus::Error* error) {
         auto self = weak.lock();
         if (!self || error) return;
         std::string owner;
         reply >> owner;
         self->ownerChanged(owner);
       });
  std::lock_guard lock(mutex_);
  proxies_["org.freedesktop.DBus"] = std::move(dbus);
}

void Bus::ownerChanged(const std::string& owner) {
  {
    std::lock_guard lock(mutex_);
    if (owner == owner_) return;
    owner_ = owner;
  }
  forgetObjects();
  if (owner.empty()) return;
  std::weak_ptr<Bus> weak = weak_from_this();
  call("/", kObjectManager, "GetManagedObjects", std::chrono::seconds(10),
       [weak](sdbus::MethodReply& reply, const sdbus::Error* error) {
         auto self = weak.lock();
         if (!self) return;
         if (error) {
           std::fprintf(stderr, "BlueZ: GetManagedObjects failed: %s\n", error->what());
           return;
         }
         std::map<sdbus::ObjectPath, Interfaces> objects;
         try {
           reply >> objects;
         } catch (const std::exception& e) {
           report("GetManagedObjects answered strangely", e);
         }
         self->loadObjects(std::move(objects));
       });
}

void Bus::mergeObjects(std::map<sdbus::ObjectPath, Interfaces>& objects) {
  std::lock_guard lock(mutex_);
  for (auto& [path, interfaces] : objects) {
    for (auto& [name, props] : interfaces) objects_[path][name] = props;
  }
}

void Bus::loadObjects(std::map<sdbus::ObjectPath, Interfaces> objects) {
  mergeObjects(objects);
  for (const auto& [path, interfaces] : objects) {
    if (auto now = object(path)) notifyAdded(path, *now);
  }
  for (const auto& l : listeners()) l->adapterChanged();
}

void Bus::reload(std::function<void()> done) {
  std::weak_ptr<Bus> weak = weak_from_this();
  call("/", kObjectManager, "GetManagedObjects", std::chrono::seconds(10),
       [weak, done = std::move(done)](sdbus::MethodReply& reply, const sdbus::Error* error) {
         auto self = weak.lock();
         if (self && !error) {
           std::map<sdbus::ObjectPath, Interfaces> objects;
           try {
             reply >> objects;
             self->mergeObjects(objects);
           } catch (const std::exception& e) {
             report("GetManagedObjects answered strangely", e);
           }
         }
         done();
       });
}

// bluetoothd went away (or came back): every object it had is gone.
void Bus::forgetObjects() {
  std::map<std::string, Interfaces> gone;
  {
    std::lock_guard lock(mutex_);
    gone.swap(objects_);
  }
  for (const auto& l : listeners()) {
    for (const auto& [path, interfaces] : gone) {
      std::vector<std::string> names;
      for (const auto& [name, props] : interfaces) names.push_back(name);
      l->interfacesRemoved(path, names);
    }
    l->adapterChanged();
  }
}

bool Bus::fromBlueZ(const sdbus::Message& message) const {
  std::lock_guard lock(mutex_);
  return !owner_.empty() && message.getSender() == owner_;
}

void Bus::onInterfacesAdded(sdbus::Message& message) {
  if (!fromBlueZ(message)) return;
  sdbus::ObjectPath path;
  Interfaces interfaces;
  message >> path >> interfaces;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [name, props] : interfaces) {
      auto& cached = objects_[path][name];
      for (const auto& [key, value] : props) cached[key] = value;
    }
  }
  notifyAdded(path, interfaces);
  if (path == adapterPath_ && interfaces.count(kAdapter)) {
    for (const auto& l : listeners()) l->adapterChanged();
  }
}

void Bus::onInterfacesRemoved(sdbus::Message& message) {
  if (!fromBlueZ(message)) return;
  sdbus::ObjectPath path;
  std::vector<std::string> names;
  message >> path >> names;
  {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(path);
    if (it != objects_.end()) {
      for (const auto& name : names) it->second.erase(name);
      if (it->second.empty()) objects_.erase(it);
    }
  }
  for (const auto& l : listeners()) {
    l->interfacesRemoved(path, names);
    if (path == adapterPath_) l->adapterChanged();
  }
}

void Bus::onPropertiesChanged(sdbus::Message& message) {
  if (!fromBlueZ(message)) return;
  std::string path = message.getPath();
  std::string interface;
  Properties changed;
  std::vector<std::string> invalidated;
  message >> interface >> changed >> invalidated;
  {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(path);
    if (it == objects_.end()) return;  // properties of an object BlueZ never announced
    auto& cached = it->second[interface];
    for (const auto& [key, value] : changed) cached[key] = value;
    for (const auto& key : invalidated) cached.erase(key);
  }
  for (const auto& l : listeners()) {
    l->propertiesChanged(path, interface, changed, false);
    if (path == adapterPath_ && interface == kAdapter) l->adapterChanged();
  }
}

void Bus::notifyAdded(const std::string& path, const Interfaces& interfaces) {
  for (const auto& l : listeners()) {
    for (const auto& [name, props] : interfaces) l->propertiesChanged(path, name, props, true);
  }
}

CBManagerState Bus::adapterState() const {
  auto adapter = properties(adapterPath_, kAdapter);
  CBManagerState state = CBManagerState::unsupported;
  std::optional<bool> powered;
  if (adapter) {
    powered = property<bool>(*adapter, "Powered");
    state = powered.value_or(false) ? CBManagerState::poweredOn : CBManagerState::poweredOff;
  }
  // Each change is written down with what it was read from, so that a log shows why the
  // helper thought the adapter on or off.
  if (lastState_.exchange(state) != state) {
    std::fprintf(stderr, "BlueZ: %s reads as %s (%s)\n", adapterPath_.c_str(),
                 state == CBManagerState::poweredOn    ? "on"
                 : state == CBManagerState::poweredOff ? "off"
                                                       : "absent",
                 !adapter  ? "no Adapter1"
                 : powered ? (*powered ? "Powered true" : "Powered false")
                           : "Adapter1 without Powered");
  }
  return state;
}

std::string Bus::adapterAddress() const {
  auto adapter = properties(adapterPath_, kAdapter);
  if (!adapter) return "";
  return property<std::string>(*adapter, "Address").value_or("");
}

std::optional<Interfaces> Bus::object(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(path);
  if (it == objects_.end()) return std::nullopt;
  return it->second;
}

std::optional<Properties> Bus::properties(const std::string& path,
                                          const std::string& interface) const {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(path);
  if (it == objects_.end()) return std::nullopt;
  auto found = it->second.find(interface);
  if (found == it->second.end()) return std::nullopt;
  return found->second;
}

std::vector<std::pair<std::string, Properties>> Bus::objectsWith(const std::string& interface,
                                                                 const std::string& prefix) const {
  std::vector<std::pair<std::string, Properties>> found;
  std::lock_guard lock(mutex_);
  for (auto it = objects_.lower_bound(prefix + "/"); it != objects_.end(); ++it) {
    if (it->first.compare(0, prefix.size() + 1, prefix + "/") != 0) break;
    auto props = it->second.find(interface);
    if (props != it->second.end()) found.emplace_back(it->first, props->second);
  }
  return found;
}

void Bus::addListener(const std::weak_ptr<BusListener>& listener) {
  std::lock_guard lock(mutex_);
  listeners_.push_back(listener);
}

std::vector<std::shared_ptr<BusListener>> Bus::listeners() {
  std::vector<std::shared_ptr<BusListener>> alive;
  std::lock_guard lock(mutex_);
  for (const auto& weak : listeners_) {
    if (auto l = weak.lock()) alive.push_back(std::move(l));
  }
  return alive;
}

// Proxies are made outside the lock: the bus thread holds the library's lock while it runs
// our handlers, and they take ours.
sdbus::IProxy* Bus::proxy(const std::string& path) {
  if (!connection_) return nullptr;
  {
    std::lock_guard lock(mutex_);
    auto it = proxies_.find(path);
    if (it != proxies_.end()) return it->second.get();
  }
  auto made = sdbus::createProxy(*connection_, kService, path);
  std::lock_guard lock(mutex_);
  auto& slot = proxies_[path];
  if (!slot) slot = std::move(made);
  return slot.get();
}

void Bus::send(sdbus::IProxy* proxy, sdbus::MethodCall& call, std::chrono::milliseconds timeout,
               const ReplyHandler& done) {
  auto handler = [done](sdbus::MethodReply& reply, const sdbus::Error* error) {
    try {
      done(reply, error);
    } catch (const std::exception& e) {
      report("a reply could not be read", e);
    }
  };
  (void)proxy->callMethod(call, std::move(handler),
                          std::chrono::duration_cast<std::chrono::microseconds>(timeout));
}

}  // namespace bluez
