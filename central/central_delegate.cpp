// The central-role manager's scanning, connections and remote profile; its GATT client is in
// gatt_client.cpp.
#include "central/central_delegate.h"

#include <algorithm>
#include <chrono>
#include <unordered_set>

#include "central/central_log.h"
#include "format/formatter.h"
#include "platform/dispatch_semaphore.h"
#include "platform/number_text.h"
#include "plugin/errors.h"
#include "plugin/plugin.h"

using central_log::log;
using central_log::recordError;

namespace {

double secondsSince(std::chrono::system_clock::time_point then,
                    std::chrono::system_clock::time_point now) {
  return std::chrono::duration<double>(now - then).count();
}

// The UUID texts of services or characteristics.
template <class Attributes>
std::unordered_set<std::string> uuidTexts(const Attributes& attributes) {
  std::unordered_set<std::string> texts;
  for (const auto& attribute : attributes) texts.insert(attribute->UUID().UUIDString());
  return texts;
}

// The longest delay the stop timer takes; longer ones would overflow the clock.
constexpr double kLongestTimerSeconds = 100.0 * 365 * 24 * 3600;

}  // namespace

CentralDelegate::CentralDelegate(ManagerFactory makeManager) {
  log("Starting Bluetooth");
  auto manager = makeManager(*this, queue_);
  queue_.sync([&] { central_ = std::move(manager); });
}

CentralDelegate::~CentralDelegate() {
  // Taken off the queue first, so that a pending stop timer finds no manager; released here,
  // before the queue and the tables go.
  auto manager = queue_.sync([&] { return std::move(central_); });
  manager.reset();
  queue_.sync([] {});
}

// ---- State and look-ups ----

std::string CentralDelegate::getBluetoothStatusString() {
  return queue_.sync([&]() -> std::string {
    if (!central_) return "uninitialized";
    switch (central_->state()) {
      case CBManagerState::resetting:
        return "resetting";
      case CBManagerState::unsupported:
        return "unsupported";
      case CBManagerState::unauthorized:
        return "unauthorized";
      case CBManagerState::poweredOff:
        return "powered Off";
      case CBManagerState::poweredOn:
        return "powered On";
      default:
        return "unknown";
    }
  });
}

bool CentralDelegate::isScanning() {
  return queue_.sync([&] { return shouldScan_; });
}

bool CentralDelegate::isPowered() {
  return queue_.sync([&] { return central_ && central_->state() == CBManagerState::poweredOn; });
}

std::string CentralDelegate::resolve(const std::string& deviceID) const {
  auto alias = aliases_.find(deviceID);
  return alias == aliases_.end() ? deviceID : alias->second;
}

bool CentralDelegate::isDiscovered(const std::string& deviceID) {
  return queue_.sync([&] { return devices_.contains(resolve(deviceID)); });
}

std::optional<std::string> CentralDelegate::getDeviceName(const std::string& UUID) {
  return queue_.sync([&]() -> std::optional<std::string> {
    auto found = devices_.find(UUID);
    if (found == devices_.end()) {
      recordError(Errors::kUnknownDevice);
      return std::nullopt;
    }
    return found->second.name;
  });
}

std::optional<std::string> CentralDelegate::getUUID(const std::string& deviceName) {
  return queue_.sync([&]() -> std::optional<std::string> {
    auto found = aliases_.find(deviceName);
    if (found == aliases_.end()) {
      recordError(Errors::kUnknownDevice);
      return std::nullopt;
    }
    return found->second;
  });
}

std::shared_ptr<CBPeripheral> CentralDelegate::findDevice(const std::string& deviceID) {
  std::string resolved = resolve(deviceID);
  if (resolved == kDuplicateMarker) {
    recordError(Errors::kMultipleDevices);
    return nullptr;
  }
  auto found = devices_.find(resolved);
  if (found == devices_.end()) {
    recordError(Errors::kUnknownDevice);
    return nullptr;
  }
  return found->second.peripheral;
}

void CentralDelegate::centralManagerDidUpdateState(CBCentralManager& central) {
  if (central.state() != CBManagerState::poweredOn) return;
  log("Is powered on");
  // Bluetooth came back during a scan: scan again, for every peripheral.
  if (shouldScan_) {
    central.scanForPeripherals(std::nullopt, CBScanOptions{scanOptions_.makeUpdates});
  }
}

// ---- Scanning ----

void CentralDelegate::startScan(const std::string& options) {
  auto parsed = parseScanOptions(options);
  if (!parsed) return;
  std::optional<double> stopAfter;
  bool started = queue_.sync([&] {
    if (!beginScan(*parsed)) return false;
    stopAfter = scanOptions_.stopAfter;
    return true;
  });
  if (started && stopAfter) scheduleStopTimer(*stopAfter);
}

bool CentralDelegate::beginScan(const ScanOptions& options) {
  if (shouldScan_) {
    recordError(Errors::kAlreadyScanning);
    return false;
  }
  if (!central_) {
    recordError(Errors::kBluetoothError, "Central manager is not initialized");
    return false;
  }
  CBManagerState state = central_->state();
  if (state != CBManagerState::poweredOn) {
    recordError(Errors::kBluetoothError, Errors::bluetoothErrorMessage(state));
    return false;
  }
  scanOptions_ = options;
  devices_.clear();
  shouldScan_ = true;
  neverScanned_ = false;
  central_->scanForPeripherals(scanOptions_.filterByServices,
                               CBScanOptions{scanOptions_.makeUpdates});
  return true;
}

// The timer is never cancelled: a scan stopped and started again within the delay ends with it.
void CentralDelegate::scheduleStopTimer(double seconds) {
  log("Scheduling stop scan in " + shortestDoubleText(seconds) + "s");
  queue_.asyncAfter(std::min(seconds, kLongestTimerSeconds), [this] {
    log("Stopping scan");
    if (central_) central_->stopScan();
    shouldScan_ = false;
  });
}

void CentralDelegate::stopScan() {
  queue_.sync([&] {
    if (!shouldScan_) recordError(Errors::kNotScanning);
    if (central_ && central_->state() == CBManagerState::poweredOn) central_->stopScan();
    shouldScan_ = false;
  });
}

std::unordered_map<std::string, Discovery> CentralDelegate::getDiscoveries() {
  std::unordered_map<std::string, Discovery> copy;
  forEachDiscovery([&](const std::string& id, const Discovery& d) { copy.emplace(id, d); });
  return copy;
}

// Obsolete discoveries stay in the table, hidden: they can still be connected by identifier.
bool CentralDelegate::forEachDiscovery(const DiscoveryVisitor& visit) {
  return queue_.sync([&] {
    if (neverScanned_) {
      recordError(Errors::kNoData, "No scan data");
      return false;
    }
    const auto& obsoleteAfter = scanOptions_.obsoleteAfter;
    auto now = std::chrono::system_clock::now();  // one "now" for the whole list
    for (const auto& [id, discovery] : devices_) {
      if (!obsoleteAfter || secondsSince(discovery.timestamp, now) < *obsoleteAfter) {
        visit(id, discovery);
      }
    }
    return true;
  });
}

void CentralDelegate::centralManagerDidDiscoverPeripheral(
    CBCentralManager&, const std::shared_ptr<CBPeripheral>& peripheral,
    const CBAdvertisementData& advertisement, int rssi) {
  std::string id = peripheral->identifier();
  float strength = static_cast<float>(rssi);
  if (scanOptions_.minRSSI && strength < *scanOptions_.minRSSI) return;
  auto known = devices_.find(id);
  if (known != devices_.end()) {
    refreshDiscovery(known->second, id, strength);
    return;
  }
  Discovery discovery = makeDiscovery(peripheral, id, advertisement, strength);
  if (!passesNewDeviceFilters(discovery)) return;
  std::optional<std::string> name = discovery.name;
  devices_.emplace(id, std::move(discovery));
  if (name) recordAlias(*name, id);
  if (scanOptions_.onDiscovery) scanOptions_.onDiscovery->schedule(id);
}

// A device seen again: announced again if it had become obsolete, then its strength and time
// follow this advertisement. Everything else keeps its first value.
void CentralDelegate::refreshDiscovery(Discovery& known, const std::string& id, float rssi) {
  auto now = std::chrono::system_clock::now();
  if (scanOptions_.onDiscovery && scanOptions_.obsoleteAfter &&
      secondsSince(known.timestamp, now) > *scanOptions_.obsoleteAfter) {
    scanOptions_.onDiscovery->schedule(id);
  }
  known.RSSI = rssi;
  known.timestamp = now;
}

Discovery CentralDelegate::makeDiscovery(const std::shared_ptr<CBPeripheral>& peripheral,
                                         const std::string& id,
                                         const CBAdvertisementData& advertisement,
                                         float rssi) const {
  Discovery discovery;
  discovery.peripheral = peripheral;
  discovery.RSSI = rssi;
  discovery.timestamp = std::chrono::system_clock::now();
  discovery.name = advertisement.localName ? advertisement.localName : peripheral->name();
  if (discovery.name == id) discovery.name.reset();
  const auto& maker = advertisement.manufacturerData;
  if (maker && maker->size() >= 2) {
    discovery.vendorID = static_cast<uint16_t>((*maker)[0] | ((*maker)[1] << 8));
  }
  if (advertisement.serviceUUIDs) {
    std::vector<std::string> uuids;
    uuids.reserve(advertisement.serviceUUIDs->size());
    for (const auto& uuid : *advertisement.serviceUUIDs) uuids.push_back(uuid.UUIDString());
    discovery.serviceUUIDs = std::move(uuids);
  }
  discovery.serviceData.emplace();
  if (advertisement.serviceData) {
    for (const auto& [uuid, bytes] : *advertisement.serviceData) {
      (*discovery.serviceData)[uuid.UUIDString()] = Formatter::binaryToHex(bytes);
    }
  }
  discovery.connectable = advertisement.isConnectable == 1;
  return discovery;
}

bool CentralDelegate::passesNewDeviceFilters(const Discovery& discovery) const {
  const auto& filterName = scanOptions_.filterByName;
  if (filterName && !(discovery.name && discovery.name->starts_with(*filterName))) return false;
  const auto& filterVendor = scanOptions_.filterByVendorID;
  if (filterVendor && discovery.vendorID != filterVendor) return false;
  const auto& filterConnectable = scanOptions_.filterByConnectability;
  if (filterConnectable && discovery.connectable != filterConnectable) return false;
  return true;
}

// A name seen on a second device stands for none of them from then on.
void CentralDelegate::recordAlias(const std::string& name, const std::string& id) {
  auto [entry, added] = aliases_.try_emplace(name, id);
  if (!added && entry->second != id) entry->second = kDuplicateMarker;
}

// ---- Connections ----

void CentralDelegate::connect(const std::string& deviceID, const std::string& options,
                              double timeout) {
  auto parsed = parseConnectionOptions(options);
  if (!parsed) return;
  std::string resolved = queue_.sync([&] { return resolve(deviceID); });
  std::optional<uint64_t> attempt = queue_.sync([&] { return issueConnect(resolved, *parsed); });
  double effectiveTimeout = parsed->timeout.value_or(timeout);
  if (!attempt) return;
  if (effectiveTimeout == 0) {
    connSlot_.forget(*attempt);
    return;
  }
  auto outcome = connSlot_.wait(*attempt, DispatchSemaphore::deadlineAfter(effectiveTimeout));
  queue_.sync([&] { finishConnect(resolved, *attempt, outcome); });
}

// The attempt's number, or none when nothing was issued (the failure is recorded).
std::optional<uint64_t> CentralDelegate::issueConnect(const std::string& resolved,
                                                      const ConnectionOptions& options) {
  if (connections_.contains(resolved)) {
    recordError(Errors::kAlreadyConnected);
    return std::nullopt;
  }
  auto peripheral = findDevice(resolved);
  if (!peripheral) return std::nullopt;
  connOptions_ = options;
  connAttempt_ = connSlot_.begin();
  connTarget_ = peripheral;
  if (central_) central_->connect(peripheral);
  return connAttempt_;
}

void CentralDelegate::finishConnect(const std::string& resolved, uint64_t attempt,
                                    const WaitSlot::Outcome& outcome) {
  if (outcome.result == DispatchWaitResult::timedOut) {
    recordError(Errors::kTimeoutError);
    // A newer request's attempt stays pending; only this one is given up.
    if (connAttempt_ == attempt) connTarget_.reset();
    if (connOptions_.onConnectionFailed) connOptions_.onConnectionFailed->schedule(resolved);
  } else if (outcome.error) {
    recordError(Errors::kConnectionError, outcome.error->localizedDescription);
  }
}

void CentralDelegate::centralManagerDidConnectPeripheral(
    CBCentralManager& central, const std::shared_ptr<CBPeripheral>& peripheral) {
  log("Connected to " + peripheral->description());
  // Late for a request that timed out, or replaced by a newer request: not wanted.
  if (!connTarget_ || connTarget_ != peripheral) {
    central.cancelPeripheralConnection(peripheral);
    return;
  }
  connSlot_.signal(connAttempt_);
  peripheral->setDelegate(this);
  peripheral->discoverServices();
  connTarget_.reset();
  std::string id = peripheral->identifier();
  connections_[id] =
      Connection{peripheral, std::nullopt, connOptions_.onDisconnect,
                 connOptions_.onDiscoverServices, connOptions_.onDiscoverCharacteristics};
  if (connOptions_.onConnect) connOptions_.onConnect->schedule(id);
}

void CentralDelegate::centralManagerDidFailToConnectPeripheral(
    CBCentralManager&, const std::shared_ptr<CBPeripheral>& peripheral,
    const std::optional<CBError>& error) {
  log("Failed to connect. " + (error ? error->localizedDescription : std::string()));
  if (!connTarget_ || connTarget_ != peripheral) return;
  if (connOptions_.onConnectionFailed) {
    connOptions_.onConnectionFailed->schedule(peripheral->identifier());
  }
  connSlot_.signal(connAttempt_, error);
}

void CentralDelegate::centralManagerDidDisconnectPeripheral(
    CBCentralManager&, const std::shared_ptr<CBPeripheral>& peripheral,
    const std::optional<CBError>&) {
  log("Disconnected from " + peripheral->description());
  std::string id = peripheral->identifier();
  auto entry = connections_.find(id);
  if (entry == connections_.end()) return;
  if (entry->second.onDisconnect) entry->second.onDisconnect->schedule(id);
  connections_.erase(entry);
}

void CentralDelegate::disconnect(const std::string& deviceID) {
  queue_.sync([&] {
    auto entry = connections_.find(resolve(deviceID));
    if (entry == connections_.end()) {
      recordError(Errors::kNotConnected);
      return;
    }
    if (central_) central_->cancelPeripheralConnection(entry->second.peripheral);
    // Gone before the platform reports it, so that onDisconnect runs only for a lost link.
    connections_.erase(entry);
  });
}

void CentralDelegate::peripheralDidDiscoverServices(const std::shared_ptr<CBPeripheral>& peripheral,
                                                    const std::optional<CBError>&) {
  log("Discovered services for " + peripheral->description());
  auto services = peripheral->services();
  if (!services) return;
  std::string id = peripheral->identifier();
  forgetCharacteristicsMissingFrom(id, std::nullopt, uuidTexts(*services));
  for (const auto& service : *services) peripheral->discoverCharacteristics(service);
  auto entry = connections_.find(id);
  if (entry != connections_.end() && entry->second.onDiscoverServices) {
    entry->second.onDiscoverServices->schedule(id);
  }
}

void CentralDelegate::peripheralDidDiscoverCharacteristicsForService(
    const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBService>& service,
    const std::optional<CBError>&) {
  log("Discovered characteristics for " + service->description());
  std::string id = peripheral->identifier();
  std::string servID = service->UUID().UUIDString();
  auto characteristics = service->characteristics();
  if (!characteristics) return;
  forgetCharacteristicsMissingFrom(id, servID, uuidTexts(*characteristics));
  for (const auto& characteristic : *characteristics) {
    chars_[CharKey{id, servID, characteristic->UUID().UUIDString()}] = characteristic;
  }
  auto entry = connections_.find(id);
  if (entry != connections_.end() && entry->second.onDiscoverCharacteristics) {
    entry->second.onDiscoverCharacteristics->schedule(id + "\r" + servID);
  }
}

// A device's characteristics that its latest discovery no longer lists are gone: commands for
// them fail as unknown at once instead of going to objects of an earlier connection. Without a
// service, `present` lists the device's services; with one, that service's characteristics.
void CentralDelegate::forgetCharacteristicsMissingFrom(
    const std::string& deviceID, const std::optional<std::string>& servID,
    const std::unordered_set<std::string>& present) {
  std::erase_if(chars_, [&](const auto& entry) {
    const CharKey& key = entry.first;
    if (key.deviceID != deviceID) return false;
    if (!servID) return !present.contains(key.servID);
    return key.servID == *servID && !present.contains(key.charID);
  });
}

std::unordered_map<std::string, Connection> CentralDelegate::getConnectedDevices() {
  return queue_.sync([&] { return connections_; });
}

bool CentralDelegate::isConnected(const std::string& deviceID) {
  return queue_.sync([&] { return connections_.contains(resolve(deviceID)); });
}

std::shared_ptr<CBPeripheral> CentralDelegate::findConnectedPeripheral(
    const std::string& deviceID) {
  std::string resolved = resolve(deviceID);
  if (resolved == kDuplicateMarker) {
    recordError(Errors::kMultipleDevices);
    return nullptr;
  }
  auto entry = connections_.find(resolved);
  if (entry == connections_.end()) {
    recordError(Errors::kNotConnected);
    return nullptr;
  }
  return entry->second.peripheral;
}

std::shared_ptr<CBCharacteristic> CentralDelegate::findCharacteristic(const std::string& deviceID,
                                                                      const std::string& servID,
                                                                      const std::string& charID) {
  auto found = chars_.find(CharKey{resolve(deviceID), servID, charID});
  if (found == chars_.end()) {
    recordError(Errors::kUnknownCharacteristic);
    return nullptr;
  }
  return found->second;
}

// ---- The remote profile ----

std::vector<ServiceJSON> CentralDelegate::getRemoteProfile(const std::string& deviceID) {
  return queue_.sync([&] {
    std::vector<ServiceJSON> profile;
    auto entry = connections_.find(resolve(deviceID));
    if (entry == connections_.end()) {
      recordError(Errors::kNotConnected);
      return profile;
    }
    // The platform's own list, not the characteristic table: services whose characteristics
    // are still being discovered are listed too, with none.
    auto services = entry->second.peripheral->services();
    if (!services) return profile;
    profile.reserve(services->size());
    for (const auto& service : *services) profile.push_back(makeServiceJSON(*service));
    return profile;
  });
}
