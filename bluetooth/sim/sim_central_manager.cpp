#include "bluetooth/sim/sim_central_manager.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "bluetooth/description.h"
#include "bluetooth/guarded.h"
#include "bluetooth/remote_objects.h"
#include "bluetooth/sim/peripheral_node.h"

namespace sim {

namespace {

// Answers of the radio itself to requests that cannot go out.
constexpr uint8_t kInvalidHandle = 0x01;
constexpr uint8_t kInvalidAttributeValueLength = 0x0D;
constexpr int64_t kNotConnected = 3;

class SimCentralManager;
class SimService;

class SimCharacteristic : public RemoteCharacteristic {
 public:
  SimCharacteristic(uint32_t handle, CBUUID uuid, uint32_t properties,
                    std::weak_ptr<CBService> service)
      : RemoteCharacteristic(uuid, properties, std::move(service)), handle_(handle) {}

  uint32_t handle() const { return handle_; }

 private:
  const uint32_t handle_;
};

class SimService : public RemoteService<SimCharacteristic> {
 public:
  SimService(uint32_t handle, CBUUID uuid, bool primary, std::weak_ptr<CBPeripheral> peripheral)
      : RemoteService(uuid, primary, std::move(peripheral)), handle_(handle) {}

  uint32_t handle() const { return handle_; }
  // Keeps the objects of characteristics seen before, so they stay the same objects.
  void setCharacteristics(const std::vector<CharacteristicEntry>& entries,
                          const std::shared_ptr<SimService>& self) {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<SimCharacteristic>> next;
    for (const auto& e : entries) {
      auto found = std::find_if(known_.begin(), known_.end(), [&](auto& c) {
        return c->handle() == e.handle && c->UUID() == e.uuid;
      });
      next.push_back(found != known_.end() ? *found
                                           : std::make_shared<SimCharacteristic>(
                                                 e.handle, e.uuid, e.properties, self));
    }
    known_ = next;
    characteristics_ = std::move(next);
  }
  // Lists nothing until the next discovery; the objects stay for it to find again.
  void forgetCharacteristics() {
    std::lock_guard lock(mutex_);
    characteristics_.reset();
  }
  std::shared_ptr<SimCharacteristic> find(uint32_t handle) const {
    std::lock_guard lock(mutex_);
    for (const auto& c : known_) {
      if (c->handle() == handle) return c;
    }
    return nullptr;
  }

 private:
  const uint32_t handle_;
  // Every characteristic object seen, listed or not, so that a rediscovery finds it again.
  std::vector<std::shared_ptr<SimCharacteristic>> known_;
};

class SimPeripheral : public RemotePeripheral<SimService>,
                      public std::enable_shared_from_this<SimPeripheral> {
 public:
  SimPeripheral(const NodeId& id, std::weak_ptr<SimCentralManager> manager)
      : RemotePeripheral(nodeIdText(id)), id_(id), manager_(std::move(manager)) {}

  void discoverServices() override;
  void discoverCharacteristics(const std::shared_ptr<CBService>& service) override;
  void readValue(const std::shared_ptr<CBCharacteristic>& characteristic) override;
  void writeValue(const CBData& data, const std::shared_ptr<CBCharacteristic>& characteristic,
                  CBCharacteristicWriteType type) override;
  size_t maximumWriteValueLength(CBCharacteristicWriteType type) const override;
  void setNotifyValue(bool enabled,
                      const std::shared_ptr<CBCharacteristic>& characteristic) override;
  std::string description() const override;

  const NodeId& nodeId() const { return id_; }
  void requestFor(const std::shared_ptr<CBCharacteristic>& c, Message m, MessageType answer);
  // Keeps the objects of services seen before, so they stay the same objects.
  void setServices(const std::vector<ServiceEntry>& entries) {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<SimService>> next;
    for (const auto& e : entries) {
      auto found = std::find_if(known_.begin(), known_.end(), [&](auto& s) {
        return s->handle() == e.handle && s->UUID() == e.uuid;
      });
      next.push_back(found != known_.end() ? *found
                                           : std::make_shared<SimService>(
                                                 e.handle, e.uuid, e.primary, weak_from_this()));
    }
    known_ = next;
    services_ = std::move(next);
  }
  // At the end of a link: nothing is listed until the next discovery, but the objects stay, so
  // that a characteristic the device still has keeps its object across a reconnection.
  void forgetServices() {
    std::lock_guard lock(mutex_);
    services_.reset();
    for (const auto& s : known_) s->forgetCharacteristics();
  }
  std::shared_ptr<SimService> findService(uint32_t handle) const {
    std::lock_guard lock(mutex_);
    for (const auto& s : known_) {
      if (s->handle() == handle) return s;
    }
    return nullptr;
  }
  std::shared_ptr<SimCharacteristic> findCharacteristic(uint32_t handle) const {
    std::lock_guard lock(mutex_);
    for (const auto& s : known_) {
      if (auto c = s->find(handle)) return c;
    }
    return nullptr;
  }

 private:
  const NodeId id_;
  const std::weak_ptr<SimCentralManager> manager_;
  // Every service object seen, listed or not, so that a rediscovery finds it again.
  std::vector<std::shared_ptr<SimService>> known_;
};

enum class LinkState { connecting, connected };

// What an ATT request waits for.
struct Pending {
  MessageType answer;
  std::shared_ptr<SimService> service;
  std::shared_ptr<SimCharacteristic> characteristic;
};

struct Link {
  LinkState state = LinkState::connecting;
  uint16_t mtu = kDefaultMTU;
  std::unordered_map<uint32_t, Pending> pending;
};

class SimCentralManager : public CBCentralManager,
                          public AirNode,
                          public std::enable_shared_from_this<SimCentralManager> {
 public:
  SimCentralManager(std::shared_ptr<Air> air, CBCentralManagerDelegate& delegate,
                    DispatchQueue& queue, CentralOptions options)
      : air_(std::move(air)),
        delegate_(delegate),
        queue_(queue),
        id_(options.id),
        options_(options),
        poweredOn_(!options.helperNode || air_->powered()) {}

  ~SimCentralManager() override {
    air_->detach(id_);
    std::unordered_map<NodeId, Link, NodeIdHash> links;
    {
      std::lock_guard lock(mutex_);
      links.swap(links_);
    }
    for (const auto& [peer, link] : links) endLink(peer, 7);
  }

  void start() {
    air_->attach(id_, this, options_.helperNode);
    queue_.async([weak = weak_from_this(), this] {
      if (auto self = weak.lock()) guarded([&] { delegate_.centralManagerDidUpdateState(*this); });
    });
  }

  // ---- CBCentralManager ----

  CBManagerState state() const override {
    return poweredOn_.load() ? CBManagerState::poweredOn : CBManagerState::poweredOff;
  }

  void scanForPeripherals(const std::optional<std::vector<CBUUID>>& services,
                          const CBScanOptions& options) override {
    if (!poweredOn_) return;
    {
      std::lock_guard lock(mutex_);
      scanning_ = true;
      filter_ = services;
      allowDuplicates_ = options.allowDuplicates;
      seen_.clear();
    }
    air_->setScanning(id_, true);
  }

  void stopScan() override {
    {
      std::lock_guard lock(mutex_);
      scanning_ = false;
    }
    air_->setScanning(id_, false);
  }

  bool isScanning() const override {
    std::lock_guard lock(mutex_);
    return scanning_;
  }

  void connect(const std::shared_ptr<CBPeripheral>& p) override {
    auto peripheral = own(p);
    if (!peripheral || !poweredOn_) return;
    {
      std::lock_guard lock(mutex_);
      auto it = links_.find(peripheral->nodeId());
      if (it != links_.end()) {
        if (it->second.state == LinkState::connecting) return;
        // Already connected: report it again, as the platform does.
        return later([this, peripheral] {
          guarded([&] { delegate_.centralManagerDidConnectPeripheral(*this, peripheral); });
        });
      }
      links_[peripheral->nodeId()] = Link{};
    }
    Message m;
    m.type = MessageType::connectRequest;
    m.mtu = options_.mtu;
    sendTo(peripheral->nodeId(), std::move(m));
  }

  void cancelPeripheralConnection(const std::shared_ptr<CBPeripheral>& p) override {
    auto peripheral = own(p);
    if (!peripheral) return;
    {
      std::lock_guard lock(mutex_);
      if (!links_.erase(peripheral->nodeId())) return;
    }
    endLink(peripheral->nodeId(), 7);
    peripheral->forgetServices();
    later([this, peripheral] {
      guarded([&] {
        delegate_.centralManagerDidDisconnectPeripheral(*this, peripheral, std::nullopt);
      });
    });
  }

  // ---- Operations of the peripherals ----

  // Sends a request over the peripheral's link; without a link it is answered at once with
  // "not connected", never dropped.
  void request(const std::shared_ptr<SimPeripheral>& peripheral, Message m, Pending pending) {
    {
      std::lock_guard lock(mutex_);
      auto it = links_.find(peripheral->nodeId());
      if (it == links_.end() || it->second.state != LinkState::connected) {
        return refuse(peripheral, std::move(pending), CBError::link(kNotConnected));
      }
      m.request = nextRequest_++;
      if (pending.answer != MessageType::advertisement) {
        it->second.pending[m.request] = std::move(pending);
      }
    }
    sendTo(peripheral->nodeId(), std::move(m));
  }

  // Answers a request that cannot go out with `error`, later on the queue, as its answer would.
  void refuse(const std::shared_ptr<SimPeripheral>& peripheral, Pending pending, CBError error) {
    later([this, peripheral, pending = std::move(pending), error = std::move(error)] {
      report(peripheral, pending, {}, error);
    });
  }

  std::optional<uint16_t> linkMTU(const NodeId& peer) const {
    std::lock_guard lock(mutex_);
    auto it = links_.find(peer);
    if (it == links_.end() || it->second.state != LinkState::connected) return std::nullopt;
    return it->second.mtu;
  }

  // Runs `fn` on the queue later, while the manager lives.
  template <class Fn>
  void later(Fn fn) {
    queue_.async([weak = weak_from_this(), fn = std::move(fn)] {
      if (auto self = weak.lock()) fn();
    });
  }

 private:
  // ---- Incoming messages, batched onto the queue ----

  void receive(Message message) override {
    if (!inbox_.push(std::move(message))) return;
    queue_.async([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->drain();
    });
  }

  void powerChanged(bool on) override {
    later([this, on] { handlePower(on); });
  }

  void drain() {
    std::vector<Message> batch = inbox_.takeAll();
    for (auto& m : batch) handle(m);
  }

  void handle(Message& m) {
    switch (m.type) {
      case MessageType::advertisement:
        return handleAdvertisement(m);
      case MessageType::connectAccept:
        return handleAccept(m);
      case MessageType::connectReject:
        return handleLinkEnd(m.src, m.code, /*failed=*/true);
      case MessageType::disconnect:
        return handleLinkEnd(m.src, m.code == 6 ? 6 : 7, false);
      case MessageType::linkLost:
        return handleLinkEnd(m.src, 6, false);
      case MessageType::services:
      case MessageType::characteristics:
      case MessageType::readResponse:
      case MessageType::writeResponse:
      case MessageType::subscribeResponse:
        return handleAnswer(m);
      case MessageType::notification:
        return handleNotification(m);
      default:
        return;  // not for a central
    }
  }

  void handleAdvertisement(const Message& m) {
    const Advertisement& a = *m.advertisement;
    std::shared_ptr<SimPeripheral> peripheral;
    {
      std::lock_guard lock(mutex_);
      if (!scanning_ || !poweredOn_) return;
      if (filter_ && !matchesFilter(a)) return;
      if (!allowDuplicates_ && !seen_.insert(m.src).second) return;
      peripheral = peripheralFor(m.src);
    }
    peripheral->setName(a.gapName);
    CBAdvertisementData data;
    data.localName = a.localName;
    data.manufacturerData = a.manufacturerData;
    data.serviceUUIDs = a.serviceUUIDs;
    data.serviceData = a.serviceData;
    data.isConnectable = a.connectable ? 1 : 0;
    guarded(
        [&] { delegate_.centralManagerDidDiscoverPeripheral(*this, peripheral, data, m.rssi); });
  }

  bool matchesFilter(const Advertisement& a) const {
    if (filter_->empty()) return true;
    if (!a.serviceUUIDs) return false;
    for (const auto& u : *a.serviceUUIDs) {
      if (std::find(filter_->begin(), filter_->end(), u) != filter_->end()) return true;
    }
    return false;
  }

  void handleAccept(const Message& m) {
    std::shared_ptr<SimPeripheral> peripheral;
    {
      std::lock_guard lock(mutex_);
      auto it = links_.find(m.src);
      if (it == links_.end()) {
        // Cancelled meanwhile: end the link the peripheral just opened.
        Message end;
        end.type = MessageType::disconnect;
        end.code = 7;
        sendTo(m.src, std::move(end));
        return;
      }
      if (it->second.state == LinkState::connected) return;
      it->second.state = LinkState::connected;
      it->second.mtu = m.mtu;
      peripheral = peripheralFor(m.src);
    }
    air_->linkOpened(id_, m.src);
    guarded([&] { delegate_.centralManagerDidConnectPeripheral(*this, peripheral); });
  }

  void handleLinkEnd(const NodeId& peer, uint8_t code, bool failed) {
    std::shared_ptr<SimPeripheral> peripheral;
    bool wasConnected;
    {
      std::lock_guard lock(mutex_);
      auto it = links_.find(peer);
      if (it == links_.end()) return;
      wasConnected = it->second.state == LinkState::connected;
      links_.erase(it);
      peripheral = peripheralFor(peer);
    }
    if (wasConnected) air_->linkClosed(id_, peer);
    peripheral->forgetServices();
    guarded([&] {
      if (failed || !wasConnected) {
        delegate_.centralManagerDidFailToConnectPeripheral(*this, peripheral, CBError::link(code));
      } else {
        delegate_.centralManagerDidDisconnectPeripheral(*this, peripheral, CBError::link(code));
      }
    });
  }

  void handleAnswer(const Message& m) {
    Pending pending;
    std::shared_ptr<SimPeripheral> peripheral;
    {
      std::lock_guard lock(mutex_);
      auto it = links_.find(m.src);
      if (it == links_.end()) return;
      auto p = it->second.pending.find(m.request);
      if (p == it->second.pending.end() || p->second.answer != m.type) return;
      pending = std::move(p->second);
      it->second.pending.erase(p);
      peripheral = peripheralFor(m.src);
    }
    std::optional<CBError> error;
    if (m.code != 0) error = CBError::att(m.code);
    if (m.type == MessageType::services && !error) peripheral->setServices(m.services);
    if (m.type == MessageType::characteristics && !error) {
      pending.service->setCharacteristics(m.characteristics, pending.service);
    }
    if (m.type == MessageType::readResponse && !error) pending.characteristic->setValue(m.value);
    if (m.type == MessageType::subscribeResponse && !error) {
      pending.characteristic->setNotifying(m.flag);
    }
    report(peripheral, pending, m.type, error);
  }

  // Tells the peripheral's delegate the outcome of a request: the callback of its answer.
  void report(const std::shared_ptr<SimPeripheral>& self, const Pending& pending,
              std::optional<MessageType> type, const std::optional<CBError>& error) {
    CBPeripheralDelegate* delegate = self->delegate();
    if (!delegate) return;
    const auto& characteristic = pending.characteristic;
    guarded([&] {
      switch (type.value_or(pending.answer)) {
        case MessageType::services:
          return delegate->peripheralDidDiscoverServices(self, error);
        case MessageType::characteristics:
          return delegate->peripheralDidDiscoverCharacteristicsForService(self, pending.service,
                                                                          error);
        case MessageType::readResponse:
          return delegate->peripheralDidUpdateValueForCharacteristic(self, characteristic, error);
        case MessageType::writeResponse:
          return delegate->peripheralDidWriteValueForCharacteristic(self, characteristic, error);
        case MessageType::subscribeResponse:
          return delegate->peripheralDidUpdateNotificationStateForCharacteristic(
              self, characteristic, error);
        default:
          return;  // a write without response has no answer
      }
    });
  }

  void handleNotification(const Message& m) {
    std::shared_ptr<SimPeripheral> peripheral;
    {
      std::lock_guard lock(mutex_);
      auto it = links_.find(m.src);
      if (it == links_.end() || it->second.state != LinkState::connected) return;
      peripheral = peripheralFor(m.src);
    }
    auto characteristic = peripheral->findCharacteristic(m.handle);
    if (!characteristic) return;
    characteristic->setValue(m.value);
    if (auto* delegate = peripheral->delegate()) {
      guarded([&] {
        delegate->peripheralDidUpdateValueForCharacteristic(peripheral, characteristic,
                                                            std::nullopt);
      });
    }
  }

  void handlePower(bool on) {
    if (poweredOn_.exchange(on) == on) return;
    std::vector<std::pair<NodeId, bool>> ended;
    if (!on) {
      {
        std::lock_guard lock(mutex_);
        scanning_ = false;
        for (const auto& [peer, link] : links_) {
          ended.emplace_back(peer, link.state == LinkState::connected);
        }
        links_.clear();
      }
      air_->setScanning(id_, false);
    }
    guarded([&] { delegate_.centralManagerDidUpdateState(*this); });
    for (const auto& entry : ended) {
      const NodeId& peer = entry.first;
      bool wasConnected = entry.second;  // a plain copy: lambdas cannot capture bindings in clang
      endLink(peer, 6);
      std::shared_ptr<SimPeripheral> peripheral;
      {
        std::lock_guard lock(mutex_);
        peripheral = peripheralFor(peer);
      }
      peripheral->forgetServices();
      guarded([&] {
        if (wasConnected) {
          delegate_.centralManagerDidDisconnectPeripheral(*this, peripheral, CBError::link(6));
        } else {
          delegate_.centralManagerDidFailToConnectPeripheral(*this, peripheral, CBError::link(6));
        }
      });
    }
  }

  // ---- Helpers ----

  // Tells the peer the link is over and stops watching it.
  void endLink(const NodeId& peer, uint8_t code) {
    Message m;
    m.type = MessageType::disconnect;
    m.code = code;
    sendTo(peer, std::move(m));
    air_->linkClosed(id_, peer);
  }

  // The one peripheral object of a node. Called with mutex_ held.
  std::shared_ptr<SimPeripheral> peripheralFor(const NodeId& id) {
    auto& p = peripherals_[id];
    if (!p) p = std::make_shared<SimPeripheral>(id, weak_from_this());
    return p;
  }

  std::shared_ptr<SimPeripheral> own(const std::shared_ptr<CBPeripheral>& p) {
    auto peripheral = std::dynamic_pointer_cast<SimPeripheral>(p);
    if (!peripheral) return nullptr;
    std::lock_guard lock(mutex_);
    auto it = peripherals_.find(peripheral->nodeId());
    return it != peripherals_.end() && it->second == peripheral ? peripheral : nullptr;
  }

  void sendTo(const NodeId& dst, Message m) {
    m.src = id_;
    m.dst = dst;
    air_->send(m);
  }

  const std::shared_ptr<Air> air_;
  CBCentralManagerDelegate& delegate_;
  DispatchQueue& queue_;
  const NodeId id_;
  const CentralOptions options_;
  std::atomic<bool> poweredOn_;

  Inbox inbox_;

  mutable std::mutex mutex_;  // guards everything below
  bool scanning_ = false;
  std::optional<std::vector<CBUUID>> filter_;
  bool allowDuplicates_ = false;
  std::unordered_set<NodeId, NodeIdHash> seen_;
  std::unordered_map<NodeId, std::shared_ptr<SimPeripheral>, NodeIdHash> peripherals_;
  std::unordered_map<NodeId, Link, NodeIdHash> links_;
  uint32_t nextRequest_ = 1;
};

// ---- SimPeripheral operations: forwarded to the manager that knows the link ----

void SimPeripheral::discoverServices() {
  auto manager = manager_.lock();
  if (!manager) return;
  Message m;
  m.type = MessageType::discoverServices;
  manager->request(shared_from_this(), std::move(m),
                   Pending{MessageType::services, nullptr, nullptr});
}

void SimPeripheral::discoverCharacteristics(const std::shared_ptr<CBService>& s) {
  auto manager = manager_.lock();
  auto service = std::dynamic_pointer_cast<SimService>(s);
  if (!manager || !service || service->peripheral().get() != this) return;
  Message m;
  m.type = MessageType::discoverCharacteristics;
  m.handle = service->handle();
  manager->request(shared_from_this(), std::move(m),
                   Pending{MessageType::characteristics, service, nullptr});
}

// Sends a request about a characteristic of this peripheral. One whose service is gone is
// answered at once with "invalid handle", as the device would answer its old handle.
void SimPeripheral::requestFor(const std::shared_ptr<CBCharacteristic>& c, Message m,
                               MessageType answer) {
  auto manager = manager_.lock();
  auto characteristic = std::dynamic_pointer_cast<SimCharacteristic>(c);
  if (!manager || !characteristic) return;
  Pending pending{answer, nullptr, characteristic};
  auto service = characteristic->service();
  if (!service) return manager->refuse(shared_from_this(), pending, CBError::att(kInvalidHandle));
  if (service->peripheral().get() != this) return;
  m.handle = characteristic->handle();
  manager->request(shared_from_this(), std::move(m), std::move(pending));
}

void SimPeripheral::readValue(const std::shared_ptr<CBCharacteristic>& c) {
  Message m;
  m.type = MessageType::read;
  requestFor(c, std::move(m), MessageType::readResponse);
}

void SimPeripheral::writeValue(const CBData& data, const std::shared_ptr<CBCharacteristic>& c,
                               CBCharacteristicWriteType type) {
  bool withResponse = type == CBCharacteristicWriteType::withResponse;
  auto answer = withResponse ? MessageType::writeResponse : MessageType::advertisement;
  Message m;
  m.type = MessageType::write;
  m.value = data;
  m.flag = withResponse;
  if (data.size() > maximumWriteValueLength(type)) {
    if (!withResponse) return;  // too long for one packet: the platform drops it
    auto manager = manager_.lock();
    auto characteristic = std::dynamic_pointer_cast<SimCharacteristic>(c);
    if (manager && characteristic) {
      manager->refuse(shared_from_this(), Pending{answer, nullptr, characteristic},
                      CBError::att(kInvalidAttributeValueLength));
    }
    return;
  }
  requestFor(c, std::move(m), answer);
}

size_t SimPeripheral::maximumWriteValueLength(CBCharacteristicWriteType type) const {
  if (type == CBCharacteristicWriteType::withResponse) return kMaxAttributeLength;
  auto manager = manager_.lock();
  auto mtu = manager ? manager->linkMTU(id_) : std::nullopt;
  return mtu.value_or(23) - 3u;
}

void SimPeripheral::setNotifyValue(bool enabled, const std::shared_ptr<CBCharacteristic>& c) {
  Message m;
  m.type = MessageType::subscribe;
  m.flag = enabled;
  requestFor(c, std::move(m), MessageType::subscribeResponse);
}

std::string SimPeripheral::description() const {
  auto n = name();
  bool connected = false;
  if (auto manager = manager_.lock()) connected = manager->linkMTU(id_).has_value();
  return "<CBPeripheral: " + pointerText(this) + ", identifier = " + identifier() +
         ", name = " + n.value_or("(null)") + ", mtu = " +
         std::to_string(maximumWriteValueLength(CBCharacteristicWriteType::withoutResponse) + 3) +
         ", state = " + (connected ? "connected" : "disconnected") + ">";
}

}  // namespace

std::shared_ptr<CBCentralManager> makeCentralManager(std::shared_ptr<Air> air,
                                                     CBCentralManagerDelegate& delegate,
                                                     DispatchQueue& queue, CentralOptions options) {
  auto manager = std::make_shared<SimCentralManager>(std::move(air), delegate, queue, options);
  manager->start();
  return manager;
}

}  // namespace sim
