#include "bluetooth/sim/sim_peripheral_manager.h"

#include <unordered_map>

#include "bluetooth/description.h"
#include "bluetooth/guarded.h"
#include "bluetooth/sim/peripheral_node.h"

namespace sim {

namespace {

class SimCentral : public CBCentral {
 public:
  SimCentral(const NodeId& id, uint16_t mtu) : id_(id), text_(nodeIdText(id)), mtu_(mtu) {}
  std::string identifier() const override { return text_; }
  size_t maximumUpdateValueLength() const override { return mtu_.load() - 3u; }
  const NodeId& nodeId() const { return id_; }
  void setMTU(uint16_t mtu) { mtu_ = mtu; }

 private:
  const NodeId id_;
  const std::string text_;
  std::atomic<uint16_t> mtu_;
};

class SimATTRequest : public CBATTRequest {
 public:
  SimATTRequest(std::shared_ptr<SimCentral> central,
                std::shared_ptr<CBMutableCharacteristic> characteristic, uint32_t request,
                bool isRead, bool needsAnswer, CBData value)
      : central_(std::move(central)),
        characteristic_(std::move(characteristic)),
        request_(request),
        isRead_(isRead),
        needsAnswer_(needsAnswer),
        value_(std::move(value)) {}
  std::shared_ptr<CBCentral> central() const override { return central_; }
  std::shared_ptr<CBCharacteristic> characteristic() const override { return characteristic_; }
  size_t offset() const override { return 0; }
  const CBData& value() const override { return value_; }
  void setValue(CBData value) override { value_ = std::move(value); }

  const std::shared_ptr<SimCentral> central_;
  const std::shared_ptr<CBMutableCharacteristic> characteristic_;
  const uint32_t request_;
  const bool isRead_;
  const bool needsAnswer_;
  std::atomic<bool> answered_{false};

 private:
  CBData value_;
};

class SimPeripheralManager : public CBPeripheralManager, public PeripheralNode {
 public:
  SimPeripheralManager(std::shared_ptr<Air> air, CBPeripheralManagerDelegate& delegate,
                       DispatchQueue& queue, TransmitQueue transmit)
      : PeripheralNode(air, queue, randomNodeId(), kLargestMTU, /*helperNode=*/true, transmit),
        delegate_(delegate) {}
  ~SimPeripheralManager() override { stop(); }

  void reportFirstState() {
    queue().async([weak = weak_from_this(), this] {
      if (auto self = weak.lock())
        guarded([&] { delegate_.peripheralManagerDidUpdateState(*this); });
    });
  }

  CBManagerState state() const override {
    return poweredOn() ? CBManagerState::poweredOn : CBManagerState::poweredOff;
  }

  void removeAllServices() override {
    unpublishAll();
    std::lock_guard lock(mutex_);
    characteristics_.clear();
    services_.clear();
  }

  void addService(const std::shared_ptr<CBMutableService>& service) override {
    if (!service) return;
    ServiceSpec layout{service->UUID(), service->isPrimary(), {}};
    for (const auto& c : service->mutableCharacteristics()) {
      layout.characteristics.push_back({c->UUID(), c->properties()});
    }
    auto published = publish(layout);
    std::lock_guard lock(mutex_);
    services_.push_back(service);  // published services are kept, as the platform does
    const auto& chars = service->mutableCharacteristics();
    for (size_t i = 0; i < chars.size(); ++i) {
      // A characteristic that has a value when published is answered by the platform itself.
      characteristics_[published.characteristicHandles[i]] =
          Local{chars[i], chars[i]->value().has_value()};
    }
  }

  void startAdvertising(const CBAdvertisingRequest& request) override {
    if (!poweredOn()) return;
    auto advertisement = std::make_shared<Advertisement>();
    advertisement->localName = request.localName;
    if (!request.serviceUUIDs.empty()) advertisement->serviceUUIDs = request.serviceUUIDs;
    advertisement->connectable = true;
    PeripheralNode::startAdvertising(advertisement, std::chrono::milliseconds(100), -50, -50);
  }

  void stopAdvertising() override { PeripheralNode::stopAdvertising(); }
  bool isAdvertising() const override { return PeripheralNode::isAdvertising(); }

  void respondToRequest(const std::shared_ptr<CBATTRequest>& request, CBATTError result) override {
    auto* r = dynamic_cast<SimATTRequest*>(request.get());
    if (r == nullptr || !r->needsAnswer_ || r->answered_.exchange(true)) return;
    auto att = static_cast<uint8_t>(result);
    if (r->isRead_) {
      answerRead(r->central_->nodeId(), r->request_, att, r->value());
    } else {
      answerWrite(r->central_->nodeId(), r->request_, att);
    }
  }

  bool updateValue(
      const CBData& value, const std::shared_ptr<CBMutableCharacteristic>& characteristic,
      const std::optional<std::vector<std::shared_ptr<CBCentral>>>& centrals) override {
    if (!poweredOn()) return false;
    std::optional<uint32_t> handle;
    {
      std::lock_guard lock(mutex_);
      for (const auto& [h, local] : characteristics_) {
        if (local.characteristic == characteristic) handle = h;
      }
    }
    if (!handle) return true;
    std::optional<std::vector<NodeId>> to;
    if (centrals) {
      to.emplace();
      for (const auto& c : *centrals) {
        if (auto* sc = dynamic_cast<SimCentral*>(c.get())) to->push_back(sc->nodeId());
      }
    }
    return queueNotification(*handle, value, to);
  }

 protected:
  void connected(const NodeId& central, uint16_t mtu) override { centralFor(central, mtu); }

  void readRequested(const NodeId& central, uint32_t request, uint32_t handle) override {
    auto local = localFor(handle);
    if (!local.characteristic) return answerRead(central, request, 0x0A, {});
    if (local.isStatic)
      return answerRead(central, request, 0, local.characteristic->value().value_or(CBData{}));
    auto r = std::make_shared<SimATTRequest>(centralFor(central), local.characteristic, request,
                                             true, true, CBData{});
    guarded([&] { delegate_.peripheralManagerDidReceiveReadRequest(*this, r); });
  }

  void writeRequested(const NodeId& central, uint32_t request, uint32_t handle,
                      const std::vector<uint8_t>& value, bool withResponse) override {
    auto local = localFor(handle);
    if (!local.characteristic || local.isStatic) {
      if (withResponse) answerWrite(central, request, 0x03);
      return;
    }
    std::vector<std::shared_ptr<CBATTRequest>> requests{std::make_shared<SimATTRequest>(
        centralFor(central), local.characteristic, request, false, withResponse, value)};
    guarded([&] { delegate_.peripheralManagerDidReceiveWriteRequests(*this, requests); });
  }

  void subscriptionChanged(const NodeId& central, uint32_t handle, bool enabled) override {
    auto local = localFor(handle);
    if (!local.characteristic) return;
    auto c = centralFor(central);
    guarded([&] {
      if (enabled) {
        delegate_.peripheralManagerCentralDidSubscribe(*this, c, local.characteristic);
      } else {
        delegate_.peripheralManagerCentralDidUnsubscribe(*this, c, local.characteristic);
      }
    });
  }

  void powerSwitched(bool) override {
    guarded([&] { delegate_.peripheralManagerDidUpdateState(*this); });
  }

  void transmitReady() override {
    guarded([&] { delegate_.peripheralManagerIsReadyToUpdateSubscribers(*this); });
  }

 private:
  struct Local {
    std::shared_ptr<CBMutableCharacteristic> characteristic;
    bool isStatic = false;
  };

  Local localFor(uint32_t handle) {
    std::lock_guard lock(mutex_);
    auto it = characteristics_.find(handle);
    return it == characteristics_.end() ? Local{} : it->second;
  }

  // The same central object for a central every time it is seen.
  std::shared_ptr<SimCentral> centralFor(const NodeId& id, std::optional<uint16_t> mtu = {}) {
    if (!mtu) mtu = linkMTU(id);
    std::lock_guard lock(mutex_);
    auto& c = centrals_[id];
    if (!c) c = std::make_shared<SimCentral>(id, mtu.value_or(kDefaultMTU));
    if (mtu) c->setMTU(*mtu);
    return c;
  }

  CBPeripheralManagerDelegate& delegate_;
  mutable std::mutex mutex_;  // guards the tables below
  std::vector<std::shared_ptr<CBMutableService>> services_;
  std::unordered_map<uint32_t, Local> characteristics_;
  std::unordered_map<NodeId, std::shared_ptr<SimCentral>, NodeIdHash> centrals_;
};

}  // namespace

std::shared_ptr<CBPeripheralManager> makePeripheralManager(std::shared_ptr<Air> air,
                                                           CBPeripheralManagerDelegate& delegate,
                                                           DispatchQueue& queue,
                                                           TransmitQueue transmit) {
  auto manager = std::make_shared<SimPeripheralManager>(std::move(air), delegate, queue, transmit);
  manager->start();
  manager->reportFirstState();
  return manager;
}

}  // namespace sim
