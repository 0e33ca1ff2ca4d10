#include "bluetooth/bluez/central_manager_bluez.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

#include "bluetooth/bluez/remote_objects_bluez.h"
#include "bluetooth/description.h"
#include "bluetooth/guarded.h"
#include "platform/dispatch_queue.h"

namespace bluez {

namespace {

using std::chrono::seconds;

// BlueZ gives up on a connection by itself; the call's own limit only catches a silent daemon.
constexpr auto kConnectTimeout = seconds(60);
// A connection retries transient refusals and looks for a device BlueZ has forgotten this long;
// the role's own timeout usually ends the wait sooner.
constexpr auto kConnectWindow = seconds(30);
constexpr auto kRetryDelay = std::chrono::milliseconds(100);
constexpr auto kGattTimeout = seconds(30);
constexpr auto kControlTimeout = seconds(10);

enum class LinkState { connecting, connected };

struct Link {
  LinkState state = LinkState::connecting;
  uint64_t attempt = 0;
  std::chrono::steady_clock::time_point giveUp{};  // retries and searches end here
  bool forgetting = false;  // BlueZ was asked to forget the device (once per attempt)
};

// What one device advertised: its services as last signalled, and the entries signalled during
// the current scan. bluetoothd's record keeps what earlier advertisements carried (src/device.c),
// so only entries it signalled anew belong to the current one.
struct AdRecord {
  uint64_t scan = 0;
  std::vector<std::string> uuids, uuidsNow;
  std::map<uint16_t, CBData> msdNow;
  std::optional<uint16_t> msdLatest;
  std::map<std::string, CBData> sdNow;
};

template <class Key>
std::map<Key, CBData> bytesOf(const std::map<Key, sdbus::Variant>& entries) {
  std::map<Key, CBData> bytes;
  for (const auto& [key, value] : entries) {
    if (value.template containsValueOfType<std::vector<uint8_t>>()) {
      bytes[key] = value.template get<std::vector<uint8_t>>();
    }
  }
  return bytes;
}

bool isGone(const sdbus::Error& error) {
  return error.getName() == "org.freedesktop.DBus.Error.UnknownObject" ||
         error.getName() == "org.freedesktop.DBus.Error.UnknownMethod";
}

class CBCentralManagerBlueZ : public CBCentralManager,
                              public BusListener,
                              public PeripheralOperationsBlueZ,
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
    askForConnectDevice();
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
      ++scan_;
    }
    letGoOfForgotten();
    updateDiscovery(true);
  }

  void stopScan() override {
    {
      std::lock_guard lock(mutex_);
      if (!std::exchange(scanning_, false)) return;
    }
    updateDiscovery(true);  // a search that goes on looks for every LE device
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
      links_[peripheral->path()] =
          Link{LinkState::connecting, attempt, std::chrono::steady_clock::now() + kConnectWindow};
    }
    tryConnect(peripheral, attempt);
  }

  void cancelPeripheralConnection(const std::shared_ptr<CBPeripheral>& p) override {
    auto peripheral = own(p);
    if (!peripheral) return;
    {
      std::lock_guard lock(mutex_);
      if (!links_.erase(peripheral->path())) return;
    }
    stopLooking(peripheral->path());
    {
      std::lock_guard lock(mutex_);
      disconnecting_[peripheral->path()] = false;
    }
    // bluetoothd answers Disconnect about 2 s later, just before Connected turns false: a
    // connection asked for meanwhile waits for both instead of riding the dying link.
    std::weak_ptr<CBCentralManagerBlueZ> weak = weak_from_this();
    bus_->call(peripheral->path(), kDevice, "Disconnect", kControlTimeout,
               [weak, peripheral](sdbus::MethodReply&, const sdbus::Error*) {
                 if (auto self = weak.lock()) self->disconnectAnswered(peripheral);
               });
    endNotifications(peripheral);
    resumeParked(peripheral);
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
      if (now != CBManagerState::poweredOn) {
        scanning_ = false;
        discovering_ = false;  // bluetoothd ends every discovery session
      }
    }
    if (now != CBManagerState::poweredOn) endAllLinks();
    if (now == CBManagerState::poweredOn) askForConnectDevice();
    later([this] { delegate_.centralManagerDidUpdateState(*this); });
  }

  void propertiesChanged(const std::string& path, const std::string& interface,
                         const Properties& changed, bool added) override {
    if (interface == kDevice) return deviceChanged(path, changed, added);
    if (interface == kGattCharacteristic && !added) return characteristicChanged(path, changed);
  }

  // A device that BlueZ removes keeps its object here, and a later connection looks for it
  // again; a connection made ends. One under way goes on as a new attempt that reaches the
  // device by its address: bluetoothd drops a pending Connect unanswered (device.c:device_free),
  // and a Connect sent just before the removal was read goes to an object already gone.
  void interfacesRemoved(const std::string& path,
                         const std::vector<std::string>& interfaces) override {
    if (std::find(interfaces.begin(), interfaces.end(), kDevice) == interfaces.end()) return;
    std::shared_ptr<CBPeripheralBlueZ> peripheral;
    uint64_t attempt = 0;
    {
      std::lock_guard lock(mutex_);
      auto it = links_.find(path);
      if (it != links_.end() && it->second.state == LinkState::connecting &&
          !it->second.forgetting) {
        it->second.attempt = attempt = ++attempts_;
        peripheral = peripherals_[path];
      }
    }
    if (peripheral) return tryConnect(peripheral, attempt);
    linkDropped(path);
    letGoOfForgotten(path);
  }

  // ---- Operations of the peripherals ----

  bool connected(const CBPeripheralBlueZ& peripheral) const override {
    std::lock_guard lock(mutex_);
    auto it = links_.find(peripheral.path());
    return it != links_.end() && it->second.state == LinkState::connected;
  }

  void discoverServices(const std::shared_ptr<CBPeripheralBlueZ>& peripheral) override {
    if (!connected(*peripheral)) return;
    // Wanted before the look, so that a ServicesResolved arriving in between is not lost.
    peripheral->setDiscoveryWanted(true);
    bool resolved = deviceSays(peripheral->path(), "ServicesResolved");
    if (resolved && peripheral->takeDiscoveryWanted()) servicesResolved(peripheral, true);
  }

  void discoverCharacteristics(const std::shared_ptr<CBPeripheralBlueZ>& peripheral,
                               const std::shared_ptr<CBServiceBlueZ>& service) override {
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
            const std::shared_ptr<CBCharacteristicBlueZ>& characteristic) override {
    if (!connected(*peripheral)) {
      return later([peripheral, characteristic] {
        if (auto* d = peripheral->delegate())
          d->peripheralDidUpdateValueForCharacteristic(peripheral, characteristic,
                                                       CBError::link(7));
      });
    }
    auto path =
        reachOrPark(peripheral, characteristic, [=, this] { read(peripheral, characteristic); });
    if (!path) return;
    characteristic->readStarted();
    std::weak_ptr<CBCentralManagerBlueZ> weak = weak_from_this();
    bus_->call(
        *path, kGattCharacteristic, "ReadValue", kGattTimeout,
        [weak, peripheral, characteristic](sdbus::MethodReply& reply, const sdbus::Error* error) {
          auto self = weak.lock();
          std::optional<CBError> failure;
          std::optional<CBData> value;
          if (error) {
            failure = self ? self->gattFailure(*peripheral, *error)
                           : gattErrorFrom(error->getName(), error->getMessage());
          } else if (!(value = valueIn(reply))) {
            failure = CBError::link(0);
          } else {
            characteristic->setValue(*value);
          }
          characteristic->readEnded(value);
          if (!self) return;
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
             CBCharacteristicWriteType type) override {
    bool withResponse = type == CBCharacteristicWriteType::withResponse;
    if (!connected(*peripheral)) {
      if (!withResponse) return;
      return later([peripheral, characteristic] {
        if (auto* d = peripheral->delegate())
          d->peripheralDidWriteValueForCharacteristic(peripheral, characteristic, CBError::link(7));
      });
    }
    auto path = reachOrPark(peripheral, characteristic,
                            [=, this] { write(peripheral, characteristic, data, type); });
    if (!path) return;
    std::map<std::string, sdbus::Variant> options{
        {"type", sdbus::Variant(std::string(withResponse ? "request" : "command"))}};
    std::weak_ptr<CBCentralManagerBlueZ> weak = weak_from_this();
    bus_->call(
        *path, kGattCharacteristic, "WriteValue", kGattTimeout,
        [weak, peripheral, characteristic, withResponse](sdbus::MethodReply&,
                                                         const sdbus::Error* error) {
          auto self = weak.lock();
          if (!self || !withResponse) return;
          std::optional<CBError> failure;
          if (error) failure = self->gattFailure(*peripheral, *error);
          self->later([peripheral, characteristic, failure] {
            if (auto* d = peripheral->delegate()) {
              d->peripheralDidWriteValueForCharacteristic(peripheral, characteristic, failure);
            }
          });
        },
        data, options);
  }

  // The object path that reaches the characteristic on the current link. Right after a
  // reconnect the roles may use it before BlueZ has announced its object again: the operation
  // then waits for ServicesResolved (none is returned). After bluetoothd was restarted the
  // objects come back under other paths: the one with the same service and characteristic
  // UUIDs stands in for the object the roles hold.
  std::optional<std::string> reachOrPark(
      const std::shared_ptr<CBPeripheralBlueZ>& peripheral,
      const std::shared_ptr<CBCharacteristicBlueZ>& characteristic,
      std::function<void()> operation) {
    if (bus_->properties(characteristic->path(), kGattCharacteristic))
      return characteristic->path();
    if (auto now = pathWithSameUUIDs(*peripheral, *characteristic)) return now;
    if (deviceSays(peripheral->path(), "ServicesResolved")) {
      return characteristic->path();  // gone: BlueZ's answer says so
    }
    std::fprintf(stderr, "BlueZ: %s waits until the services of %s are resolved\n",
                 characteristic->path().c_str(), peripheral->path().c_str());
    peripheral->park(std::move(operation));
    return std::nullopt;
  }

  std::optional<std::string> pathWithSameUUIDs(const CBPeripheralBlueZ& peripheral,
                                               const CBCharacteristicBlueZ& characteristic) const {
    auto service = characteristic.service();
    if (!service) return std::nullopt;
    auto uuidOf = [](const Properties& props) {
      return CBUUID::fromString(property<std::string>(props, "UUID").value_or(""));
    };
    for (const auto& [servicePath, serviceProps] :
         bus_->objectsWith(kGattService, peripheral.path())) {
      if (uuidOf(serviceProps) != service->UUID()) continue;
      for (const auto& [path, props] : bus_->objectsWith(kGattCharacteristic, servicePath)) {
        if (uuidOf(props) == characteristic.UUID()) return path;
      }
    }
    return std::nullopt;
  }

  // Runs the operations that waited for the device's GATT objects (or for the link's end,
  // which answers them).
  void resumeParked(const std::shared_ptr<CBPeripheralBlueZ>& peripheral) {
    auto parked = peripheral->takeParked();
    if (!parked.empty()) {
      std::fprintf(stderr, "BlueZ: %zu operations on %s go on\n", parked.size(),
                   peripheral->path().c_str());
    }
    for (auto& operation : parked) operation();
  }

  // Bus thread. bluetoothd fails the operations of a link that went down with ATT error 0x0e,
  // which a device may send too: Connected tells the two apart.
  CBError gattFailure(const CBPeripheralBlueZ& peripheral, const sdbus::Error& error) const {
    CBError failure = gattErrorFrom(error.getName(), error.getMessage());
    if (failure.domain != CBError::kATTErrorDomain || failure.code != 0x0E) return failure;
    bool up = deviceSays(peripheral.path(), "Connected") && connected(peripheral);
    return up ? failure : CBError::link(7);
  }

  void setNotify(const std::shared_ptr<CBPeripheralBlueZ>& peripheral,
                 const std::shared_ptr<CBCharacteristicBlueZ>& characteristic,
                 bool enabled) override {
    if (!connected(*peripheral)) {
      return later([peripheral, characteristic] {
        if (auto* d = peripheral->delegate()) {
          d->peripheralDidUpdateNotificationStateForCharacteristic(peripheral, characteristic,
                                                                   CBError::link(7));
        }
      });
    }
    auto path = reachOrPark(peripheral, characteristic,
                            [=, this] { setNotify(peripheral, characteristic, enabled); });
    if (!path) return;
    std::weak_ptr<CBCentralManagerBlueZ> weak = weak_from_this();
    bus_->call(*path, kGattCharacteristic, enabled ? "StartNotify" : "StopNotify", kGattTimeout,
               [weak, peripheral, characteristic, enabled](sdbus::MethodReply&,
                                                           const sdbus::Error* error) {
                 auto self = weak.lock();
                 if (!self) return;
                 std::optional<CBError> failure;
                 if (error) {
                   failure = self->gattFailure(*peripheral, *error);
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

  // The link ended: the subscriptions end with it, as on the original platform. bluetoothd
  // would keep them and subscribe again by itself on the next link, with handles the device
  // may have changed meanwhile, and answer a new subscription with that one's failure.
  void endNotifications(const std::shared_ptr<CBPeripheralBlueZ>& peripheral) {
    for (const auto& path : peripheral->clearServices()) {
      bus_->call(path, kGattCharacteristic, "StopNotify", kControlTimeout,
                 [](sdbus::MethodReply&, const sdbus::Error*) {});
    }
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
  static std::optional<CBData> valueIn(sdbus::MethodReply& reply) {
    try {
      CBData value;
      reply >> value;
      return value;
    } catch (const sdbus::Error&) {
      return std::nullopt;
    }
  }

  std::shared_ptr<CBPeripheralBlueZ> own(const std::shared_ptr<CBPeripheral>& p) {
    auto peripheral = std::dynamic_pointer_cast<CBPeripheralBlueZ>(p);
    std::lock_guard lock(mutex_);
    if (!peripheral) return nullptr;
    auto it = peripherals_.find(peripheral->path());
    return it != peripherals_.end() && it->second == peripheral ? peripheral : nullptr;
  }

  // The object of the device at `path`, made on first sight and kept for good, also while
  // BlueZ has no object for the device: the same address gives the same path again. None while
  // the adapter's address, part of the identifier, is still loading: the load announces the
  // device again.
  std::shared_ptr<CBPeripheralBlueZ> peripheralAt(const std::string& path,
                                                  const Properties& device) {
    std::lock_guard lock(mutex_);
    auto it = peripherals_.find(path);
    if (it != peripherals_.end()) return it->second;
    std::string adapter = bus_->adapterAddress();
    if (adapter.empty()) return nullptr;
    auto address = property<std::string>(device, "Address").value_or("");
    auto made = std::make_shared<CBPeripheralBlueZ>(path, identifierFor(adapter, address),
                                                    weak_from_this());
    peripherals_[path] = made;
    return made;
  }

  // Devices that BlueZ no longer has, that have no link and that no one but this manager holds
  // are let go (only the one at `path`, when given); one seen again gets a new object under the
  // same identifier. Among phones whose private addresses change every few minutes, the helper
  // would otherwise keep every address it ever saw. Any thread; takes mutex_.
  void letGoOfForgotten(const std::optional<std::string>& path = std::nullopt) {
    std::lock_guard lock(mutex_);
    auto forgotten = [this](const auto& entry) {
      return entry.second.use_count() == 1 && !links_.count(entry.first) &&
             !looking_.count(entry.first) && !bus_->properties(entry.first, kDevice);
    };
    auto it = path ? peripherals_.find(*path) : peripherals_.begin();
    auto end = path && it != peripherals_.end() ? std::next(it) : peripherals_.end();
    while (it != end) {
      if (!forgotten(*it)) {
        ++it;
        continue;
      }
      ads_.erase(it->first);
      it = peripherals_.erase(it);
    }
  }

  // ---- Discovery: the role's scan, and searches for devices BlueZ has forgotten ----

  // One discovery session serves both: the scan's filter while the role scans, otherwise LE
  // devices of every kind. `filterChanged` when the scan started or stopped.
  void updateDiscovery(bool filterChanged) {
    {
      std::lock_guard lock(mutex_);
      filterStale_ = filterStale_ || filterChanged;
      ++discoveryWishes_;
    }
    nextDiscoveryStep();
  }

  // Brings bluetoothd's discovery session to what the scan and the searches want, one call at
  // a time: bluetoothd refuses to start a client's discovery while its stop is still under way
  // (adapter.c start_discovery), and a start answered after a later stop was sent would leave
  // the adapter discovering for good. Any thread: the role's queue for a scan, the bus thread
  // for a search or an answer.
  void nextDiscoveryStep() {
    enum class Step { stop, start, filter } step;
    std::map<std::string, sdbus::Variant> filter{{"Transport", sdbus::Variant(std::string("le"))}};
    uint64_t wishes = 0;
    {
      std::lock_guard lock(mutex_);
      if (discoveryBusy_) return;
      bool wanted = scanning_ || !looking_.empty();
      if (!wanted && discovering_) {
        step = Step::stop;
      } else if (wanted && !discovering_) {
        step = Step::start;
      } else if (wanted && filterStale_) {
        step = Step::filter;
      } else {
        return;
      }
      discoveryBusy_ = true;
      wishes = discoveryWishes_;
      if (step != Step::stop) {
        filterStale_ = false;
        std::vector<std::string> uuids;
        if (scanning_) {
          for (const auto& u : filter_.value_or(std::vector<CBUUID>{})) uuids.push_back(textOf(u));
        }
        // Without duplicates bluetoothd signals a known device's manufacturer and service data
        // only when they change, so a later scan would never see them.
        filter["DuplicateData"] = sdbus::Variant(scanning_);
        filter["UUIDs"] = sdbus::Variant(uuids);
      }
    }
    std::string adapter = bus_->adapterPath();
    std::weak_ptr<CBCentralManagerBlueZ> weak = weak_from_this();
    if (step == Step::stop) {
      // Whatever the answer, bluetoothd no longer discovers for us: "No discovery started", or
      // the adapter is off.
      return bus_->call(adapter, kAdapter, "StopDiscovery", kControlTimeout,
                        [weak](sdbus::MethodReply&, const sdbus::Error*) {
                          if (auto self = weak.lock()) self->discoveryStepDone(false, 0);
                        });
    }
    bool start = step == Step::start;
    // The filter is only a hint to the adapter; discovery starts whatever became of it.
    bus_->call(
        adapter, kAdapter, "SetDiscoveryFilter", kControlTimeout,
        [weak, adapter, start, wishes](sdbus::MethodReply&, const sdbus::Error* error) {
          auto self = weak.lock();
          if (!self) return;
          if (error) logFailure("SetDiscoveryFilter", *error);
          if (!start) return self->discoveryStepDone(true, 0);
          self->bus_->call(adapter, kAdapter, "StartDiscovery", kControlTimeout,
                           [weak, wishes](sdbus::MethodReply&, const sdbus::Error* e) {
                             auto again = weak.lock();
                             if (!again) return;
                             if (e) logFailure("StartDiscovery", *e);
                             // InProgress: the session is already ours.
                             bool ours = !e || e->getName() == "org.bluez.Error.InProgress";
                             again->discoveryStepDone(ours, ours ? 0 : wishes);
                           });
        },
        filter);
  }

  // A step's answer: whether bluetoothd now discovers for us. After a failed start the next
  // step waits for a new wish (`failedAt` is the count of wishes it served), so that an adapter
  // that refuses is not asked again and again. The bus thread, or the caller's when a call could
  // not be sent.
  void discoveryStepDone(bool discovering, uint64_t failedAt) {
    {
      std::lock_guard lock(mutex_);
      discoveryBusy_ = false;
      discovering_ = discovering;
      if (failedAt != 0 && failedAt == discoveryWishes_) return;
    }
    nextDiscoveryStep();
  }

  void startLooking(const std::string& path) {
    {
      std::lock_guard lock(mutex_);
      if (!looking_.insert(path).second) return;
    }
    updateDiscovery(false);
  }

  void stopLooking(const std::string& path) {
    {
      std::lock_guard lock(mutex_);
      if (!looking_.erase(path)) return;
    }
    updateDiscovery(false);
  }

  // bluetoothd offers Adapter1.ConnectDevice only when started with experimental features.
  void askForConnectDevice() {
    std::weak_ptr<CBCentralManagerBlueZ> weak = weak_from_this();
    bus_->call(bus_->adapterPath(), "org.freedesktop.DBus.Introspectable", "Introspect",
               kControlTimeout, [weak](sdbus::MethodReply& reply, const sdbus::Error* error) {
                 auto self = weak.lock();
                 if (!self || error) return;
                 std::string xml;
                 reply >> xml;
                 std::lock_guard lock(self->mutex_);
                 self->connectDevice_ = xml.find("\"ConnectDevice\"") != std::string::npos;
               });
  }

  // ---- Connecting ----

  // Bus thread. Disconnect was answered: once Connected is false too, the link is down.
  void disconnectAnswered(const std::shared_ptr<CBPeripheralBlueZ>& peripheral) {
    bool up = deviceSays(peripheral->path(), "Connected");
    {
      std::lock_guard lock(mutex_);
      auto it = disconnecting_.find(peripheral->path());
      if (it == disconnecting_.end()) return;
      if (up) {
        it->second = true;
        return;
      }
    }
    linkDown(peripheral->path());
  }

  // Bus thread. The link is down after a Disconnect: a connection attempt that waited goes on.
  void linkDown(const std::string& path) {
    std::shared_ptr<CBPeripheralBlueZ> peripheral;
    uint64_t attempt = 0;
    {
      std::lock_guard lock(mutex_);
      disconnecting_.erase(path);
      if (auto known = peripherals_.find(path); known != peripherals_.end())
        peripheral = known->second;
      auto it = links_.find(path);
      if (!peripheral || it == links_.end() || it->second.state != LinkState::connecting) return;
      attempt = it->second.attempt;
    }
    tryConnect(peripheral, attempt);
  }

  // The next step of a connection attempt that is still under way: Device1.Connect while
  // BlueZ has the device, else Adapter1.ConnectDevice where offered, else a search for it.
  void tryConnect(const std::shared_ptr<CBPeripheralBlueZ>& peripheral, uint64_t attempt) {
    bool offered = false;
    {
      std::lock_guard lock(mutex_);
      auto it = links_.find(peripheral->path());
      if (it == links_.end() || it->second.attempt != attempt) return;
      if (disconnecting_.count(peripheral->path())) return;  // resumed by disconnectAnswered
      offered = connectDevice_;
    }
    std::weak_ptr<CBCentralManagerBlueZ> weak = weak_from_this();
    auto answered = [weak, peripheral, attempt](sdbus::MethodReply&, const sdbus::Error* error) {
      if (auto self = weak.lock()) self->connectAnswered(peripheral, attempt, error);
    };
    if (bus_->properties(peripheral->path(), kDevice)) {
      return bus_->call(peripheral->path(), kDevice, "Connect", kConnectTimeout, answered);
    }
    if (!offered) {
      startLooking(peripheral->path());
      return queue_.asyncAfter(kConnectWindow + kRetryDelay, [weak] {
        if (auto self = weak.lock()) guarded([&] { self->giveUpSearches(); });
      });
    }
    auto [address, type] = peripheral->address();
    std::map<std::string, sdbus::Variant> device{{"Address", sdbus::Variant(address)},
                                                 {"AddressType", sdbus::Variant(type)}};
    bus_->call(bus_->adapterPath(), kAdapter, "ConnectDevice", kConnectTimeout, answered, device);
  }

  void connectAnswered(const std::shared_ptr<CBPeripheralBlueZ>& peripheral, uint64_t attempt,
                       const sdbus::Error* error) {
    bool retry = false, removeFirst = false;
    {
      std::lock_guard lock(mutex_);
      auto it = links_.find(peripheral->path());
      if (it == links_.end() || it->second.attempt != attempt) return;  // cancelled or lost
      // Connected came first: the link is made, and a late or dropped call says nothing more.
      if (it->second.state == LinkState::connected) return;
      bool inTime = std::chrono::steady_clock::now() < it->second.giveUp;
      std::string message = error ? error->getMessage() : std::string();
      if (!error) {
        it->second.state = LinkState::connected;
      } else if (inTime && (isRetryableConnect(error->getName(), message) || isGone(*error))) {
        retry = true;
      } else if (inTime && connectDevice_ && isClassicAttempt(message) && !it->second.forgetting &&
                 !holdsKeys(peripheral->path())) {
        retry = removeFirst = it->second.forgetting = true;
      } else {
        links_.erase(it);
      }
    }
    if (removeFirst) return forgetForLE(peripheral, attempt);
    if (retry) {
      std::weak_ptr<CBCentralManagerBlueZ> weak = weak_from_this();
      return queue_.asyncAfter(kRetryDelay, [weak, peripheral, attempt] {
        if (auto self = weak.lock()) guarded([&] { self->tryConnect(peripheral, attempt); });
      });
    }
    if (error) {
      CBError failure = connectErrorFrom(error->getName(), error->getMessage());
      return later([this, peripheral, failure] {
        delegate_.centralManagerDidFailToConnectPeripheral(*this, peripheral, failure);
      });
    }
    later([this, peripheral] { delegate_.centralManagerDidConnectPeripheral(*this, peripheral); });
  }

  // Forgetting a paired or bonded device would throw away its keys, which a desktop's own
  // pairing may have made: such a device's classic failure is reported instead.
  bool holdsKeys(const std::string& path) const {
    return deviceSays(path, "Paired") || deviceSays(path, "Bonded");
  }

  // A boolean property of the device as bluetoothd last signalled it (false when unknown).
  bool deviceSays(const std::string& path, const std::string& name) const {
    auto device = bus_->properties(path, kDevice);
    return device && property<bool>(*device, name).value_or(false);
  }

  // Device1.Connect went for BR/EDR: BlueZ forgets the device, so that ConnectDevice, which
  // connects over LE only, can make it anew.
  void forgetForLE(const std::shared_ptr<CBPeripheralBlueZ>& peripheral, uint64_t attempt) {
    std::weak_ptr<CBCentralManagerBlueZ> weak = weak_from_this();
    bus_->call(
        bus_->adapterPath(), kAdapter, "RemoveDevice", kControlTimeout,
        [weak, peripheral, attempt](sdbus::MethodReply&, const sdbus::Error* error) {
          auto self = weak.lock();
          if (!self) return;
          if (error) return self->connectAnswered(peripheral, attempt, error);
          self->tryConnect(peripheral, attempt);
        },
        sdbus::ObjectPath(peripheral->path()));
  }

  // A device that BlueZ announces (again) while a connection to it looks for it.
  void foundAgain(const std::shared_ptr<CBPeripheralBlueZ>& peripheral) {
    uint64_t attempt = 0;
    {
      std::lock_guard lock(mutex_);
      auto it = links_.find(peripheral->path());
      if (!looking_.count(peripheral->path()) || it == links_.end()) return;
      attempt = it->second.attempt;
    }
    stopLooking(peripheral->path());
    tryConnect(peripheral, attempt);
  }

  // Ends searches that have outlived their attempt's window.
  void giveUpSearches() {
    std::vector<std::shared_ptr<CBPeripheralBlueZ>> overdue;
    {
      std::lock_guard lock(mutex_);
      auto now = std::chrono::steady_clock::now();
      for (const auto& path : looking_) {
        auto it = links_.find(path);
        if (it == links_.end() || now >= it->second.giveUp) overdue.push_back(peripherals_[path]);
      }
    }
    for (const auto& p : overdue) {
      if (p) linkLost(p->path(), CBError::link(6));
    }
  }

  // ---- Devices and what they advertise ----

  void deviceChanged(const std::string& path, const Properties& changed, bool added) {
    if (path.rfind(bus_->adapterPath() + "/", 0) != 0) return;
    auto device = bus_->properties(path, kDevice);
    if (!device) return;
    auto peripheral = peripheralAt(path, *device);
    if (!peripheral) return;
    peripheral->setName(property<std::string>(*device, "Name"));
    peripheral->setAddress(*device);
    if (added) foundAgain(peripheral);
    auto connectedNow = property<bool>(changed, "Connected");
    if (connectedNow && *connectedNow) linkUp(peripheral);
    if (!added && connectedNow && !*connectedNow) {
      if (disconnectDone(path)) linkDown(path);
      linkDropped(path);
    }
    if (property<bool>(changed, "ServicesResolved").value_or(false)) {
      servicesResolved(peripheral, peripheral->takeDiscoveryWanted());
    }
    CBAdvertisementData ad = recordAdvertisement(path, added ? *device : changed, added, *device);
    bool advertised = changed.count("RSSI") || changed.count("ManufacturerData") ||
                      changed.count("ServiceData") || (added && device->count("RSSI"));
    if (advertised && device->count("RSSI")) discovered(peripheral, *device, ad);
  }

  // Takes in what `signalled` says of the device's advertisement (the whole record when the
  // object is new) and returns the advertisement of the current scan.
  CBAdvertisementData recordAdvertisement(const std::string& path, const Properties& signalled,
                                          bool fresh, const Properties& device) {
    std::lock_guard lock(mutex_);
    AdRecord& r = ads_[path];
    if (r.scan != scan_) {
      r.scan = scan_;
      r.uuidsNow.clear();
      r.msdNow.clear();
      r.msdLatest.reset();
      r.sdNow.clear();
    }
    if (auto uuids = property<std::vector<std::string>>(signalled, "UUIDs")) {
      for (const auto& u : *uuids) {
        bool known = std::find(r.uuids.begin(), r.uuids.end(), u) != r.uuids.end();
        bool counted = std::find(r.uuidsNow.begin(), r.uuidsNow.end(), u) != r.uuidsNow.end();
        if ((fresh || !known) && !counted) r.uuidsNow.push_back(u);
      }
      r.uuids = *uuids;
    }
    // The scan asks for duplicates, so bluetoothd clears a device's manufacturer and service
    // data at each advertisement and signals what this one carried, changed or not.
    if (auto m = property<std::map<uint16_t, sdbus::Variant>>(signalled, "ManufacturerData")) {
      for (const auto& [company, bytes] : bytesOf(*m)) {
        r.msdNow[company] = bytes;
        r.msdLatest = company;
      }
    }
    if (auto d = property<std::map<std::string, sdbus::Variant>>(signalled, "ServiceData")) {
      for (const auto& [uuid, bytes] : bytesOf(*d)) r.sdNow[uuid] = bytes;
    }
    return currentAdvertisement(r, device);
  }

  // The advertisement as the current scan saw it. UUIDs that BlueZ knew before the scan are
  // not signalled again; those the scan's own filter names count, as bluetoothd passes on
  // only devices whose advertisement matches it.
  CBAdvertisementData currentAdvertisement(const AdRecord& r, const Properties& device) const {
    Properties now;
    if (auto name = property<std::string>(device, "Name")) now["Name"] = sdbus::Variant(*name);
    std::vector<std::string> uuids = r.uuidsNow;
    for (const auto& u : r.uuids) {
      auto uuid = CBUUID::fromString(u);
      bool filtered =
          uuid && filter_ && std::find(filter_->begin(), filter_->end(), *uuid) != filter_->end();
      if (filtered && std::find(uuids.begin(), uuids.end(), u) == uuids.end()) uuids.push_back(u);
    }
    now["UUIDs"] = sdbus::Variant(uuids);
    if (r.msdLatest) {
      now["ManufacturerData"] = sdbus::Variant(std::map<uint16_t, sdbus::Variant>{
          {*r.msdLatest, sdbus::Variant(r.msdNow.at(*r.msdLatest))}});
    }
    std::map<std::string, sdbus::Variant> sd;
    for (const auto& [uuid, bytes] : r.sdNow) sd[uuid] = sdbus::Variant(bytes);
    now["ServiceData"] = sdbus::Variant(sd);
    return advertisementFrom(now);
  }

  void discovered(const std::shared_ptr<CBPeripheralBlueZ>& peripheral, const Properties& device,
                  const CBAdvertisementData& ad) {
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
    if (!characteristic || !characteristic->takesNotification(*value)) return;
    characteristic->setValue(*value);
    later([peripheral, characteristic] {
      if (auto* d = peripheral->delegate()) {
        d->peripheralDidUpdateValueForCharacteristic(peripheral, characteristic, std::nullopt);
      }
    });
  }

  // The services are resolved; the objects that make them up are read afresh first, as their
  // announcements may still be on their way. Then the services are reported when a discovery
  // asked for them, and the operations that waited for the objects go on.
  void servicesResolved(const std::shared_ptr<CBPeripheralBlueZ>& peripheral, bool wanted) {
    std::weak_ptr<CBCentralManagerBlueZ> weak = weak_from_this();
    bus_->reload([weak, peripheral, wanted] {
      auto self = weak.lock();
      if (!self) return;
      if (wanted && self->connected(*peripheral)) {
        peripheral->setServices(self->bus_->objectsWith(kGattService, peripheral->path()));
        self->later([peripheral] {
          if (auto* d = peripheral->delegate())
            d->peripheralDidDiscoverServices(peripheral, std::nullopt);
        });
      }
      self->resumeParked(peripheral);
    });
  }

  // Whether the device's Disconnect was answered and only Connected turning false was missing.
  bool disconnectDone(const std::string& path) const {
    std::lock_guard lock(mutex_);
    auto it = disconnecting_.find(path);
    return it != disconnecting_.end() && it->second;
  }

  // The device is connected while a connection to it is under way: it is made, as Connect's
  // reply would say. After a page time-out bluetoothd connects over LE by itself and never
  // answers Connect (device.c:browse_request_complete), so Connected is all there is.
  void linkUp(const std::shared_ptr<CBPeripheralBlueZ>& peripheral) {
    {
      std::lock_guard lock(mutex_);
      auto it = links_.find(peripheral->path());
      if (it == links_.end() || it->second.state != LinkState::connecting) return;
      it->second.state = LinkState::connected;
    }
    stopLooking(peripheral->path());
    later([this, peripheral] { delegate_.centralManagerDidConnectPeripheral(*this, peripheral); });
  }

  // The device at `path` lost its link, or BlueZ removed it. A connection under way is not
  // ended by it: its call fails by itself when it was meant, and the signal may be an earlier
  // link's that arrives late.
  void linkDropped(const std::string& path) {
    {
      std::lock_guard lock(mutex_);
      auto it = links_.find(path);
      if (it == links_.end() || it->second.state != LinkState::connected) return;
    }
    linkLost(path, CBError::link(7));
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
    stopLooking(path);
    if (!peripheral) return;
    endNotifications(peripheral);
    resumeParked(peripheral);
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
  bool discovering_ = false;    // we hold a discovery session
  bool filterStale_ = false;    // the session's filter is to be set anew
  bool discoveryBusy_ = false;  // a step of nextDiscoveryStep waits for bluetoothd
  uint64_t discoveryWishes_ = 0;
  bool connectDevice_ = false;  // Adapter1.ConnectDevice is offered
  uint64_t scan_ = 0;           // counts the role's scans
  std::optional<std::vector<CBUUID>> filter_;
  bool allowDuplicates_ = false;
  std::set<std::string> seen_;
  std::set<std::string> looking_;  // devices searched for by a connection
  // Devices whose link is going down after a Disconnect: whether bluetoothd answered it.
  std::map<std::string, bool> disconnecting_;
  std::unordered_map<std::string, std::shared_ptr<CBPeripheralBlueZ>> peripherals_;
  std::unordered_map<std::string, Link> links_;
  std::unordered_map<std::string, AdRecord> ads_;
  uint64_t attempts_ = 0;
};

}  // namespace

std::shared_ptr<CBCentralManager> makeCentralManager(std::shared_ptr<Bus> bus,
                                                     CBCentralManagerDelegate& delegate,
                                                     DispatchQueue& queue) {
  auto manager = std::make_shared<CBCentralManagerBlueZ>(std::move(bus), delegate, queue);
  manager->start();
  return manager;
}

}  // namespace bluez
