#include "bluetooth/corebluetooth/central_manager_macos.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "bluetooth/guarded.h"
#include "bluetooth/remote_objects.h"

namespace macos {

CBError errorFrom(const ErrorValue& error) {
  return CBError{error.domain, error.code, error.description};
}

std::optional<CBError> errorFrom(const std::optional<ErrorValue>& error) {
  if (!error) return std::nullopt;
  return errorFrom(*error);
}

CBManagerState stateFrom(int raw) {
  if (raw < 0 || raw > static_cast<int>(CBManagerState::poweredOn)) return CBManagerState::unknown;
  return static_cast<CBManagerState>(raw);
}

namespace {

constexpr int64_t kConnectionTimedOut = 6;

// What a peripheral reaches CoreBluetooth through: its manager, while it lives.
class PlatformOwner {
 public:
  virtual ~PlatformOwner() = default;
  virtual CentralPlatform& platform() = 0;
};

class CBCharacteristicMacOS : public RemoteCharacteristic {
 public:
  CBCharacteristicMacOS(ObjectID id, CBUUID uuid, uint32_t properties,
                        std::weak_ptr<CBService> service)
      : RemoteCharacteristic(uuid, properties, std::move(service)), id_(id) {}
  ObjectID id() const { return id_; }

 private:
  const ObjectID id_;
};

class CBServiceMacOS : public RemoteService<CBCharacteristicMacOS>,
                       public std::enable_shared_from_this<CBServiceMacOS> {
 public:
  CBServiceMacOS(ObjectID id, CBUUID uuid, bool primary, std::weak_ptr<CBPeripheral> peripheral)
      : RemoteService(uuid, primary, std::move(peripheral)), id_(id) {}
  ObjectID id() const { return id_; }

  // The characteristics CoreBluetooth listed, those seen before kept as the same objects.
  // On the manager's queue.
  void setCharacteristics(const std::vector<CharacteristicValue>& found) {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<CBCharacteristicMacOS>> next;
    for (const auto& value : found) {
      auto uuid = CBUUID::fromString(value.uuid);
      if (!uuid) continue;
      std::shared_ptr<CBCharacteristicMacOS> kept;
      if (characteristics_) {
        for (const auto& c : *characteristics_) {
          if (c->id() == value.id) kept = c;
        }
      }
      next.push_back(kept ? kept
                          : std::make_shared<CBCharacteristicMacOS>(
                                value.id, *uuid, value.properties, weak_from_this()));
    }
    characteristics_ = std::move(next);
  }

  std::shared_ptr<CBCharacteristicMacOS> characteristic(ObjectID id) const {
    std::lock_guard lock(mutex_);
    if (!characteristics_) return nullptr;
    for (const auto& c : *characteristics_) {
      if (c->id() == id) return c;
    }
    return nullptr;
  }

 private:
  const ObjectID id_;
};

class CBPeripheralMacOS : public RemotePeripheral<CBServiceMacOS>,
                          public std::enable_shared_from_this<CBPeripheralMacOS> {
 public:
  CBPeripheralMacOS(std::string identifier, std::weak_ptr<PlatformOwner> owner)
      : RemotePeripheral(std::move(identifier)), owner_(std::move(owner)) {}

  void discoverServices() override {
    call([&](CentralPlatform& p) { p.discoverServices(identifier()); });
  }
  void discoverCharacteristics(const std::shared_ptr<CBService>& service) override {
    auto own = std::dynamic_pointer_cast<CBServiceMacOS>(service);
    if (!own) return;
    call([&](CentralPlatform& p) { p.discoverCharacteristics(identifier(), own->id()); });
  }
  void readValue(const std::shared_ptr<CBCharacteristic>& characteristic) override {
    ObjectID id = idOf(characteristic);
    if (id != 0) call([&](CentralPlatform& p) { p.readValue(identifier(), id); });
  }
  void writeValue(const CBData& data, const std::shared_ptr<CBCharacteristic>& characteristic,
                  CBCharacteristicWriteType type) override {
    ObjectID id = idOf(characteristic);
    bool withResponse = type == CBCharacteristicWriteType::withResponse;
    if (id != 0) {
      call([&](CentralPlatform& p) { p.writeValue(identifier(), id, data, withResponse); });
    }
  }
  size_t maximumWriteValueLength(CBCharacteristicWriteType type) const override {
    size_t length = 20;
    bool withResponse = type == CBCharacteristicWriteType::withResponse;
    call([&](CentralPlatform& p) {
      length = p.maximumWriteValueLength(identifier(), withResponse);
    });
    return length;
  }
  void setNotifyValue(bool enabled,
                      const std::shared_ptr<CBCharacteristic>& characteristic) override {
    ObjectID id = idOf(characteristic);
    if (id != 0) call([&](CentralPlatform& p) { p.setNotifyValue(identifier(), id, enabled); });
  }
  std::string description() const override {
    auto n = name();
    return "<CBPeripheral: " + pointerText(this) + ", identifier = " + identifier() +
           ", name = " + n.value_or("(null)") + ">";
  }

  // The services CoreBluetooth listed, those seen before kept as the same objects. On the
  // manager's queue.
  void setServices(const std::vector<ServiceValue>& found) {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<CBServiceMacOS>> next;
    for (const auto& value : found) {
      auto uuid = CBUUID::fromString(value.uuid);
      if (!uuid) continue;
      std::shared_ptr<CBServiceMacOS> kept;
      if (services_) {
        for (const auto& s : *services_) {
          if (s->id() == value.id) kept = s;
        }
      }
      next.push_back(kept ? kept
                          : std::make_shared<CBServiceMacOS>(value.id, *uuid, value.primary,
                                                             weak_from_this()));
    }
    services_ = std::move(next);
  }

  std::shared_ptr<CBServiceMacOS> service(ObjectID id) const {
    std::lock_guard lock(mutex_);
    if (!services_) return nullptr;
    for (const auto& s : *services_) {
      if (s->id() == id) return s;
    }
    return nullptr;
  }

  std::shared_ptr<CBCharacteristicMacOS> characteristic(ObjectID id) const {
    std::lock_guard lock(mutex_);
    if (!services_) return nullptr;
    for (const auto& s : *services_) {
      if (auto c = s->characteristic(id)) return c;
    }
    return nullptr;
  }

 private:
  // Runs `fn` on the platform while the manager lives; nothing once it is gone.
  template <class Fn>
  void call(Fn&& fn) const {
    if (auto owner = owner_.lock()) fn(owner->platform());
  }
  ObjectID idOf(const std::shared_ptr<CBCharacteristic>& characteristic) const {
    auto own = std::dynamic_pointer_cast<CBCharacteristicMacOS>(characteristic);
    return own ? own->id() : 0;
  }

  const std::weak_ptr<PlatformOwner> owner_;
};

class CBCentralManagerMacOS : public CBCentralManager,
                              public CentralEvents,
                              public PlatformOwner,
                              public std::enable_shared_from_this<CBCentralManagerMacOS> {
 public:
  CBCentralManagerMacOS(CBCentralManagerDelegate& delegate, DispatchQueue& queue,
                        DispatchQueue::Clock::duration connectWindow)
      : delegate_(delegate), queue_(queue), connectWindow_(connectWindow) {}

  void start(const CentralPlatformFactory& makePlatform) {
    platform_ = makePlatform(*this, queue_.label());
  }

  CentralPlatform& platform() override { return *platform_; }

  // ---- CBCentralManager (any thread) ----

  CBManagerState state() const override { return state_.load(); }

  void scanForPeripherals(const std::optional<std::vector<CBUUID>>& services,
                          const CBScanOptions& options) override {
    std::optional<std::vector<std::string>> uuids;
    if (services) {
      uuids.emplace();
      for (const auto& s : *services) uuids->push_back(s.UUIDString());
    }
    scanning_ = true;
    platform_->scan(uuids, options.allowDuplicates);
  }

  void stopScan() override {
    scanning_ = false;
    platform_->stopScan();
  }

  bool isScanning() const override { return scanning_.load(); }

  void connect(const std::shared_ptr<CBPeripheral>& peripheral) override {
    std::string id = peripheral->identifier();
    uint64_t attempt = 0;
    {
      std::lock_guard lock(mutex_);
      auto& link = links_[id];
      if (link.state == Link::connected) {
        // CoreBluetooth reports an existing connection again; so does this manager.
        return post([id](CBCentralManagerMacOS& self) { self.deliverConnected(id); });
      }
      link = Link{Link::connecting, attempt = ++attempts_};
    }
    platform_->connect(id);
    std::weak_ptr<CBCentralManagerMacOS> weak = weak_from_this();
    queue_.asyncAfter(connectWindow_, [weak, id, attempt] {
      if (auto self = weak.lock()) guarded([&] { self->giveUpConnecting(id, attempt); });
    });
  }

  void cancelPeripheralConnection(const std::shared_ptr<CBPeripheral>& peripheral) override {
    std::string id = peripheral->identifier();
    {
      std::lock_guard lock(mutex_);
      auto link = links_.find(id);
      if (link != links_.end() && link->second.state == Link::connecting) {
        link->second.state = Link::givenUp;
      }
    }
    platform_->cancelConnection(id);
  }

  // ---- CentralEvents (the platform's queue): each is carried to the role's queue ----

  void stateChanged(int raw) override {
    post([raw](CBCentralManagerMacOS& self) {
      self.state_ = stateFrom(raw);
      bool on = self.state_ == CBManagerState::poweredOn;
      if (!on) self.scanning_ = false;
      self.delegate_.centralManagerDidUpdateState(self);
      if (!on) self.endEveryLink();
    });
  }

  void discovered(const PeripheralValue& p, const AdvertisementValue& ad, int rssi) override {
    post([p, ad, rssi](CBCentralManagerMacOS& self) {
      self.delegate_.centralManagerDidDiscoverPeripheral(self, self.peripheralFor(p),
                                                         advertisementFrom(ad), rssi);
    });
  }

  void connected(const PeripheralValue& p) override {
    post([p](CBCentralManagerMacOS& self) {
      self.peripheralFor(p);
      {
        std::lock_guard lock(self.mutex_);
        auto& link = self.links_[p.identifier];
        if (link.state != Link::connecting && link.state != Link::connected) {
          // An attempt given up on connected after all: nobody waits for it.
          self.links_.erase(p.identifier);
          self.platform_->cancelConnection(p.identifier);
          return;
        }
        link.state = Link::connected;
      }
      self.deliverConnected(p.identifier);
    });
  }

  void failedToConnect(const PeripheralValue& p, const std::optional<ErrorValue>& e) override {
    post([p, e](CBCentralManagerMacOS& self) {
      if (!self.endLink(p.identifier, Link::connecting)) return;
      self.delegate_.centralManagerDidFailToConnectPeripheral(self, self.peripheralFor(p),
                                                              errorFrom(e));
    });
  }

  void disconnected(const PeripheralValue& p, const std::optional<ErrorValue>& e) override {
    post([p, e](CBCentralManagerMacOS& self) {
      // A cancelled attempt ends in a disconnection too; it was reported when it was given up.
      if (!self.endLink(p.identifier, Link::connected)) return;
      self.delegate_.centralManagerDidDisconnectPeripheral(self, self.peripheralFor(p),
                                                           errorFrom(e));
    });
  }

  void discoveredServices(const std::string& peripheral, const std::vector<ServiceValue>& services,
                          const std::optional<ErrorValue>& e) override {
    post([peripheral, services, e](CBCentralManagerMacOS& self) {
      auto p = self.knownPeripheral(peripheral);
      if (!p) return;
      if (!e) p->setServices(services);
      if (auto d = p->delegate()) d->peripheralDidDiscoverServices(p, errorFrom(e));
    });
  }

  void discoveredCharacteristics(const std::string& peripheral, ObjectID service,
                                 const std::vector<CharacteristicValue>& characteristics,
                                 const std::optional<ErrorValue>& e) override {
    post([peripheral, service, characteristics, e](CBCentralManagerMacOS& self) {
      auto p = self.knownPeripheral(peripheral);
      auto s = p ? p->service(service) : nullptr;
      if (!s) return;
      if (!e) s->setCharacteristics(characteristics);
      if (auto d = p->delegate())
        d->peripheralDidDiscoverCharacteristicsForService(p, s, errorFrom(e));
    });
  }

  void valueUpdated(const std::string& peripheral, ObjectID characteristic,
                    const std::optional<CBData>& value,
                    const std::optional<ErrorValue>& e) override {
    post([peripheral, characteristic, value, e](CBCentralManagerMacOS& self) {
      auto [p, c] = self.characteristicOf(peripheral, characteristic);
      if (!c) return;
      // Set here, just before its own callback: a later notification must not show through.
      if (value && !e) c->setValue(*value);
      if (auto d = p->delegate()) d->peripheralDidUpdateValueForCharacteristic(p, c, errorFrom(e));
    });
  }

  void valueWritten(const std::string& peripheral, ObjectID characteristic,
                    const std::optional<ErrorValue>& e) override {
    post([peripheral, characteristic, e](CBCentralManagerMacOS& self) {
      auto [p, c] = self.characteristicOf(peripheral, characteristic);
      if (!c) return;
      if (auto d = p->delegate()) d->peripheralDidWriteValueForCharacteristic(p, c, errorFrom(e));
    });
  }

  void notificationStateUpdated(const std::string& peripheral, ObjectID characteristic,
                                bool notifying, const std::optional<ErrorValue>& e) override {
    post([peripheral, characteristic, notifying, e](CBCentralManagerMacOS& self) {
      auto [p, c] = self.characteristicOf(peripheral, characteristic);
      if (!c) return;
      c->setNotifying(notifying);
      if (auto d = p->delegate()) {
        d->peripheralDidUpdateNotificationStateForCharacteristic(p, c, errorFrom(e));
      }
    });
  }

 private:
  struct Link {
    enum State { idle, connecting, connected, givenUp } state = idle;
    uint64_t attempt = 0;
  };

  // Runs `step` on the role's queue while the manager lives. Any thread.
  template <class Step>
  void post(Step step) {
    std::weak_ptr<CBCentralManagerMacOS> weak = weak_from_this();
    queue_.async([weak, step = std::move(step)] {
      if (auto self = weak.lock()) guarded([&] { step(*self); });
    });
  }

  // The role's queue.
  void giveUpConnecting(const std::string& id, uint64_t attempt) {
    {
      std::lock_guard lock(mutex_);
      auto link = links_.find(id);
      if (link == links_.end() || link->second.state != Link::connecting ||
          link->second.attempt != attempt) {
        return;
      }
      link->second.state = Link::givenUp;
    }
    platform_->cancelConnection(id);
    auto p = knownPeripheral(id);
    if (!p) return;
    CBError timedOut = CBError::link(kConnectionTimedOut);
    delegate_.centralManagerDidFailToConnectPeripheral(*this, p, timedOut);
  }

  // Without the radio no link is left, whether or not CoreBluetooth says so for each: each is
  // reported ended, as the other backends do, and what CoreBluetooth says later is dropped.
  // The role's queue.
  void endEveryLink() {
    std::unordered_map<std::string, Link> ended;
    {
      std::lock_guard lock(mutex_);
      ended.swap(links_);
    }
    for (const auto& [id, link] : ended) {
      auto p = knownPeripheral(id);
      if (!p) continue;
      CBError lost = CBError::link(kConnectionTimedOut);
      Link::State state = link.state;  // clang 14 cannot capture a structured binding
      guarded([&] {
        if (state == Link::connected) {
          delegate_.centralManagerDidDisconnectPeripheral(*this, p, lost);
        } else if (state == Link::connecting) {
          delegate_.centralManagerDidFailToConnectPeripheral(*this, p, lost);
        }
      });
    }
  }

  // Ends the link of `id` if it was in `expected`; whether it was. Any other state ends too,
  // silently. The role's queue.
  bool endLink(const std::string& id, Link::State expected) {
    std::lock_guard lock(mutex_);
    auto link = links_.find(id);
    if (link == links_.end()) return false;
    bool was = link->second.state == expected;
    links_.erase(link);
    return was;
  }

  void deliverConnected(const std::string& id) {
    if (auto p = knownPeripheral(id)) delegate_.centralManagerDidConnectPeripheral(*this, p);
  }

  // The one object for the peripheral, made on first sight. The role's queue.
  std::shared_ptr<CBPeripheralMacOS> peripheralFor(const PeripheralValue& value) {
    std::lock_guard lock(mutex_);
    auto& p = peripherals_[value.identifier];
    if (!p) p = std::make_shared<CBPeripheralMacOS>(value.identifier, weak_from_this());
    p->setName(value.name);
    return p;
  }

  std::shared_ptr<CBPeripheralMacOS> knownPeripheral(const std::string& id) {
    std::lock_guard lock(mutex_);
    auto found = peripherals_.find(id);
    return found == peripherals_.end() ? nullptr : found->second;
  }

  std::pair<std::shared_ptr<CBPeripheralMacOS>, std::shared_ptr<CBCharacteristicMacOS>>
  characteristicOf(const std::string& peripheral, ObjectID characteristic) {
    auto p = knownPeripheral(peripheral);
    auto c = p ? p->characteristic(characteristic) : nullptr;
    return {p, c};
  }

  static CBAdvertisementData advertisementFrom(const AdvertisementValue& ad) {
    CBAdvertisementData data;
    data.localName = ad.localName;
    data.manufacturerData = ad.manufacturerData;
    data.isConnectable = ad.isConnectable;
    if (ad.serviceUUIDs) {
      data.serviceUUIDs.emplace();
      for (const auto& text : *ad.serviceUUIDs) {
        if (auto uuid = CBUUID::fromString(text)) data.serviceUUIDs->push_back(*uuid);
      }
    }
    if (ad.serviceData) {
      data.serviceData.emplace();
      for (const auto& [text, bytes] : *ad.serviceData) {
        if (auto uuid = CBUUID::fromString(text)) (*data.serviceData)[*uuid] = bytes;
      }
    }
    return data;
  }

  CBCentralManagerDelegate& delegate_;
  DispatchQueue& queue_;
  const DispatchQueue::Clock::duration connectWindow_;
  std::unique_ptr<CentralPlatform> platform_;
  std::atomic<CBManagerState> state_{CBManagerState::unknown};
  std::atomic<bool> scanning_{false};
  std::mutex mutex_;  // guards the tables below
  std::unordered_map<std::string, std::shared_ptr<CBPeripheralMacOS>> peripherals_;
  std::unordered_map<std::string, Link> links_;
  uint64_t attempts_ = 0;
};

}  // namespace

std::shared_ptr<CBCentralManager> makeCentralManagerMacOS(
    CBCentralManagerDelegate& delegate, DispatchQueue& queue,
    const CentralPlatformFactory& makePlatform, DispatchQueue::Clock::duration connectWindow) {
  auto manager = std::make_shared<CBCentralManagerMacOS>(delegate, queue, connectWindow);
  manager->start(makePlatform);
  return manager;
}

}  // namespace macos
