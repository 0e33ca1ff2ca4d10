#include "peripheral/peripheral_delegate.h"

#include <algorithm>
#include <exception>

#include "format/formatter.h"
#include "platform/console.h"
#include "platform/number_text.h"
#include "plugin/errors.h"
#include "plugin/plugin.h"
#include "plugin/value_text.h"

namespace {

constexpr char kLogPrefix[] = "PeripheralDelegate: ";
// Two request lines carry this misspelt prefix; log readers match them as they are.
constexpr char kMisspeltLogPrefix[] = "PeriodheralDelegate: ";

// The longest delay the stop timer takes; longer ones would overflow the clock.
constexpr double kLongestTimerSeconds = 100.0 * 365 * 24 * 3600;

void log(const std::string& text) {
  Console::writeLine(kLogPrefix + text);
}

void logMisspelt(const std::string& text) {
  Console::writeLine(kMisspeltLogPrefix + text);
}

void recordError(int64_t code, std::optional<std::string> message = std::nullopt) {
  Plugin::shared().setLastError(code, std::move(message));
}

std::string uuidText(const std::shared_ptr<CBCharacteristic>& characteristic) {
  return characteristic->UUID().UUIDString();
}

}  // namespace

PeripheralDelegate::PeripheralDelegate(ManagerFactory makeManager) {
  log("Starting Bluetooth");
  auto manager = makeManager(*this, queue_);
  queue_.sync([&] { peripheral_ = std::move(manager); });
}

PeripheralDelegate::~PeripheralDelegate() {
  // Taken off the queue first, so that a pending timed stop finds no manager; released here,
  // before the queue and the tables go.
  auto manager = queue_.sync([&] { return std::move(peripheral_); });
  manager.reset();
  queue_.sync([] {});
}

void PeripheralDelegate::peripheralManagerDidUpdateState(CBPeripheralManager& peripheral) {
  // Nothing is restarted or published again: the flag and the services stay as they are.
  if (peripheral.state() == CBManagerState::poweredOn) {
    log("Is powered on");
    sendWaiting();
  } else {
    // The links are gone with the radio: no waiting notification has anyone to reach.
    dropWaiting("Bluetooth is not on");
  }
}

// ---- Advertising ----

bool PeripheralDelegate::isAdvertising() {
  return queue_.sync([&] { return shouldAdvertise_; });
}

void PeripheralDelegate::startAdvertising(const std::optional<std::string>& options) {
  auto parsed = parseAdvertisingOptions(options);
  if (!parsed) return;
  queue_.sync([&] { beginAdvertising(*parsed); });
  // Printed whenever the options parsed, also after a failed check.
  Console::writeLine("Started advertising");
}

bool PeripheralDelegate::beginAdvertising(const AdvertisingOptions& options) {
  if (!peripheral_) {
    recordError(Errors::kBluetoothError, "Peripheral is not yet initialized");
    return false;
  }
  if (shouldAdvertise_) {
    recordError(Errors::kAlreadyAdvertising);
    return false;
  }
  if (!profile_ || profile_->empty()) {
    recordError(Errors::kNoData, "No services to advertise");
    return false;
  }
  CBManagerState state = peripheral_->state();
  if (state != CBManagerState::poweredOn) {
    recordError(Errors::kBluetoothError, Errors::bluetoothErrorMessage(state));
    return false;
  }
  shouldAdvertise_ = true;
  // Only the name: the services are those the last accepted profile published. Whether the
  // platform really started is not followed; the flag stays set.
  peripheral_->startAdvertising(
      CBAdvertisingRequest{options.displayName.value_or(kDefaultDisplayName), {}});
  if (options.stopAfter) {
    log("Scheduling stop advertising in " + shortestDoubleText(*options.stopAfter) + "s");
    // Never cancelled: a stop and a new start within the delay are ended by this timer too.
    queue_.asyncAfter(std::min(*options.stopAfter, kLongestTimerSeconds), [this] { timedStop(); });
  }
  return true;
}

void PeripheralDelegate::timedStop() {
  log("Stopping advertising");
  if (peripheral_) peripheral_->stopAdvertising();
  shouldAdvertise_ = false;
}

void PeripheralDelegate::stopAdvertising() {
  queue_.sync([&] {
    if (!shouldAdvertise_) {
      recordError(Errors::kNotAdvertising);
      return;
    }
    log("Stopping advertising");
    if (peripheral_) peripheral_->stopAdvertising();
    shouldAdvertise_ = false;
  });
}

// ---- Local profile ----

void PeripheralDelegate::setProfile(const std::string& profileJSON) {
  if (isAdvertising()) {
    recordError(Errors::kAlreadyAdvertising, "Cannot change profile while advertising");
    return;
  }
  auto decoded = loadProfile(profileJSON.empty() ? std::string("[]") : profileJSON);
  if (!decoded || !isValidProfile(*decoded)) return;
  queue_.sync([&] {
    // A start that came in while the text was being checked keeps its profile.
    if (shouldAdvertise_) {
      recordError(Errors::kAlreadyAdvertising, "Cannot change profile while advertising");
      return;
    }
    if (!peripheral_) {
      profile_ = std::move(*decoded);
      return;
    }
    auto services = makeServices(*decoded);
    if (refusedByPlatform(services)) return;
    profile_ = std::move(*decoded);
    publish(services);
  });
}

std::vector<PeripheralDelegate::ServiceToPublish> PeripheralDelegate::makeServices(
    const std::vector<LocalServiceJSON>& profile) const {
  std::vector<ServiceToPublish> made;
  for (const auto& service : profile) {
    ServiceToPublish next;
    std::vector<std::shared_ptr<CBMutableCharacteristic>> characteristics;
    characteristics.reserve(service.characteristics.size());
    for (const auto& c : service.characteristics) {
      // Created without a value, so that the platform hands every read and write to us.
      auto characteristic = std::make_shared<CBMutableCharacteristic>(
          *CBUUID::fromString(c.UUID), characteristicProperties(c.properties), std::nullopt,
          characteristicPermissions(c.encrypted));
      characteristics.push_back(characteristic);
      std::string format = c.format.value_or("UTF-8");
      auto script = [&](const std::optional<std::string>& name) -> std::optional<FMScript> {
        return name ? FMScript::make(*name, format) : std::nullopt;
      };
      next.entries.emplace_back(
          LocalCharKey{service.UUID, c.UUID},
          LocalChar{characteristic, c.protection.value_or(0), script(c.afterRead),
                    script(c.afterWrite), script(c.afterSubscribe), script(c.afterUnsubscribe)});
    }
    next.service = std::make_shared<CBMutableService>(*CBUUID::fromString(service.UUID), true);
    next.service->setCharacteristics(std::move(characteristics));
    made.push_back(std::move(next));
  }
  return made;
}

bool PeripheralDelegate::refusedByPlatform(const std::vector<ServiceToPublish>& services) {
  for (const auto& s : services) {
    if (auto refusal = peripheral_->publishingRefusal(*s.service)) {
      log("Profile refused: " + *refusal);
      recordError(Errors::kWrongParameters, *refusal);
      return true;
    }
  }
  return false;
}

void PeripheralDelegate::publish(const std::vector<ServiceToPublish>& services) {
  peripheral_->removeAllServices();
  for (const auto& s : services) {
    for (const auto& [key, entry] : s.entries) chars_[key] = entry;
    peripheral_->addService(s.service);
  }
}

std::optional<std::vector<LocalServiceJSON>> PeripheralDelegate::getProfile() {
  return queue_.sync([&] { return profile_; });
}

// ---- Central requests ----

const LocalChar* PeripheralDelegate::localCharFromID(const std::string& servID,
                                                     const std::string& charID) const {
  auto found = chars_.find(LocalCharKey{servID, charID});
  return found == chars_.end() ? nullptr : &found->second;
}

const LocalChar* PeripheralDelegate::localCharOf(
    const std::shared_ptr<CBCharacteristic>& characteristic) const {
  auto service = characteristic->service();
  if (!service) return nullptr;
  return localCharFromID(service->UUID().UUIDString(), uuidText(characteristic));
}

CentralDevice& PeripheralDelegate::deviceFor(const std::shared_ptr<CBCentral>& central) {
  return devices_.try_emplace(central->identifier(), CentralDevice{central, {}, 0}).first->second;
}

const LocalChar* PeripheralDelegate::localCharFromRequest(
    CBPeripheralManager& peripheral, const std::shared_ptr<CBATTRequest>& request) {
  int64_t level = deviceFor(request->central()).authorizationLevel;
  auto characteristic = request->characteristic();
  auto service = characteristic->service();
  if (!service) {
    log("Service UUID missing from CBATTRequest");
    peripheral.respondToRequest(request, CBATTError::attributeNotFound);
    return nullptr;
  }
  const LocalChar* entry = localCharFromID(service->UUID().UUIDString(), uuidText(characteristic));
  if (entry == nullptr) {
    logMisspelt("Characteristic UUID missing from CBATTRequest");
    peripheral.respondToRequest(request, CBATTError::attributeNotFound);
    return nullptr;
  }
  if (entry->protectionLevel > level) {
    logMisspelt("Insufficient authorization level");
    // Deliberately not "insufficient authorization": centrals are told the request is refused.
    peripheral.respondToRequest(request, CBATTError::requestNotSupported);
    return nullptr;
  }
  return entry;
}

void PeripheralDelegate::peripheralManagerDidReceiveReadRequest(
    CBPeripheralManager& peripheral, const std::shared_ptr<CBATTRequest>& request) {
  log("Got read request");
  request->setValue({});
  const LocalChar* entry = localCharFromRequest(peripheral, request);
  if (entry == nullptr) return;
  std::optional<CBData> value = entry->char_->value();
  if (!value) {
    peripheral.respondToRequest(request, CBATTError::attributeNotFound);
    return;
  }
  auto central = request->central();
  if (value->size() > central->maximumUpdateValueLength()) {
    peripheral.respondToRequest(request, CBATTError::invalidAttributeValueLength);
    return;
  }
  // The offset is not applied: every read gets the whole value from its first byte.
  request->setValue(*value);
  peripheral.respondToRequest(request, CBATTError::success);
  if (entry->afterRead) entry->afterRead->schedule(central->identifier(), *value);
}

// The requests after the first one that fails are neither carried out nor answered.
void PeripheralDelegate::peripheralManagerDidReceiveWriteRequests(
    CBPeripheralManager& peripheral, const std::vector<std::shared_ptr<CBATTRequest>>& requests) {
  for (const auto& request : requests) {
    log("Got write request");
    const LocalChar* entry = localCharFromRequest(peripheral, request);
    if (entry == nullptr) return;
    // Replaced whole: neither the offset nor the length is applied here.
    entry->char_->setValue(request->value());
    peripheral.respondToRequest(request, CBATTError::success);
    if (entry->afterWrite) {
      entry->afterWrite->schedule(request->central()->identifier(), request->value());
    }
  }
}

void PeripheralDelegate::peripheralManagerCentralDidSubscribe(
    CBPeripheralManager&, const std::shared_ptr<CBCentral>& central,
    const std::shared_ptr<CBCharacteristic>& characteristic) {
  log("Got subscribe request");
  // Not checked against the protection level: recipients of updates are chosen when sending.
  deviceFor(central).subscriptions.insert(uuidText(characteristic));
  const LocalChar* entry = localCharOf(characteristic);
  if (entry != nullptr && entry->afterSubscribe) {
    entry->afterSubscribe->schedule(central->identifier(),
                                    characteristic->value().value_or(CBData{}));
  }
}

void PeripheralDelegate::peripheralManagerCentralDidUnsubscribe(
    CBPeripheralManager&, const std::shared_ptr<CBCentral>& central,
    const std::shared_ptr<CBCharacteristic>& characteristic) {
  log("Got unsubscribe request");
  auto device = devices_.find(central->identifier());
  if (device != devices_.end()) device->second.subscriptions.erase(uuidText(characteristic));
  const LocalChar* entry = localCharOf(characteristic);
  if (entry != nullptr && entry->afterUnsubscribe) {
    entry->afterUnsubscribe->schedule(central->identifier(),
                                      characteristic->value().value_or(CBData{}));
  }
}

void PeripheralDelegate::setAuthorizationLevel(const std::string& UUID, int64_t level) {
  queue_.sync([&] {
    auto device = devices_.find(UUID);
    if (device == devices_.end()) {
      recordError(Errors::kUnknownDevice, UUID + " is not a UUID of a known central device");
      return;
    }
    device->second.authorizationLevel = level;
  });
}

int64_t PeripheralDelegate::getAuthorizationLevel(const std::string& UUID) {
  return queue_.sync([&]() -> int64_t {
    auto device = devices_.find(UUID);
    return device == devices_.end() ? 0 : device->second.authorizationLevel;
  });
}

bool PeripheralDelegate::isKnown(const std::string& UUID) {
  return queue_.sync([&] { return devices_.contains(UUID); });
}

bool PeripheralDelegate::isSubscribed(const std::string& UUID) {
  return queue_.sync([&] {
    auto device = devices_.find(UUID);
    return device != devices_.end() && !device->second.subscriptions.empty();
  });
}

std::optional<std::set<std::string>> PeripheralDelegate::getSubscribedFor(const std::string& UUID) {
  return queue_.sync([&]() -> std::optional<std::set<std::string>> {
    auto device = devices_.find(UUID);
    if (device == devices_.end()) return std::nullopt;
    return device->second.subscriptions;
  });
}

std::vector<std::string> PeripheralDelegate::getSubscribed() {
  return queue_.sync([&] {
    std::vector<std::string> subscribed;
    for (const auto& [id, device] : devices_) {
      if (!device.subscriptions.empty()) subscribed.push_back(id);
    }
    return subscribed;
  });
}

// ---- Local values ----

std::string PeripheralDelegate::get(const std::string& servID, const std::string& charID,
                                    const std::string& format) {
  return queue_.sync([&]() -> std::string {
    const LocalChar* entry = localCharFromID(servID, charID);
    if (entry == nullptr) {
      recordError(Errors::kWrongParameters, "Characteristic does not exist");
      return Plugin::shared().badResult;
    }
    std::optional<CBData> value = entry->char_->value();
    if (!value) {
      recordError(Errors::kNoData, "Cannot get value of unset characteristic");
      return Plugin::shared().badResult;
    }
    try {
      return Formatter::binaryToString(*value, format);
    } catch (const FormatError& e) {
      recordError(Errors::kReadError, e.what());
    } catch (const std::exception&) {
      recordError(Errors::kReadError, "Failed to decode data");
    }
    return Plugin::shared().badResult;
  });
}

void PeripheralDelegate::set(const std::string& servID, const std::string& charID,
                             const std::string& value, const std::string& format) {
  queue_.sync([&] {
    const LocalChar* entry = localCharFromID(servID, charID);
    if (entry == nullptr) {
      recordError(Errors::kWrongParameters, "Characteristic does not exist");
      return;
    }
    auto bytes = bytesToWrite(value, format);
    if (!bytes) return;
    entry->char_->setValue(*bytes);
    // Every known central with enough authorization, subscribed or not: the platform sends
    // only to those of them that subscribed to this characteristic.
    std::vector<std::shared_ptr<CBCentral>> recipients;
    std::optional<size_t> smallestMaximum;
    for (const auto& [id, device] : devices_) {
      if (device.authorizationLevel < entry->protectionLevel) continue;
      recipients.push_back(device.central);
      size_t maximum = device.central->maximumUpdateValueLength();
      smallestMaximum = std::min(smallestMaximum.value_or(maximum), maximum);
    }
    if (smallestMaximum && bytes->size() > *smallestMaximum) {
      recordError(Errors::kNotifyError, "Data is too long");
      return;
    }
    if (peripheral_) sendOrWait({entry->char_, charID, std::move(*bytes), std::move(recipients)});
  });
}

// ---- Notifications the platform could not take at once ----

namespace {

void logDropped(const std::string& charID, const CBData& value, const std::string& why) {
  log("Dropped a notification of " + charID + " (" + why + "): " + Formatter::binaryToHex(value));
}

}  // namespace

void PeripheralDelegate::sendOrWait(WaitingUpdate update) {
  // Behind the waiting ones, so that centrals get the values in the order they were set.
  if (waiting_.empty() &&
      peripheral_->updateValue(update.value, update.characteristic, update.recipients)) {
    return;
  }
  auto same = [&](const WaitingUpdate& w) { return w.characteristic == update.characteristic; };
  if (static_cast<size_t>(std::count_if(waiting_.begin(), waiting_.end(), same)) >=
      kMostWaitingUpdates) {
    // The oldest goes: the newest value is the characteristic's current one.
    auto oldest = std::find_if(waiting_.begin(), waiting_.end(), same);
    logDropped(oldest->charID, oldest->value,
               std::to_string(kMostWaitingUpdates) + " waiting for the radio");
    waiting_.erase(oldest);
  }
  waiting_.push_back(std::move(update));
}

void PeripheralDelegate::sendWaiting() {
  while (!waiting_.empty() && peripheral_) {
    const auto& next = waiting_.front();
    if (!peripheral_->updateValue(next.value, next.characteristic, next.recipients)) return;
    waiting_.pop_front();
  }
}

void PeripheralDelegate::dropWaiting(const std::string& why) {
  for (const auto& w : waiting_) logDropped(w.charID, w.value, why);
  waiting_.clear();
}

void PeripheralDelegate::peripheralManagerIsReadyToUpdateSubscribers(CBPeripheralManager&) {
  sendWaiting();
}
