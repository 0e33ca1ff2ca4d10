#include "bluetooth/corebluetooth/peripheral_manager_macos.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "bluetooth/corebluetooth/central_manager_macos.h"
#include "bluetooth/description.h"
#include "bluetooth/guarded.h"

namespace macos {

namespace {

class CBCentralMacOS : public CBCentral {
 public:
  explicit CBCentralMacOS(std::string identifier) : identifier_(std::move(identifier)) {}
  std::string identifier() const override { return identifier_; }
  size_t maximumUpdateValueLength() const override { return maximum_.load(); }
  void setMaximumUpdateValueLength(size_t maximum) { maximum_ = maximum; }

 private:
  const std::string identifier_;
  std::atomic<size_t> maximum_{20};
};

// The one answer that CoreBluetooth takes for a read request or for a callback of write
// requests. Shared by the request objects of that callback; the last of them to go answers
// what the role left unanswered.
class Answer {
 public:
  using Send = std::function<void(CBATTError, const std::optional<CBData>&)>;
  Answer(size_t requests, bool read, Send send)
      : pending_(requests), read_(read), send_(std::move(send)) {}
  ~Answer() {
    if (!given_) guarded([&] { send_(CBATTError::unlikelyError, std::nullopt); });
  }

  // One request's answer; `value` goes with a successful read. Any thread.
  void answer(CBATTError result, const std::optional<CBData>& value) {
    {
      std::lock_guard lock(mutex_);
      if (given_) {
        std::fprintf(stderr, "CoreBluetooth: a request answered again; the answer is dropped\n");
        return;
      }
      if (result == CBATTError::success && --pending_ > 0) return;
      given_ = true;
    }
    send_(result, read_ && result == CBATTError::success ? value : std::nullopt);
  }

 private:
  std::mutex mutex_;
  size_t pending_;
  bool given_ = false;
  const bool read_;
  const Send send_;
};

class CBATTRequestMacOS : public CBATTRequest {
 public:
  CBATTRequestMacOS(std::shared_ptr<CBCentral> central,
                    std::shared_ptr<CBCharacteristic> characteristic, size_t offset, CBData value,
                    std::shared_ptr<Answer> answer)
      : central_(std::move(central)),
        characteristic_(std::move(characteristic)),
        offset_(offset),
        value_(std::move(value)),
        answer_(std::move(answer)) {}
  std::shared_ptr<CBCentral> central() const override { return central_; }
  std::shared_ptr<CBCharacteristic> characteristic() const override { return characteristic_; }
  size_t offset() const override { return offset_; }
  const CBData& value() const override { return value_; }
  void setValue(CBData value) override { value_ = std::move(value); }
  void respond(CBATTError result) { answer_->answer(result, value_); }

 private:
  const std::shared_ptr<CBCentral> central_;
  const std::shared_ptr<CBCharacteristic> characteristic_;
  const size_t offset_;
  CBData value_;
  const std::shared_ptr<Answer> answer_;
};

class CBPeripheralManagerMacOS : public CBPeripheralManager,
                                 public PeripheralEvents,
                                 public std::enable_shared_from_this<CBPeripheralManagerMacOS> {
 public:
  CBPeripheralManagerMacOS(CBPeripheralManagerDelegate& delegate, DispatchQueue& queue)
      : delegate_(delegate), queue_(queue) {}

  void start(const PeripheralPlatformFactory& makePlatform) {
    platform_ = makePlatform(*this, queue_.label());
  }

  // ---- CBPeripheralManager (any thread) ----

  CBManagerState state() const override { return state_.load(); }

  void removeAllServices() override {
    {
      std::lock_guard lock(mutex_);
      published_.clear();
      services_.clear();
    }
    platform_->removeAllServices();
  }

  void addService(const std::shared_ptr<CBMutableService>& service) override {
    ServiceToPublish added{nextID(), service->UUID().UUIDString(), service->isPrimary(), {}};
    {
      std::lock_guard lock(mutex_);
      services_.push_back(service);
      for (const auto& c : service->mutableCharacteristics()) {
        ObjectID id = ++lastID_;
        published_[id] = c;
        added.characteristics.push_back(
            CharacteristicToPublish{id, c->UUID().UUIDString(), c->properties(), c->permissions()});
      }
    }
    platform_->addService(added);
  }

  void startAdvertising(const CBAdvertisingRequest& advertisement) override {
    std::vector<std::string> uuids;
    for (const auto& u : advertisement.serviceUUIDs) uuids.push_back(u.UUIDString());
    advertising_ = true;
    platform_->startAdvertising(advertisement.localName, uuids);
  }

  void stopAdvertising() override {
    advertising_ = false;
    platform_->stopAdvertising();
  }

  bool isAdvertising() const override { return advertising_.load(); }

  void respondToRequest(const std::shared_ptr<CBATTRequest>& request, CBATTError result) override {
    if (auto own = std::dynamic_pointer_cast<CBATTRequestMacOS>(request)) own->respond(result);
  }

  bool updateValue(
      const CBData& value, const std::shared_ptr<CBMutableCharacteristic>& characteristic,
      const std::optional<std::vector<std::shared_ptr<CBCentral>>>& centrals) override {
    ObjectID id = idOf(characteristic);
    // Not published: nobody can be subscribed, and no readiness would follow a refusal.
    if (id == 0) return true;
    std::optional<std::vector<std::string>> identifiers;
    if (centrals) {
      identifiers.emplace();
      for (const auto& c : *centrals) identifiers->push_back(c->identifier());
    }
    return platform_->updateValue(id, value, identifiers);
  }

  // ---- PeripheralEvents (the platform's queue): each is carried to the role's queue ----

  void stateChanged(int raw) override {
    post([raw](CBPeripheralManagerMacOS& self) {
      self.state_ = stateFrom(raw);
      if (self.state_ != CBManagerState::poweredOn) self.advertising_ = false;
      self.delegate_.peripheralManagerDidUpdateState(self);
    });
  }

  void serviceAdded(ObjectID, const std::optional<ErrorValue>& error) override {
    if (error) {
      std::fprintf(stderr, "CoreBluetooth: a service was not published: %s\n",
                   error->description.c_str());
    }
  }

  void advertisingStarted(const std::optional<ErrorValue>& error) override {
    if (!error) return;
    std::fprintf(stderr, "CoreBluetooth: advertising did not start: %s\n",
                 error->description.c_str());
    advertising_ = false;
  }

  void readRequest(ObjectID request, const RequestValue& value) override {
    post([request, value](CBPeripheralManagerMacOS& self) {
      auto answer = self.answerFor(request, 1, true);
      auto made = self.requestFrom(value, answer);
      if (made) self.delegate_.peripheralManagerDidReceiveReadRequest(self, made);
      if (!made) answer->answer(CBATTError::attributeNotFound, std::nullopt);
    });
  }

  void writeRequests(ObjectID first, const std::vector<RequestValue>& values) override {
    post([first, values](CBPeripheralManagerMacOS& self) {
      auto answer = self.answerFor(first, values.size(), false);
      std::vector<std::shared_ptr<CBATTRequest>> requests;
      for (const auto& value : values) {
        auto made = self.requestFrom(value, answer);
        if (!made) return answer->answer(CBATTError::attributeNotFound, std::nullopt);
        requests.push_back(made);
      }
      self.delegate_.peripheralManagerDidReceiveWriteRequests(self, requests);
    });
  }

  void subscribed(const CentralValue& central, ObjectID characteristic) override {
    post([central, characteristic](CBPeripheralManagerMacOS& self) {
      auto c = self.published(characteristic);
      if (c) self.delegate_.peripheralManagerCentralDidSubscribe(self, self.centralFor(central), c);
    });
  }

  void unsubscribed(const CentralValue& central, ObjectID characteristic) override {
    post([central, characteristic](CBPeripheralManagerMacOS& self) {
      auto c = self.published(characteristic);
      if (c) {
        self.delegate_.peripheralManagerCentralDidUnsubscribe(self, self.centralFor(central), c);
      }
    });
  }

  void readyToUpdateSubscribers() override {
    post([](CBPeripheralManagerMacOS& self) {
      self.delegate_.peripheralManagerIsReadyToUpdateSubscribers(self);
    });
  }

 private:
  // Runs `step` on the role's queue while the manager lives. Any thread.
  template <class Step>
  void post(Step step) {
    std::weak_ptr<CBPeripheralManagerMacOS> weak = weak_from_this();
    queue_.async([weak, step = std::move(step)] {
      if (auto self = weak.lock()) guarded([&] { step(*self); });
    });
  }

  ObjectID nextID() {
    std::lock_guard lock(mutex_);
    return ++lastID_;
  }

  ObjectID idOf(const std::shared_ptr<CBMutableCharacteristic>& characteristic) {
    std::lock_guard lock(mutex_);
    for (const auto& [id, c] : published_) {
      if (c == characteristic) return id;
    }
    return 0;
  }

  std::shared_ptr<CBMutableCharacteristic> published(ObjectID id) {
    std::lock_guard lock(mutex_);
    auto found = published_.find(id);
    return found == published_.end() ? nullptr : found->second;
  }

  // The one object for the central; its update length follows the latest callback.
  std::shared_ptr<CBCentral> centralFor(const CentralValue& value) {
    std::lock_guard lock(mutex_);
    auto& central = centrals_[value.identifier];
    if (!central) central = std::make_shared<CBCentralMacOS>(value.identifier);
    central->setMaximumUpdateValueLength(value.maximumUpdateValueLength);
    return central;
  }

  std::shared_ptr<Answer> answerFor(ObjectID request, size_t count, bool read) {
    std::weak_ptr<CBPeripheralManagerMacOS> weak = weak_from_this();
    return std::make_shared<Answer>(
        count, read, [weak, request](CBATTError result, const std::optional<CBData>& value) {
          if (auto self = weak.lock()) {
            self->platform_->respond(request, static_cast<uint8_t>(result), value);
          }
        });
  }

  // Null when the characteristic is not one of ours (anymore).
  std::shared_ptr<CBATTRequest> requestFrom(const RequestValue& value,
                                            const std::shared_ptr<Answer>& answer) {
    auto characteristic = published(value.characteristic);
    if (!characteristic) return nullptr;
    return std::make_shared<CBATTRequestMacOS>(centralFor(value.central), characteristic,
                                               value.offset, value.value.value_or(CBData{}),
                                               answer);
  }

  CBPeripheralManagerDelegate& delegate_;
  DispatchQueue& queue_;
  std::unique_ptr<PeripheralPlatform> platform_;
  std::atomic<CBManagerState> state_{CBManagerState::unknown};
  std::atomic<bool> advertising_{false};
  std::mutex mutex_;  // guards the tables below
  ObjectID lastID_ = 0;
  // Published until removeAllServices: the characteristics only point to their services.
  std::vector<std::shared_ptr<CBMutableService>> services_;
  std::unordered_map<ObjectID, std::shared_ptr<CBMutableCharacteristic>> published_;
  std::unordered_map<std::string, std::shared_ptr<CBCentralMacOS>> centrals_;
};

}  // namespace

std::shared_ptr<CBPeripheralManager> makePeripheralManagerMacOS(
    CBPeripheralManagerDelegate& delegate, DispatchQueue& queue,
    const PeripheralPlatformFactory& makePlatform) {
  auto manager = std::make_shared<CBPeripheralManagerMacOS>(delegate, queue);
  manager->start(makePlatform);
  return manager;
}

}  // namespace macos
