#include "bluetooth/bluez/central_manager_bluez.h"

#include <algorithm>
#include <set>
#include <unordered_map>

#include "bluetooth/description.h"
#include "bluetooth/guarded.h"
#include "bluetooth/remote_objects.h"
#include "platform/dispatch_queue.h"

namespace bluez {

namespace {

using std::chrono::seconds;

// BlueZ gives up on a connection by itself; the call's own limit only catches a silent daemon.
constexpr auto kConnectTimeout = seconds(60);
constexpr auto kGattTimeout = seconds(30);
constexpr auto kControlTimeout = seconds(10);
constexpr uint16_t kDefaultMTU = 23;

class CBCentralManagerBlueZ;
class CBServiceBlueZ;

// The objects for BlueZ's objects `found`, in their order: those seen before (same path and
// UUID) are kept, so that they stay the same objects; `make` makes the others.
template <class Object, class Make>
std::vector<std::shared_ptr<Object>> keepOrMake(
    const std::optional<std::vector<std::shared_ptr<Object>>>& before,
    const std::vector<std::pair<std::string, Properties>>& found, Make make) {
  std::vector<std::shared_ptr<Object>> next;
  for (const auto& [path, props] : found) {
    auto uuid = CBUUID::fromString(property<std::string>(props, "UUID").value_or(""));
    if (!uuid) continue;
    std::shared_ptr<Object> kept;
    for (const auto& o : before.value_or(std::vector<std::shared_ptr<Object>>{})) {
      if (o->path() == path && o->UUID() == *uuid) kept = o;
    }
    next.push_back(kept ? kept : make(path, *uuid, props));
  }
  return next;
}

class CBCharacteristicBlueZ : public RemoteCharacteristic {
 public:
  CBCharacteristicBlueZ(std::string path, CBUUID uuid, uint32_t properties,
                        std::weak_ptr<CBService> service)
      : RemoteCharacteristic(uuid, properties, std::move(service)), path_(std::move(path)) {}

  const std::string& path() const { return path_; }
  // A Value change is a notification only while notifying and no read of ours is out: BlueZ
  // also announces the value that answers a read.
  bool takesNotification() const {
    std::lock_guard lock(mutex_);
    return notifying_ && readsOut_ == 0;
  }
  void readStarted() {
    std::lock_guard lock(mutex_);
    ++readsOut_;
  }
  void readEnded() {
    std::lock_guard lock(mutex_);
    if (readsOut_ > 0) --readsOut_;
  }

 private:
  const std::string path_;
  int readsOut_ = 0;
};

class CBServiceBlueZ : public RemoteService<CBCharacteristicBlueZ> {
 public:
  CBServiceBlueZ(std::string path, CBUUID uuid, bool primary, std::weak_ptr<CBPeripheral> owner)
      : RemoteService(uuid, primary, std::move(owner)), path_(std::move(path)) {}

  const std::string& path() const { return path_; }
  // Takes BlueZ's characteristics of this service, keeping the objects of those seen before.
  void setCharacteristics(const std::vector<std::pair<std::string, Properties>>& found,
                          const std::shared_ptr<CBServiceBlueZ>& self) {
    std::lock_guard lock(mutex_);
    characteristics_ =
        keepOrMake(characteristics_, found,
                   [&](const std::string& path, CBUUID uuid, const Properties& props) {
                     auto flags = property<std::vector<std::string>>(props, "Flags")
                                      .value_or(std::vector<std::string>{});
                     return std::make_shared<CBCharacteristicBlueZ>(
                         path, uuid, propertiesFromFlags(flags), self);
                   });
  }
  std::shared_ptr<CBCharacteristicBlueZ> find(const std::string& path) const {
    std::lock_guard lock(mutex_);
    for (const auto& c : characteristics_.value_or(decltype(characteristics_)::value_type{})) {
      if (c->path() == path) return c;
    }
    return nullptr;
  }

 private:
  const std::string path_;
};

class CBPeripheralBlueZ : public RemotePeripheral<CBServiceBlueZ>,
                          public std::enable_shared_from_this<CBPeripheralBlueZ> {
 public:
  CBPeripheralBlueZ(std::string path, std::string identifier,
                    std::weak_ptr<CBCentralManagerBlueZ> manager)
      : RemotePeripheral(std::move(identifier)),
        path_(std::move(path)),
        manager_(std::move(manager)) {}

  void discoverServices() override;
  void discoverCharacteristics(const std::shared_ptr<CBService>& service) override;
  void readValue(const std::shared_ptr<CBCharacteristic>& characteristic) override;
  void writeValue(const CBData& data, const std::shared_ptr<CBCharacteristic>& characteristic,
                  CBCharacteristicWriteType type) override;
  size_t maximumWriteValueLength(CBCharacteristicWriteType type) const override;
  void setNotifyValue(bool enabled,
                      const std::shared_ptr<CBCharacteristic>& characteristic) override;
  std::string description() const override;

  const std::string& path() const { return path_; }
  void setServices(const std::vector<std::pair<std::string, Properties>>& found) {
    std::lock_guard lock(mutex_);
    services_ = keepOrMake(
        services_, found, [&](const std::string& path, CBUUID uuid, const Properties& props) {
          return std::make_shared<CBServiceBlueZ>(
              path, uuid, property<bool>(props, "Primary").value_or(true), weak_from_this());
        });
  }
  void clearServices() {
    std::lock_guard lock(mutex_);
    services_.reset();
    discoveryWanted_ = false;
  }
  void setDiscoveryWanted(bool wanted) {
    std::lock_guard lock(mutex_);
    discoveryWanted_ = wanted;
  }
  bool takeDiscoveryWanted() {
    std::lock_guard lock(mutex_);
    return std::exchange(discoveryWanted_, false);
  }
  std::shared_ptr<CBCharacteristicBlueZ> findCharacteristic(const std::string& path) const {
    std::lock_guard lock(mutex_);
    for (const auto& s : services_.value_or(std::vector<std::shared_ptr<CBServiceBlueZ>>{})) {
      if (path.rfind(s->path() + "/", 0) == 0) return s->find(path);
    }
    return nullptr;
  }
  void setMTU(uint16_t mtu) {
    std::lock_guard lock(mutex_);
    mtu_ = mtu;
  }
  uint16_t mtu() const {
    std::lock_guard lock(mutex_);
    return mtu_;
  }

 private:
  const std::string path_;
  const std::weak_ptr<CBCentralManagerBlueZ> manager_;
  bool discoveryWanted_ = false;
  uint16_t mtu_ = kDefaultMTU;
};

enum class LinkState { connecting, connected };

struct Link {
  LinkState state = LinkState::connecting;
  uint64_t attempt = 0;
};

class CBCentralManagerBlueZ : public CBCentralManager,
                              public BusListener,
                              public std::enable_shared_from_this<CBCentralManagerBlueZ> {
 public:
  CBCentralManagerBlueZ(std::shared_ptr<Bus> bus, CBCentralManagerDelegate& delegate,
                        DispatchQueue& queue)
      : bus_(std::move(bus)), delegate_(delegate), queue_(queue) {}

  void start() {
    bus_->addListener(weak_from_this());
    {
      std::lock_guard lock(mutex_);
      reportedState_ = bus_->adapterState();
    }
    later([this] { delegate_.centralManagerDidUpdateState(*this); });
  }

  // ---- CBCentralManager ----

  CBManagerState state() const override { return bus_->adapterState(); }

  void scanForPeripherals(const std::optional<std::vector<CBUUID>>& services,
                          const CBScanOptions& options) override {
    if (state() != CBManagerState::poweredOn) return;
    {
      std::lock_guard lock(mutex_);
      scanning_ = true;
      filter_ = services;
      allowDuplicates_ = options.allowDuplicates;
      seen_.clear();
    }
    std::vector<std::string> uuids;
    for (const auto& u : services.value_or(std::vector<CBUUID>{})) uuids.push_back(textOf(u));
    std::map<std::string, sdbus::Variant> filter{
        {"Transport", sdbus::Variant(std::string("le"))},
        {"DuplicateData", sdbus::Variant(options.allowDuplicates)},
        {"UUIDs", sdbus::Variant(uuids)}};
    std::weak_ptr<Bus> bus = bus_;
    std::string adapter = bus_->adapterPath();
    // The filter is only a hint to the adapter; discovery starts whatever became of it.
    bus_->call(
        adapter, kAdapter, "SetDiscoveryFilter", kControlTimeout,
        [bus, adapter](sdbus::MethodReply&, const sdbus::Error* error) {
          if (error) logFailure("SetDiscoveryFilter", *error);
          if (auto b = bus.lock()) {
            b->call(adapter, kAdapter, "StartDiscovery", kControlTimeout,
                    [](sdbus::MethodReply&, const sdbus::Error* e) {
                      if (e) logFailure("StartDiscovery", *e);
                    });
          }
        },
        filter);
  }

  void stopScan() override {
    {
      std::lock_guard lock(mutex_);
      if (!std::exchange(scanning_, false)) return;
    }
    bus_->call(bus_->adapterPath(), kAdapter, "StopDiscovery", kControlTimeout,
               [](sdbus::MethodReply&, const sdbus::Error*) {});
  }

  bool isScanning() const override {
    std::lock_guard lock(mutex_);
    return scanning_;
  }

  void connect(const std::shared_ptr<CBPeripheral>& p) override {
    auto peripheral = own(p);
    if (!peripheral || state() != CBManagerState::poweredOn) return;
    uint64_t attempt = 0;
    {
      std::lock_guard lock(mutex_);
      auto it = links_.find(peripheral->path());
      if (it != links_.end()) {
        if (it->second.state == LinkState::connecting) return;
        // Already connected: report it again, as the platform does.
        return later([this, peripheral] {
          delegate_.centralManagerDidConnectPeripheral(*this, peripheral);
        });
      }
      attempt = ++attempts_;
      links_[peripheral->path()] = Link{LinkState::connecting, attempt};
    }
    std::weak_ptr<CBCentralManagerBlueZ> weak = weak_from_this();
    bus_->call(peripheral->path(), kDevice, "Connect", kConnectTimeout,
               [weak, peripheral, attempt](sdbus::MethodReply&, const sdbus::Error* error) {
                 if (auto self = weak.lock()) self->connectAnswered(peripheral, attempt, error);
               });
  }

  void cancelPeripheralConnection(const std::shared_ptr<CBPeripheral>& p) override {
    auto peripheral = own(p);
    if (!peripheral) return;
    {
      std::lock_guard lock(mutex_);
      if (!links_.erase(peripheral->path())) return;
    }
    bus_->call(peripheral->path(), kDevice, "Disconnect", kControlTimeout,
               [](sdbus::MethodReply&, const sdbus::Error*) {});
    peripheral->clearServices();
    later([this, peripheral] {
      delegate_.centralManagerDidDisconnectPeripheral(*this, peripheral, std::nullopt);
    });
  }

  // ---- BusListener (bus thread) ----

  void adapterChanged() override {
    CBManagerState now = bus_->adapterState();
    {
      std::lock_guard lock(mutex_);
      if (now == reportedState_) return;
      reportedState_ = now;
      if (now != CBManagerState::poweredOn) scanning_ = false;
    }
    if (now != CBManagerState::poweredOn) endAllLinks();
    later([this] { delegate_.centralManagerDidUpdateState(*this); });
  }

  void propertiesChanged(const std::string& path, const std::string& interface,
                         const Properties& changed, bool added) override {
    if (interface == kDevice) return deviceChanged(path, changed, added);
    if (interface == kGattCharacteristic && !added) return characteristicChanged(path, changed);
  }

  void interfacesRemoved(const std::string& path,
                         const std::vector<std::string>& interfaces) override {
    if (std::find(interfaces.begin(), interfaces.end(), kDevice) == interfaces.end()) return;
    linkLost(path, CBError::link(7));
  }

  // ---- Operations of the peripherals ----

  bool connected(const CBPeripheralBlueZ& peripheral) const {
    std::lock_guard lock(mutex_);
    auto it = links_.find(peripheral.path());
    return it != links_.end() && it->second.state == LinkState::connected;
  }

  void discoverServices(const std::shared_ptr<CBPeripheralBlueZ>& peripheral) {
    if (!connected(*peripheral)) return;
    auto device = bus_->properties(peripheral->path(), kDevice);
    if (device && property<bool>(*device, "ServicesResolved").value_or(false)) {
      return servicesResolved(peripheral);
    }
    peripheral->setDiscoveryWanted(true);
  }

  void discoverCharacteristics(const std::shared_ptr<CBPeripheralBlueZ>& peripheral,
                               const std::shared_ptr<CBServiceBlueZ>& service) {
    if (!connected(*peripheral)) return;
    auto found = bus_->objectsWith(kGattCharacteristic, service->path());
    service->setCharacteristics(found, service);
    for (const auto& [path, props] : found) {
      if (auto mtu = property<uint16_t>(props, "MTU")) peripheral->setMTU(*mtu);
    }
    later([this, peripheral, service] {
      if (auto* d = peripheral->delegate()) {
        d->peripheralDidDiscoverCharacteristicsForService(peripheral, service, std::nullopt);
      }
    });
  }

  void read(const std::shared_ptr<CBPeripheralBlueZ>& peripheral,
            const std::shared_ptr<CBCharacteristicBlueZ>& characteristic) {
    if (!connected(*peripheral)) return;
    characteristic->readStarted();
    std::weak_ptr<CBCentralManagerBlueZ> weak = weak_from_this();
    bus_->call(
        characteristic->path(), kGattCharacteristic, "ReadValue", kGattTimeout,
        [weak, peripheral, characteristic](sdbus::MethodReply& reply, const sdbus::Error* error) {
          characteristic->readEnded();
          auto self = weak.lock();
          if (!self) return;
          std::optional<CBError> failure;
          if (error) {
            failure = gattErrorFrom(error->getName(), error->getMessage(), false);
          } else {
            CBData value;
            reply >> value;
            characteristic->setValue(std::move(value));
          }
          self->later([peripheral, characteristic, failure] {
            if (auto* d = peripheral->delegate()) {
              d->peripheralDidUpdateValueForCharacteristic(peripheral, characteristic, failure);
            }
          });
        },
        std::map<std::string, sdbus::Variant>{});
  }

  void write(const std::shared_ptr<CBPeripheralBlueZ>& peripheral,
             const std::shared_ptr<CBCharacteristicBlueZ>& characteristic, const CBData& data,
             CBCharacteristicWriteType type) {
    if (!connected(*peripheral)) return;
    bool withResponse = type == CBCharacteristicWriteType::withResponse;
    std::map<std::string, sdbus::Variant> options{
        {"type", sdbus::Variant(std::string(withResponse ? "request" : "command"))}};
    std::weak_ptr<CBCentralManagerBlueZ> weak = weak_from_this();
    bus_->call(
        characteristic->path(), kGattCharacteristic, "WriteValue", kGattTimeout,
        [weak, peripheral, characteristic, withResponse](sdbus::MethodReply&,
                                                         const sdbus::Error* error) {
          auto self = weak.lock();
          if (!self || !withResponse) return;
          std::optional<CBError> failure;
          if (error) failure = gattErrorFrom(error->getName(), error->getMessage(), true);
          self->later([peripheral, characteristic, failure] {
            if (auto* d = peripheral->delegate()) {
              d->peripheralDidWriteValueForCharacteristic(peripheral, characteristic, failure);
            }
          });
        },
        data, options);
  }

  void setNotify(const std::shared_ptr<CBPeripheralBlueZ>& peripheral,
                 const std::shared_ptr<CBCharacteristicBlueZ>& characteristic, bool enabled) {
    if (!connected(*peripheral)) return;
    std::weak_ptr<CBCentralManagerBlueZ> weak = weak_from_this();
    bus_->call(characteristic->path(), kGattCharacteristic, enabled ? "StartNotify" : "StopNotify",
               kGattTimeout,
               [weak, peripheral, characteristic, enabled](sdbus::MethodReply&,
                                                           const sdbus::Error* error) {
                 auto self = weak.lock();
                 if (!self) return;
                 std::optional<CBError> failure;
                 if (error) {
                   failure = gattErrorFrom(error->getName(), error->getMessage(), false);
                 } else {
                   characteristic->setNotifying(enabled);
                 }
                 self->later([peripheral, characteristic, failure] {
                   if (auto* d = peripheral->delegate()) {
                     d->peripheralDidUpdateNotificationStateForCharacteristic(
                         peripheral, characteristic, failure);
                   }
                 });
               });
  }

  // Runs `fn` on the manager's queue while the manager lives; nothing it throws escapes.
  template <class Fn>
  void later(Fn fn) {
    queue_.async([weak = weak_from_this(), fn = std::move(fn)]() mutable {
      if (auto self = weak.lock()) guarded(fn);
    });
  }

  static void logFailure(const char* what, const sdbus::Error& error) {
    std::fprintf(stderr, "BlueZ: %s failed: %s\n", what, error.what());
  }

 private:
  std::shared_ptr<CBPeripheralBlueZ> own(const std::shared_ptr<CBPeripheral>& p) {
    auto peripheral = std::dynamic_pointer_cast<CBPeripheralBlueZ>(p);
    std::lock_guard lock(mutex_);
    if (!peripheral) return nullptr;
    auto it = peripherals_.find(peripheral->path());
    return it != peripherals_.end() && it->second == peripheral ? peripheral : nullptr;
  }

  // The object of the device at `path`, made on first sight and kept for good.
  std::shared_ptr<CBPeripheralBlueZ> peripheralAt(const std::string& path,
                                                  const Properties& device) {
    std::lock_guard lock(mutex_);
    auto& slot = peripherals_[path];
    if (!slot) {
      auto address = property<std::string>(device, "Address").value_or("");
      slot = std::make_shared<CBPeripheralBlueZ>(
          path, identifierFor(bus_->adapterAddress(), address), weak_from_this());
    }
    return slot;
  }

  void deviceChanged(const std::string& path, const Properties& changed, bool added) {
    if (path.rfind(bus_->adapterPath() + "/", 0) != 0) return;
    auto device = bus_->properties(path, kDevice);
    if (!device) return;
    auto peripheral = peripheralAt(path, *device);
    peripheral->setName(property<std::string>(*device, "Name"));
    auto connectedNow = property<bool>(changed, "Connected");
    if (connectedNow && !*connectedNow) linkLost(path, CBError::link(7));
    if (property<bool>(changed, "ServicesResolved").value_or(false) &&
        peripheral->takeDiscoveryWanted()) {
      servicesResolved(peripheral);
    }
    bool advertised = changed.count("RSSI") || changed.count("ManufacturerData") ||
                      changed.count("ServiceData") || (added && device->count("RSSI"));
    if (advertised && device->count("RSSI")) discovered(peripheral, *device);
  }

  void discovered(const std::shared_ptr<CBPeripheralBlueZ>& peripheral, const Properties& device) {
    CBAdvertisementData ad = advertisementFrom(device);
    {
      std::lock_guard lock(mutex_);
      if (!scanning_ || !matchesFilter(ad)) return;
      if (!allowDuplicates_ && !seen_.insert(peripheral->path()).second) return;
    }
    int rssi = property<int16_t>(device, "RSSI").value_or(-127);
    later([this, peripheral, ad, rssi] {
      delegate_.centralManagerDidDiscoverPeripheral(*this, peripheral, ad, rssi);
    });
  }

  bool matchesFilter(const CBAdvertisementData& ad) const {
    if (!filter_ || filter_->empty()) return true;
    for (const auto& u : ad.serviceUUIDs.value_or(std::vector<CBUUID>{})) {
      if (std::find(filter_->begin(), filter_->end(), u) != filter_->end()) return true;
    }
    return false;
  }

  void characteristicChanged(const std::string& path, const Properties& changed) {
    auto value = property<std::vector<uint8_t>>(changed, "Value");
    if (!value) return;
    std::shared_ptr<CBPeripheralBlueZ> peripheral;
    {
      std::lock_guard lock(mutex_);
      for (const auto& [devicePath, p] : peripherals_) {
        if (path.rfind(devicePath + "/", 0) == 0) peripheral = p;
      }
    }
    if (!peripheral || !connected(*peripheral)) return;
    auto characteristic = peripheral->findCharacteristic(path);
    if (!characteristic || !characteristic->takesNotification()) return;
    characteristic->setValue(*value);
    later([peripheral, characteristic] {
      if (auto* d = peripheral->delegate()) {
        d->peripheralDidUpdateValueForCharacteristic(peripheral, characteristic, std::nullopt);
      }
    });
  }

  void servicesResolved(const std::shared_ptr<CBPeripheralBlueZ>& peripheral) {
    peripheral->setServices(bus_->objectsWith(kGattService, peripheral->path()));
    later([peripheral] {
      if (auto* d = peripheral->delegate())
        d->peripheralDidDiscoverServices(peripheral, std::nullopt);
    });
  }

  void connectAnswered(const std::shared_ptr<CBPeripheralBlueZ>& peripheral, uint64_t attempt,
                       const sdbus::Error* error) {
    {
      std::lock_guard lock(mutex_);
      auto it = links_.find(peripheral->path());
      if (it == links_.end() || it->second.attempt != attempt) return;  // cancelled or lost
      if (error) {
        links_.erase(it);
      } else {
        it->second.state = LinkState::connected;
      }
    }
    if (error) {
      CBError failure = connectErrorFrom(error->getName());
      return later([this, peripheral, failure] {
        delegate_.centralManagerDidFailToConnectPeripheral(*this, peripheral, failure);
      });
    }
    later([this, peripheral] { delegate_.centralManagerDidConnectPeripheral(*this, peripheral); });
  }

  // The link to the device at `path` ended without our asking (or the device vanished).
  void linkLost(const std::string& path, const CBError& error) {
    std::shared_ptr<CBPeripheralBlueZ> peripheral;
    LinkState was{};
    {
      std::lock_guard lock(mutex_);
      auto it = links_.find(path);
      if (it == links_.end()) return;
      was = it->second.state;
      links_.erase(it);
      peripheral = peripherals_[path];
    }
    if (!peripheral) return;
    peripheral->clearServices();
    later([this, peripheral, error, was] {
      if (was == LinkState::connected) {
        delegate_.centralManagerDidDisconnectPeripheral(*this, peripheral, error);
      } else {
        delegate_.centralManagerDidFailToConnectPeripheral(*this, peripheral, error);
      }
    });
  }

  void endAllLinks() {
    std::vector<std::string> paths;
    {
      std::lock_guard lock(mutex_);
      for (const auto& [path, link] : links_) paths.push_back(path);
    }
    for (const auto& path : paths) linkLost(path, CBError::link(7));
  }

  const std::shared_ptr<Bus> bus_;
  CBCentralManagerDelegate& delegate_;
  DispatchQueue& queue_;
  mutable std::mutex mutex_;
  CBManagerState reportedState_ = CBManagerState::unknown;
  bool scanning_ = false;
  std::optional<std::vector<CBUUID>> filter_;
  bool allowDuplicates_ = false;
  std::set<std::string> seen_;
  std::unordered_map<std::string, std::shared_ptr<CBPeripheralBlueZ>> peripherals_;
  std::unordered_map<std::string, Link> links_;
  uint64_t attempts_ = 0;
};

// Each operation of a peripheral goes to its manager while both live.
template <class Op>
void withManager(const std::weak_ptr<CBCentralManagerBlueZ>& manager, Op op) {
  if (auto m = manager.lock()) op(*m);
}

void CBPeripheralBlueZ::discoverServices() {
  withManager(manager_, [&](CBCentralManagerBlueZ& m) { m.discoverServices(shared_from_this()); });
}

void CBPeripheralBlueZ::discoverCharacteristics(const std::shared_ptr<CBService>& service) {
  auto own = std::dynamic_pointer_cast<CBServiceBlueZ>(service);
  if (!own || own->peripheral().get() != this) return;
  withManager(manager_, [&](CBCentralManagerBlueZ& m) {
    m.discoverCharacteristics(shared_from_this(), own);
  });
}

void CBPeripheralBlueZ::readValue(const std::shared_ptr<CBCharacteristic>& characteristic) {
  auto own = std::dynamic_pointer_cast<CBCharacteristicBlueZ>(characteristic);
  if (!own || findCharacteristic(own->path()) != own) return;
  withManager(manager_, [&](CBCentralManagerBlueZ& m) { m.read(shared_from_this(), own); });
}

void CBPeripheralBlueZ::writeValue(const CBData& data,
                                   const std::shared_ptr<CBCharacteristic>& characteristic,
                                   CBCharacteristicWriteType type) {
  auto own = std::dynamic_pointer_cast<CBCharacteristicBlueZ>(characteristic);
  if (!own || findCharacteristic(own->path()) != own) return;
  withManager(manager_,
              [&](CBCentralManagerBlueZ& m) { m.write(shared_from_this(), own, data, type); });
}

std::string CBPeripheralBlueZ::description() const {
  bool linked = false;
  withManager(manager_, [&](CBCentralManagerBlueZ& m) { linked = m.connected(*this); });
  return "<CBPeripheral: " + pointerText(this) + ", identifier = " + identifier() +
         ", name = " + name().value_or("(null)") + ", mtu = " + std::to_string(mtu()) +
         ", state = " + (linked ? "connected" : "disconnected") + ">";
}

size_t CBPeripheralBlueZ::maximumWriteValueLength(CBCharacteristicWriteType type) const {
  if (type == CBCharacteristicWriteType::withResponse) return 512;
  return mtu() - 3;
}

void CBPeripheralBlueZ::setNotifyValue(bool enabled,
                                       const std::shared_ptr<CBCharacteristic>& characteristic) {
  auto own = std::dynamic_pointer_cast<CBCharacteristicBlueZ>(characteristic);
  if (!own || findCharacteristic(own->path()) != own) return;
  withManager(manager_,
              [&](CBCentralManagerBlueZ& m) { m.setNotify(shared_from_this(), own, enabled); });
}

}  // namespace

std::shared_ptr<CBCentralManager> makeCentralManager(std::shared_ptr<Bus> bus,
                                                     CBCentralManagerDelegate& delegate,
                                                     DispatchQueue& queue) {
  auto manager = std::make_shared<CBCentralManagerBlueZ>(std::move(bus), delegate, queue);
  manager->start();
  return manager;
}

}  // namespace bluez
