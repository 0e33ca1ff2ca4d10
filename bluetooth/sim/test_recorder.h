// Test support: delegates and observers that write every callback as a line of text, and a wait for
// a line with a deadline. Used by the radio's tests and benchmarks only.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "bluetooth/core_bluetooth.h"
#include "bluetooth/sim/emulated_device.h"
#include "platform/dispatch_queue.h"

namespace sim::testing {

// Lines of events, appended from any thread, awaited by the test thread.
class EventLog {
 public:
  void add(std::string line) {
    {
      std::lock_guard lock(mutex_);
      lines_.push_back(std::move(line));
      taken_.push_back(false);
    }
    cv_.notify_all();
  }

  // Waits for the first line starting with `prefix` that no earlier call has taken, takes it
  // and returns it; "" when none came within `timeout`.
  std::string next(const std::string& prefix,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      for (size_t i = 0; i < lines_.size(); ++i) {
        if (!taken_[i] && lines_[i].rfind(prefix, 0) == 0) {
          taken_[i] = true;
          return lines_[i];
        }
      }
      if (cv_.wait_until(lock, deadline) == std::cv_status::timeout &&
          std::chrono::steady_clock::now() >= deadline) {
        return "";
      }
    }
  }

  // Every line starting with `prefix`, taken or not, in order.
  std::vector<std::string> all(const std::string& prefix = "") const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> found;
    for (const auto& l : lines_) {
      if (l.rfind(prefix, 0) == 0) found.push_back(l);
    }
    return found;
  }

  size_t count(const std::string& prefix) const { return all(prefix).size(); }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::string> lines_;
  std::deque<bool> taken_;
};

inline std::string hex(const std::optional<CBData>& data) {
  if (!data) return "none";
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : *data) {
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 0xF]);
  }
  return s;
}

inline std::string errorText(const std::optional<CBError>& e) {
  return e ? e->domain + "/" + std::to_string(e->code) + " " + e->localizedDescription : "ok";
}

// Records central-side callbacks; notes any that arrive off `queue`.
class CentralRecorder : public CBCentralManagerDelegate, public CBPeripheralDelegate {
 public:
  explicit CentralRecorder(DispatchQueue& queue) : queue_(queue) {}
  EventLog log;
  // Objects last handed over, to check that they stay the same.
  std::mutex objectsMutex;
  std::map<std::string, std::shared_ptr<CBPeripheral>> peripherals;
  std::map<std::string, std::shared_ptr<CBCharacteristic>> characteristics;
  int offQueue = 0;

  void centralManagerDidUpdateState(CBCentralManager& central) override {
    record("state " + std::to_string(static_cast<int>(central.state())));
  }
  void centralManagerDidDiscoverPeripheral(CBCentralManager&,
                                           const std::shared_ptr<CBPeripheral>& p,
                                           const CBAdvertisementData& a, int rssi) override {
    remember(p);
    std::string line = "discover " + p->identifier() + " rssi=" + std::to_string(rssi);
    if (a.localName) line += " local=" + *a.localName;
    if (p->name()) line += " name=" + *p->name();
    if (a.manufacturerData) line += " mfr=" + hex(a.manufacturerData);
    if (a.serviceUUIDs) {
      line += " services=";
      for (const auto& u : *a.serviceUUIDs) line += u.UUIDString() + ",";
    }
    if (a.serviceData) {
      line += " data=";
      for (const auto& [u, d] : *a.serviceData) line += u.UUIDString() + ":" + hex(d) + ",";
    }
    if (a.isConnectable) line += " connectable=" + std::to_string(*a.isConnectable);
    record(line);
  }
  void centralManagerDidConnectPeripheral(CBCentralManager&,
                                          const std::shared_ptr<CBPeripheral>& p) override {
    remember(p);
    p->setDelegate(this);
    record("connected " + p->identifier());
  }
  void centralManagerDidFailToConnectPeripheral(CBCentralManager&,
                                                const std::shared_ptr<CBPeripheral>& p,
                                                const std::optional<CBError>& e) override {
    remember(p);
    record("failed " + p->identifier() + " " + errorText(e));
  }
  void centralManagerDidDisconnectPeripheral(CBCentralManager&,
                                             const std::shared_ptr<CBPeripheral>& p,
                                             const std::optional<CBError>& e) override {
    remember(p);
    record("disconnected " + p->identifier() + " " + errorText(e));
  }
  void peripheralDidDiscoverServices(const std::shared_ptr<CBPeripheral>& p,
                                     const std::optional<CBError>& e) override {
    remember(p);
    std::string line = "services " + errorText(e);
    for (const auto& s : p->services().value_or(std::vector<std::shared_ptr<CBService>>{})) {
      line += " " + s->UUID().UUIDString();
    }
    record(line);
  }
  void peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<CBPeripheral>&,
                                                      const std::shared_ptr<CBService>& s,
                                                      const std::optional<CBError>& e) override {
    std::string line = "characteristics " + s->UUID().UUIDString() + " " + errorText(e);
    for (const auto& c :
         s->characteristics().value_or(std::vector<std::shared_ptr<CBCharacteristic>>{})) {
      line += " " + c->UUID().UUIDString() + "/" + std::to_string(c->properties());
      std::lock_guard lock(objectsMutex);
      characteristics[s->UUID().UUIDString() + "/" + c->UUID().UUIDString()] = c;
    }
    record(line);
  }
  void peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<CBPeripheral>&,
                                                 const std::shared_ptr<CBCharacteristic>& c,
                                                 const std::optional<CBError>& e) override {
    noteSame(c);
    record("value " + c->UUID().UUIDString() + " " + errorText(e) + " " + hex(c->value()));
  }
  void peripheralDidWriteValueForCharacteristic(const std::shared_ptr<CBPeripheral>&,
                                                const std::shared_ptr<CBCharacteristic>& c,
                                                const std::optional<CBError>& e) override {
    noteSame(c);
    record("written " + c->UUID().UUIDString() + " " + errorText(e));
  }
  void peripheralDidUpdateNotificationStateForCharacteristic(
      const std::shared_ptr<CBPeripheral>&, const std::shared_ptr<CBCharacteristic>& c,
      const std::optional<CBError>& e) override {
    noteSame(c);
    record(std::string("notifying ") + c->UUID().UUIDString() + " " + errorText(e) + " " +
           (c->isNotifying() ? "on" : "off"));
  }

  // Scans until the device `id` (the first one when empty) is found, stops the scan, connects
  // it and discovers every service and characteristic; the peripheral, or null when a step went
  // unanswered.
  std::shared_ptr<CBPeripheral> connectAll(CBCentralManager& manager, const std::string& id = "") {
    manager.scanForPeripherals(std::nullopt, {});
    std::string found = log.next("discover " + id);
    if (found.empty()) return nullptr;
    manager.stopScan();
    auto p = peripheral(found.substr(9, 36));
    manager.connect(p);
    if (log.next("connected " + p->identifier()).empty() || !discoverAll(*p)) return nullptr;
    return p;
  }
  bool discoverAll(CBPeripheral& p) {
    p.discoverServices();
    if (log.next("services").empty()) return false;
    for (const auto& s : p.services().value_or(std::vector<std::shared_ptr<CBService>>{})) {
      p.discoverCharacteristics(s);
      if (log.next("characteristics").empty()) return false;
    }
    return true;
  }

  std::shared_ptr<CBPeripheral> peripheral(const std::string& id) {
    std::lock_guard lock(objectsMutex);
    return peripherals[id];
  }
  std::shared_ptr<CBCharacteristic> characteristic(const std::string& key) {
    std::lock_guard lock(objectsMutex);
    return characteristics[key];
  }
  int changedObjects = 0;

 private:
  // Logs a callback's line, and counts it when it came off the queue.
  void record(std::string line) {
    if (!queue_.isCurrent()) ++offQueue;
    log.add(std::move(line));
  }
  void remember(const std::shared_ptr<CBPeripheral>& p) {
    std::lock_guard lock(objectsMutex);
    auto& known = peripherals[p->identifier()];
    if (known && known != p) ++changedObjects;
    known = p;
  }
  void noteSame(const std::shared_ptr<CBCharacteristic>& c) {
    std::lock_guard lock(objectsMutex);
    auto service = c->service();
    if (!service) return;
    auto& known = characteristics[service->UUID().UUIDString() + "/" + c->UUID().UUIDString()];
    if (known && known != c) ++changedObjects;
  }
  DispatchQueue& queue_;
};

// Records the requests an emulated device received.
class DeviceRecorder : public EmulatedDeviceObserver {
 public:
  EventLog log;
  void deviceRead(const std::string&, const CBUUID& s, const CBUUID& c) override {
    log.add("read " + s.UUIDString() + " " + c.UUIDString());
  }
  void deviceWritten(const std::string&, const CBUUID& s, const CBUUID& c,
                     const std::vector<uint8_t>& v) override {
    log.add("write " + s.UUIDString() + " " + c.UUIDString() + " " + hex(v));
  }
  void deviceSubscribed(const std::string&, const CBUUID&, const CBUUID& c, bool on) override {
    log.add(std::string(on ? "subscribed " : "unsubscribed ") + c.UUIDString());
  }
};

// Takes writes as the peripheral role does, storing the value, and logs every callback.
class PeripheralRecorder : public CBPeripheralManagerDelegate {
 public:
  explicit PeripheralRecorder(DispatchQueue& queue) : queue_(queue) {}
  EventLog log;
  std::atomic<int> offQueue{0};

  void peripheralManagerDidUpdateState(CBPeripheralManager& m) override {
    record("state " + std::to_string(static_cast<int>(m.state())));
  }
  void peripheralManagerDidReceiveWriteRequests(
      CBPeripheralManager& m, const std::vector<std::shared_ptr<CBATTRequest>>& rs) override {
    for (const auto& r : rs) {
      auto c = std::dynamic_pointer_cast<CBMutableCharacteristic>(r->characteristic());
      record("write " + c->UUID().UUIDString() + " " + hex(r->value()));
      c->setValue(r->value());
      m.respondToRequest(r, CBATTError::success);
    }
  }
  void peripheralManagerCentralDidSubscribe(CBPeripheralManager&,
                                            const std::shared_ptr<CBCentral>& central,
                                            const std::shared_ptr<CBCharacteristic>& c) override {
    record("subscribed " + central->identifier() + " " + c->UUID().UUIDString() +
           " max=" + std::to_string(central->maximumUpdateValueLength()));
  }
  void peripheralManagerCentralDidUnsubscribe(CBPeripheralManager&,
                                              const std::shared_ptr<CBCentral>& central,
                                              const std::shared_ptr<CBCharacteristic>& c) override {
    record("unsubscribed " + central->identifier() + " " + c->UUID().UUIDString());
  }
  void peripheralManagerIsReadyToUpdateSubscribers(CBPeripheralManager&) override {
    record("ready");
  }

 private:
  // Logs a callback's line, and counts it when it came off the queue.
  void record(std::string line) {
    if (!queue_.isCurrent()) ++offQueue;
    log.add(std::move(line));
  }
  DispatchQueue& queue_;
};

}  // namespace sim::testing
