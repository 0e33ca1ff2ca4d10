#include "bluetooth/bluez/peripheral_manager_bluez.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <functional>
#include <set>

#include "bluetooth/guarded.h"
#include "platform/dispatch_queue.h"

namespace bluez {

namespace {

using std::chrono::seconds;
using Options = std::map<std::string, sdbus::Variant>;
using ReadResult = sdbus::Result<std::vector<uint8_t>>;
using VoidResult = sdbus::Result<>;

constexpr auto kControlTimeout = seconds(10);
// Changes of the profile that arrive together are published as one application.
constexpr auto kPublishDelay = std::chrono::milliseconds(20);
// A registration refused because bluetoothd has no advertising manager yet: tried again this
// often, this many times (10 s).
constexpr auto kEarlyRetryDelay = std::chrono::milliseconds(500);
constexpr unsigned kEarlyRetries = 20;
constexpr const char* kEveryCentral = "00:00:00:00:00:00";
constexpr uint16_t kDefaultMTU = 23;

std::atomic<int> gManagers{0};

class CBCentralBlueZ : public CBCentral {
 public:
  explicit CBCentralBlueZ(std::string identifier) : identifier_(std::move(identifier)) {}
  std::string identifier() const override { return identifier_; }
  size_t maximumUpdateValueLength() const override {
    std::lock_guard lock(mutex_);
    return mtu_ - 3;
  }
  // Requests carry their link's MTU; until a central subscribes, the largest one is taken.
  void raiseMTU(uint16_t mtu) {
    std::lock_guard lock(mutex_);
    if (!subscribers_) mtu_ = std::max(mtu_, mtu);
  }
  // A central subscribed on a link of this MTU: as bluetoothd cuts each notification to each
  // subscriber's MTU, the smallest one is the longest value that reaches every subscriber.
  void subscriberMTU(uint16_t mtu) {
    std::lock_guard lock(mutex_);
    mtu_ = subscribers_ ? std::min(mtu_, mtu) : mtu;
    subscribers_ = true;
  }
  void noSubscribers() {
    std::lock_guard lock(mutex_);
    subscribers_ = false;
  }

 private:
  const std::string identifier_;
  mutable std::mutex mutex_;
  uint16_t mtu_ = kDefaultMTU;
  bool subscribers_ = false;
};

// A central's read or write, answered once through the D-Bus call it came in.
class CBATTRequestBlueZ : public CBATTRequest {
 public:
  CBATTRequestBlueZ(std::shared_ptr<CBCentral> central,
                    std::shared_ptr<CBMutableCharacteristic> characteristic, size_t offset,
                    CBData value)
      : central_(std::move(central)),
        characteristic_(std::move(characteristic)),
        offset_(offset),
        value_(std::move(value)) {}
  std::shared_ptr<CBCentral> central() const override { return central_; }
  std::shared_ptr<CBCharacteristic> characteristic() const override { return characteristic_; }
  size_t offset() const override { return offset_; }
  const CBData& value() const override { return value_; }
  void setValue(CBData value) override { value_ = std::move(value); }

  std::optional<ReadResult> read;
  std::optional<VoidResult> write;
  std::atomic<bool> answered{false};

 private:
  const std::shared_ptr<CBCentral> central_;
  const std::shared_ptr<CBMutableCharacteristic> characteristic_;
  const size_t offset_;
  CBData value_;
};

void fail(const auto& result, const std::string& name, const std::string& message) {
  result.returnError(sdbus::Error(name, message));
}

// Answers a central's request with the BlueZ error that bluetoothd turns into `code`.
void refuse(const auto& result, CBATTError code) {
  auto [name, message] = errorFor(code);
  fail(result, name, message);
}

// BlueZ serves these services itself and refuses an application that has one.
bool reservedByBlueZ(const CBUUID& uuid) {
  return uuid == CBUUID::from16(0x1800) || uuid == CBUUID::from16(0x1801);
}

std::optional<std::string> refusalOf(const CBMutableService& service) {
  if (reservedByBlueZ(service.UUID())) {
    return "Service " + service.UUID().UUIDString() +
           " is provided by BlueZ itself and cannot be published";
  }
  for (const auto& c : service.mutableCharacteristics()) {
    // bluetoothd refuses these UUIDs on characteristics too (gatt-database.c parse_uuid).
    if (reservedByBlueZ(c->UUID())) {
      return "Characteristic " + c->UUID().UUIDString() +
             " has a UUID that BlueZ keeps for its own services and cannot be published";
    }
    if (c->properties() == 0) {
      return "Characteristic " + c->UUID().UUIDString() +
             " needs a property for BlueZ to publish it";
    }
  }
  return std::nullopt;
}

struct Local {
  std::shared_ptr<CBMutableCharacteristic> characteristic;
  bool isStatic = false;  // a value given at publishing is answered without the delegate
  bool notifying = false;
  CBData notified;
  std::shared_ptr<sdbus::IObject> object;
};

// Exported objects and the characteristics behind them, made before they are installed.
struct Tree {
  std::vector<std::shared_ptr<sdbus::IObject>> objects;
  std::map<std::string, Local> locals;
};

class CBPeripheralManagerBlueZ : public CBPeripheralManager,
                                 public BusListener,
                                 public std::enable_shared_from_this<CBPeripheralManagerBlueZ> {
 public:
  CBPeripheralManagerBlueZ(std::shared_ptr<Bus> bus, CBPeripheralManagerDelegate& delegate,
                           DispatchQueue& queue)
      : bus_(std::move(bus)),
        delegate_(delegate),
        queue_(queue),
        root_("/com/velnor/helper/p" + std::to_string(++gManagers)) {}

  // No lock around D-Bus calls anywhere below: the bus thread holds the library's own lock
  // while it runs our handlers, and they take ours.

  void start() {
    bus_->addListener(weak_from_this());
    {
      std::lock_guard lock(mutex_);
      reportedState_ = bus_->adapterState();
    }
    later([this] { delegate_.peripheralManagerDidUpdateState(*this); });
  }

  // ---- CBPeripheralManager ----

  CBManagerState state() const override { return bus_->adapterState(); }

  void removeAllServices() override {
    {
      std::lock_guard lock(mutex_);
      services_.clear();
    }
    schedulePublish();
  }

  std::optional<std::string> publishingRefusal(const CBMutableService& service) const override {
    return refusalOf(service);
  }

  void addService(const std::shared_ptr<CBMutableService>& service) override {
    if (!service) return;
    {
      std::lock_guard lock(mutex_);
      services_.push_back(service);
    }
    schedulePublish();
  }

  void startAdvertising(const CBAdvertisingRequest& request) override {
    uint64_t wanted = 0;
    {
      std::lock_guard lock(mutex_);
      wanted = ++wanted_;
    }
    advertise(request, wanted);
  }

  void stopAdvertising() override {
    {
      std::lock_guard lock(mutex_);
      ++wanted_;
    }
    withdrawAdvertisement();
  }

 private:
  // Advertises `request`, unless the role started or stopped advertising since `wanted` (the
  // adapter came back on, and the role stopped meanwhile).
  void advertise(const CBAdvertisingRequest& request, uint64_t wanted) {
    if (state() != CBManagerState::poweredOn || !bus_->connection()) return;
    withdrawAdvertisement();
    uint64_t next = 0;
    {
      std::lock_guard lock(mutex_);
      next = advertisingRound_ + 1;
    }
    std::shared_ptr<sdbus::IObject> object;
    try {
      object = exportAdvertisement(request, root_ + "/advertisement" + std::to_string(next));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "BlueZ: the advertisement cannot be exported: %s\n", e.what());
      return;
    }
    uint64_t round = 0;
    {
      std::lock_guard lock(mutex_);
      if (wanted != wanted_) return;
      advertisement_ = object;
      advertising_ = true;
      request_ = request;
      round = ++advertisingRound_;
    }
    registerAdvertisement(object->getObjectPath(), round);
  }

  // Registers the advertisement exported at `path`, unless a stop ended round `round` first.
  void registerAdvertisement(const std::string& path, uint64_t round) {
    std::weak_ptr<CBPeripheralManagerBlueZ> weak = weak_from_this();
    oneAtATime([weak, path, round] {
      auto self = weak.lock();
      if (!self) return;
      bool stopped = false;
      {
        std::lock_guard lock(self->mutex_);
        stopped = self->advertisingRound_ != round;
      }
      if (stopped) return self->advertisingCallAnswered();  // takes the lock itself
      self->bus_->call(
          self->bus_->adapterPath(), kAdvertisingManager, "RegisterAdvertisement", kControlTimeout,
          [weak, round](sdbus::MethodReply&, const sdbus::Error* error) {
            auto self = weak.lock();
            if (!self) return;
            if (error) {
              self->registrationFailed(*error, round);
            } else {
              std::lock_guard lock(self->mutex_);
              self->earlyRetries_ = 0;
            }
            self->advertisingCallAnswered();
          },
          sdbus::ObjectPath(path), Options{});
    });
  }

  // Bus thread. A bluetoothd that has just started has the adapter before its advertising
  // manager: the registration is tried again a little later, while the role still wants it.
  void registrationFailed(const sdbus::Error& error, uint64_t round) {
    std::fprintf(stderr, "BlueZ: RegisterAdvertisement failed: %s\n", error.what());
    bool early = error.getName() == "org.freedesktop.DBus.Error.UnknownMethod" ||
                 error.getName() == "org.freedesktop.DBus.Error.UnknownObject";
    std::optional<CBAdvertisingRequest> again;
    uint64_t wanted = 0;
    {
      std::lock_guard lock(mutex_);
      if (advertisingRound_ != round) return;
      advertising_ = false;
      if (early && request_ && earlyRetries_++ < kEarlyRetries) {
        again = request_;
        wanted = wanted_;
      }
    }
    if (!again) return;
    std::weak_ptr<CBPeripheralManagerBlueZ> weak = weak_from_this();
    queue_.asyncAfter(kEarlyRetryDelay, [weak, request = *again, wanted] {
      if (auto self = weak.lock()) guarded([&] { self->advertise(request, wanted); });
    });
  }

  // Unregisters the advertisement, if there is one; the role no longer wants it.
  void withdrawAdvertisement() {
    std::shared_ptr<sdbus::IObject> object;
    {
      std::lock_guard lock(mutex_);
      request_.reset();
      advertiseAgain_ = false;
      if (!std::exchange(advertising_, false)) return;
      ++advertisingRound_;
      object = std::move(advertisement_);
    }
    if (!object) return;
    // The object stays exported until bluetoothd has let go of it.
    std::weak_ptr<CBPeripheralManagerBlueZ> weak = weak_from_this();
    oneAtATime([weak, object] {
      auto self = weak.lock();
      if (!self) return;
      self->bus_->call(
          self->bus_->adapterPath(), kAdvertisingManager, "UnregisterAdvertisement",
          kControlTimeout,
          [object, weak](sdbus::MethodReply&, const sdbus::Error*) {
            if (auto self = weak.lock()) self->advertisingCallAnswered();
          },
          sdbus::ObjectPath(object->getObjectPath()));
    });
  }

  // Sends `call` once no other advertising call waits for its answer; `call` ends with
  // advertisingCallAnswered. bluetoothd 5.66 crashes when an advertisement is unregistered while
  // its registration is under way, and when a new one gets the instance that an unregistration
  // under way then removes.
  void oneAtATime(std::function<void()> call) {
    {
      std::lock_guard lock(mutex_);
      if (advertisingCallOut_) return waitingCalls_.push_back(std::move(call));
      advertisingCallOut_ = true;
    }
    call();
  }

  void advertisingCallAnswered() {
    std::function<void()> next;
    {
      std::lock_guard lock(mutex_);
      if (waitingCalls_.empty()) {
        advertisingCallOut_ = false;
        return;
      }
      next = std::move(waitingCalls_.front());
      waitingCalls_.pop_front();
    }
    next();
  }

 public:
  bool isAdvertising() const override {
    std::lock_guard lock(mutex_);
    return advertising_;
  }

  void respondToRequest(const std::shared_ptr<CBATTRequest>& request, CBATTError result) override {
    auto* r = dynamic_cast<CBATTRequestBlueZ*>(request.get());
    if (r == nullptr || r->answered.exchange(true)) return;
    try {
      if (result != CBATTError::success) {
        if (r->read) refuse(*r->read, result);
        if (r->write) refuse(*r->write, result);
      } else if (r->read) {
        r->read->returnResults(r->value());
      } else if (r->write) {
        r->write->returnResults();
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "BlueZ: an answer to a central could not be sent: %s\n", e.what());
    }
  }

  bool updateValue(
      const CBData& value, const std::shared_ptr<CBMutableCharacteristic>& characteristic,
      const std::optional<std::vector<std::shared_ptr<CBCentral>>>& /*centrals*/) override {
    if (state() != CBManagerState::poweredOn) return false;
    std::shared_ptr<sdbus::IObject> object;
    {
      std::lock_guard lock(mutex_);
      for (auto& [path, local] : locals_) {
        if (local.characteristic == characteristic && local.notifying) {
          local.notified = value;
          object = local.object;
        }
      }
    }
    if (!object) return true;
    // BlueZ turns the Value change into a notification to every subscribed central. It queues
    // every one without a bound and never refuses: true, and the ready callback never comes.
    try {
      object->emitPropertiesChangedSignal(kGattCharacteristic, {"Value"});
    } catch (const std::exception& e) {
      std::fprintf(stderr, "BlueZ: a notification could not be sent: %s\n", e.what());
    }
    return true;
  }

  // ---- BusListener (bus thread) ----

  // bluetoothd keeps the application while the adapter is switched off and on; it goes only
  // with the adapter (or bluetoothd) itself.
  void adapterChanged() override {
    CBManagerState now = bus_->adapterState();
    bool republish = false;
    std::optional<CBAdvertisingRequest> readvertise;
    uint64_t wanted = 0;
    {
      std::lock_guard lock(mutex_);
      if (now == reportedState_) return;
      bool wasPresent = reportedState_ != CBManagerState::unsupported;
      reportedState_ = now;
      if (now == CBManagerState::unsupported) {
        advertiseAgain_ = advertising_ && request_;
        advertising_ = false;
        advertisement_.reset();
        registered_ = false;
      } else if (!wasPresent) {
        republish = !services_.empty();
      }
      // Switched off, the adapter stops advertising, and bluetoothd 5.66 with the kernel does
      // not always start again: the advertisement is registered anew once it is on.
      if (now == CBManagerState::poweredOff && advertising_ && request_) advertiseAgain_ = true;
      if (now == CBManagerState::poweredOn && std::exchange(advertiseAgain_, false)) {
        readvertise = request_;
        wanted = wanted_;
      }
    }
    // A restarted bluetoothd, or an adapter plugged in again, gets the profile and the
    // advertisement once more: the roles still count on both.
    if (republish) schedulePublish();
    if (readvertise) advertise(*readvertise, wanted);
    later([this] { delegate_.peripheralManagerDidUpdateState(*this); });
  }

 private:
  template <class Fn>
  void later(Fn fn) {
    queue_.async([weak = weak_from_this(), fn = std::move(fn)]() mutable {
      if (auto self = weak.lock()) guarded(fn);
    });
  }

  // ---- Publishing ----

  void schedulePublish() {
    {
      std::lock_guard lock(mutex_);
      if (std::exchange(publishScheduled_, true)) return;
    }
    queue_.asyncAfter(kPublishDelay, [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->publish();
    });
  }

  // Unregisters the application, exports the current services and registers them again. A
  // change made meanwhile publishes once more when this round is done.
  void publish() {
    {
      std::lock_guard lock(mutex_);
      publishScheduled_ = false;
      if (publishing_) {
        publishAgain_ = true;
        return;
      }
      publishing_ = true;
    }
    if (!bus_->connection()) return publishDone();
    bool wasRegistered = false;
    {
      std::lock_guard lock(mutex_);
      wasRegistered = std::exchange(registered_, false);
    }
    if (!wasRegistered) return exportAndRegister();
    std::weak_ptr<CBPeripheralManagerBlueZ> weak = weak_from_this();
    bus_->call(
        bus_->adapterPath(), kGattManager, "UnregisterApplication", kControlTimeout,
        [weak](sdbus::MethodReply&, const sdbus::Error*) {
          if (auto self = weak.lock()) self->exportAndRegister();
        },
        sdbus::ObjectPath(root_));
  }

  void exportAndRegister() {
    bool any = false;
    try {
      any = exportServices();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "BlueZ: the profile cannot be exported: %s\n", e.what());
    }
    if (!any || state() == CBManagerState::unsupported) return publishDone();
    std::weak_ptr<CBPeripheralManagerBlueZ> weak = weak_from_this();
    bus_->call(
        bus_->adapterPath(), kGattManager, "RegisterApplication", kControlTimeout,
        [weak](sdbus::MethodReply&, const sdbus::Error* error) {
          auto self = weak.lock();
          if (!self) return;
          if (error) {
            std::fprintf(stderr, "BlueZ: RegisterApplication failed: %s\n", error->what());
          } else {
            std::lock_guard lock(self->mutex_);
            self->registered_ = true;
          }
          self->publishDone();
        },
        sdbus::ObjectPath(root_), Options{});
  }

  void publishDone() {
    bool again = false;
    {
      std::lock_guard lock(mutex_);
      publishing_ = false;
      again = std::exchange(publishAgain_, false);
    }
    if (again) schedulePublish();
  }

  // Replaces the exported tree with the current services; false when there are none.
  bool exportServices() {
    Tree old;
    std::vector<std::shared_ptr<CBMutableService>> services;
    {
      std::lock_guard lock(mutex_);
      old.objects.swap(objects_);
      old.locals.swap(locals_);
      services = services_;
    }
    old = Tree{};  // unexported before the same paths are exported again
    if (services.empty()) return false;
    Tree tree;
    auto& connection = *bus_->connection();
    std::shared_ptr<sdbus::IObject> root = sdbus::createObject(connection, root_);
    root->addObjectManager();
    root->finishRegistration();
    tree.objects.push_back(std::move(root));
    for (size_t s = 0; s < services.size(); ++s) {
      std::string servicePath = root_ + "/service" + std::to_string(s);
      exportService(tree, connection, servicePath, *services[s]);
      const auto& chars = services[s]->mutableCharacteristics();
      for (size_t c = 0; c < chars.size(); ++c) {
        exportCharacteristic(tree, connection, servicePath + "/char" + std::to_string(c),
                             servicePath, chars[c]);
      }
    }
    std::lock_guard lock(mutex_);
    objects_ = std::move(tree.objects);
    locals_ = std::move(tree.locals);
    return true;
  }

  void exportService(Tree& tree, sdbus::IConnection& connection, const std::string& path,
                     const CBMutableService& service) {
    auto object = sdbus::createObject(connection, path);
    std::string uuid = textOf(service.UUID());
    bool primary = service.isPrimary();
    object->registerProperty("UUID").onInterface(kGattService).withGetter([uuid] { return uuid; });
    object->registerProperty("Primary").onInterface(kGattService).withGetter([primary] {
      return primary;
    });
    object->finishRegistration();
    tree.objects.push_back(std::move(object));
  }

  void exportCharacteristic(Tree& tree, sdbus::IConnection& connection, const std::string& path,
                            const std::string& servicePath,
                            const std::shared_ptr<CBMutableCharacteristic>& characteristic) {
    std::shared_ptr<sdbus::IObject> object = sdbus::createObject(connection, path);
    std::string uuid = textOf(characteristic->UUID());
    auto flags = flagsFor(characteristic->properties(), characteristic->permissions());
    std::weak_ptr<CBPeripheralManagerBlueZ> weak = weak_from_this();
    object->registerProperty("UUID").onInterface(kGattCharacteristic).withGetter([uuid] {
      return uuid;
    });
    object->registerProperty("Service").onInterface(kGattCharacteristic).withGetter([servicePath] {
      return sdbus::ObjectPath(servicePath);
    });
    object->registerProperty("Flags").onInterface(kGattCharacteristic).withGetter([flags] {
      return flags;
    });
    object->registerProperty("Value").onInterface(kGattCharacteristic).withGetter([weak, path] {
      auto self = weak.lock();
      return self ? self->notifiedValue(path) : CBData{};
    });
    object->registerMethod("ReadValue")
        .onInterface(kGattCharacteristic)
        .implementedAs([weak, path](ReadResult&& result, Options options) {
          if (auto self = weak.lock()) self->readRequested(path, std::move(result), options);
        });
    object->registerMethod("WriteValue")
        .onInterface(kGattCharacteristic)
        .implementedAs(
            [weak, path](VoidResult&& result, std::vector<uint8_t> value, Options options) {
              if (auto self = weak.lock()) {
                self->writeRequested(path, std::move(result), std::move(value), options);
              }
            });
    if (characteristic->properties() & CBCharacteristicPropertyNotify) {
      // With NotifyAcquired present bluetoothd asks AcquireNotify, which names the subscribing
      // central and its MTU, where StartNotify names nothing; see acquireNotify.
      object->registerProperty("NotifyAcquired").onInterface(kGattCharacteristic).withGetter([] {
        return false;
      });
      object->registerMethod("AcquireNotify")
          .onInterface(kGattCharacteristic)
          .implementedAs([weak, path](Options options) -> std::tuple<sdbus::UnixFd, uint16_t> {
            auto self = weak.lock();
            if (!self) throw sdbus::Error("org.bluez.Error.Failed", "Not available");
            return self->acquireNotify(path, options);
          });
    }
    object->registerMethod("StartNotify")
        .onInterface(kGattCharacteristic)
        .implementedAs([weak, path] {
          if (auto self = weak.lock()) self->notifyChanged(path, true);
        });
    object->registerMethod("StopNotify")
        .onInterface(kGattCharacteristic)
        .implementedAs([weak, path] {
          if (auto self = weak.lock()) self->notifyChanged(path, false);
        });
    object->finishRegistration();
    tree.locals[path] =
        Local{characteristic, characteristic->value().has_value(), false, {}, object};
    tree.objects.push_back(std::move(object));
  }

  std::shared_ptr<sdbus::IObject> exportAdvertisement(const CBAdvertisingRequest& request,
                                                      const std::string& path) {
    std::shared_ptr<sdbus::IObject> object = sdbus::createObject(*bus_->connection(), path);
    std::vector<std::string> uuids;
    for (const auto& u : request.serviceUUIDs) uuids.push_back(textOf(u));
    object->registerProperty("Type").onInterface(kAdvertisement).withGetter([] {
      return std::string("peripheral");
    });
    object->registerProperty("ServiceUUIDs").onInterface(kAdvertisement).withGetter([uuids] {
      return uuids;
    });
    // General discoverable, as phones list only such devices; the adapter itself need not be.
    object->registerProperty("Discoverable").onInterface(kAdvertisement).withGetter([] {
      return true;
    });
    if (request.localName) {
      std::string name = advertisedName(*request.localName);
      object->registerProperty("LocalName").onInterface(kAdvertisement).withGetter([name] {
        return name;
      });
    }
    std::weak_ptr<CBPeripheralManagerBlueZ> weak = weak_from_this();
    // bluetoothd gave the advertisement up (the adapter went away, for instance).
    object->registerMethod("Release").onInterface(kAdvertisement).implementedAs([weak] {
      if (auto self = weak.lock()) {
        std::lock_guard lock(self->mutex_);
        self->advertising_ = false;
      }
    });
    object->finishRegistration();
    return object;
  }

  // ---- Requests from centrals (bus thread) ----

  CBData notifiedValue(const std::string& path) {
    std::lock_guard lock(mutex_);
    auto it = locals_.find(path);
    return it == locals_.end() ? CBData{} : it->second.notified;
  }

  // The central a request came from, by its "device" option; its MTU from "mtu".
  std::shared_ptr<CBCentralBlueZ> centralFor(const Options& options) {
    std::string address = kEveryCentral;
    if (auto device = property<sdbus::ObjectPath>(options, "device")) {
      if (auto props = bus_->properties(*device, kDevice)) {
        address = property<std::string>(*props, "Address").value_or(address);
      }
    }
    auto central = centralAt(address);
    if (auto mtu = property<uint16_t>(options, "mtu")) {
      central->raiseMTU(*mtu);
      centralAt(kEveryCentral)->raiseMTU(*mtu);
    }
    return central;
  }

  std::shared_ptr<CBCentralBlueZ> centralAt(const std::string& address) {
    std::lock_guard lock(mutex_);
    auto& slot = centrals_[address];
    if (!slot)
      slot = std::make_shared<CBCentralBlueZ>(identifierFor(bus_->adapterAddress(), address));
    return slot;
  }

  std::optional<Local> localAt(const std::string& path) {
    std::lock_guard lock(mutex_);
    auto it = locals_.find(path);
    if (it == locals_.end()) return std::nullopt;
    return it->second;
  }

  void readRequested(const std::string& path, ReadResult&& result, const Options& options) {
    auto local = localAt(path);
    size_t offset = property<uint16_t>(options, "offset").value_or(0);
    if (!local) return refuse(result, CBATTError::attributeNotFound);
    auto central = centralFor(options);
    if (local->isStatic) {
      CBData value = local->characteristic->value().value_or(CBData{});
      if (offset > value.size()) return fail(result, "org.bluez.Error.InvalidOffset", "");
      return result.returnResults(CBData(value.begin() + static_cast<long>(offset), value.end()));
    }
    auto request =
        std::make_shared<CBATTRequestBlueZ>(central, local->characteristic, offset, CBData{});
    request->read.emplace(std::move(result));
    later([this, request] { delegate_.peripheralManagerDidReceiveReadRequest(*this, request); });
  }

  void writeRequested(const std::string& path, VoidResult&& result, std::vector<uint8_t> value,
                      const Options& options) {
    auto local = localAt(path);
    if (!local) return refuse(result, CBATTError::attributeNotFound);
    if (local->isStatic) return fail(result, "org.bluez.Error.NotPermitted", "Write not permitted");
    auto central = centralFor(options);
    size_t offset = property<uint16_t>(options, "offset").value_or(0);
    auto request = std::make_shared<CBATTRequestBlueZ>(central, local->characteristic, offset,
                                                       std::move(value));
    // Answered when the delegate has decided. For a characteristic that allows writes without
    // response, bluetoothd has answered the central already and waits for no reply.
    request->write.emplace(std::move(result));
    later(
        [this, request] { delegate_.peripheralManagerDidReceiveWriteRequests(*this, {request}); });
  }

  // A central subscribed while bluetoothd had no notification socket of ours. The socket is
  // closed at once: bluetoothd then keeps sending notifications from Value changes, asks again
  // for the next central that subscribes (so each one's MTU is learnt), and calls StopNotify
  // when the last one has gone (gatt-database.c ccc_write_cb, sock_hup).
  std::tuple<sdbus::UnixFd, uint16_t> acquireNotify(const std::string& path,
                                                    const Options& options) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
      throw sdbus::Error("org.bluez.Error.Failed", "No socket for notifications");
    }
    sdbus::UnixFd theirs(ends[0], sdbus::adopt_fd);
    ::close(ends[1]);
    uint16_t mtu = property<uint16_t>(options, "mtu").value_or(kDefaultMTU);
    centralFor(options);
    centralAt(kEveryCentral)->subscriberMTU(mtu);
    notifyChanged(path, true);
    return {std::move(theirs), mtu};
  }

  void notifyChanged(const std::string& path, bool notifying) {
    std::shared_ptr<CBMutableCharacteristic> characteristic;
    bool anyNotifying = false;
    {
      std::lock_guard lock(mutex_);
      auto it = locals_.find(path);
      if (it == locals_.end() || it->second.notifying == notifying) return;
      it->second.notifying = notifying;
      characteristic = it->second.characteristic;
      for (const auto& [p, local] : locals_) anyNotifying = anyNotifying || local.notifying;
    }
    auto central = centralAt(kEveryCentral);
    if (!anyNotifying) central->noSubscribers();
    later([this, central, characteristic, notifying] {
      if (notifying) {
        delegate_.peripheralManagerCentralDidSubscribe(*this, central, characteristic);
      } else {
        delegate_.peripheralManagerCentralDidUnsubscribe(*this, central, characteristic);
      }
    });
  }

  const std::shared_ptr<Bus> bus_;
  CBPeripheralManagerDelegate& delegate_;
  DispatchQueue& queue_;
  const std::string root_;
  mutable std::mutex mutex_;
  CBManagerState reportedState_ = CBManagerState::unknown;
  std::vector<std::shared_ptr<CBMutableService>> services_;
  std::vector<std::shared_ptr<sdbus::IObject>> objects_;
  std::map<std::string, Local> locals_;
  std::map<std::string, std::shared_ptr<CBCentralBlueZ>> centrals_;
  bool publishScheduled_ = false;
  bool publishing_ = false;
  bool publishAgain_ = false;
  bool registered_ = false;
  std::shared_ptr<sdbus::IObject> advertisement_;
  bool advertising_ = false;
  uint64_t advertisingRound_ = 0;
  std::optional<CBAdvertisingRequest> request_;     // what the roles last asked to advertise
  bool advertiseAgain_ = false;                     // bluetoothd went away while advertising
  bool advertisingCallOut_ = false;                 // a (un)registration waits for its answer
  std::deque<std::function<void()>> waitingCalls_;  // the advertising calls after it
  uint64_t wanted_ = 0;                             // counts the role's starts and stops
  unsigned earlyRetries_ = 0;  // registrations tried again before bluetoothd was ready
};

}  // namespace

std::shared_ptr<CBPeripheralManager> makePeripheralManager(std::shared_ptr<Bus> bus,
                                                           CBPeripheralManagerDelegate& delegate,
                                                           DispatchQueue& queue) {
  auto manager = std::make_shared<CBPeripheralManagerBlueZ>(std::move(bus), delegate, queue);
  manager->start();
  return manager;
}

}  // namespace bluez
