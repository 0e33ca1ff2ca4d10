// A central manager and peripherals that answer as a test tells them to, for driving the
// central role without a radio. Callbacks are delivered on the manager's queue, as the platform
// does. Thread-safe.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bluetooth/core_bluetooth.h"
#include "bluetooth/remote_objects.h"
#include "bluetooth/sim/test_recorder.h"
#include "platform/dispatch_queue.h"

// A readable characteristic, a service and a peripheral whose state the test sets; the
// peripheral counts the discoveries asked of it and ignores every other request.
class FakeCharacteristic : public RemoteCharacteristic {
 public:
  FakeCharacteristic(CBUUID uuid, std::weak_ptr<CBService> service)
      : RemoteCharacteristic(uuid, CBCharacteristicPropertyRead, std::move(service)) {}
};

class FakeService : public RemoteService<CBCharacteristic> {
 public:
  FakeService(CBUUID uuid, std::weak_ptr<CBPeripheral> peripheral)
      : RemoteService(uuid, true, std::move(peripheral)) {}
  void setCharacteristics(std::vector<std::shared_ptr<CBCharacteristic>> list) {
    std::lock_guard lock(mutex_);
    characteristics_ = std::move(list);
  }
};

class FakePeripheral : public RemotePeripheral<CBService> {
 public:
  FakePeripheral(std::string id, std::optional<std::string> name)
      : RemotePeripheral(std::move(id)) {
    setName(name);
  }
  void setServices(std::optional<std::vector<std::shared_ptr<CBService>>> list) {
    std::lock_guard lock(mutex_);
    services_ = std::move(list);
  }
  void discoverServices() override { ++serviceDiscoveries; }
  void discoverCharacteristics(const std::shared_ptr<CBService>&) override {
    ++characteristicDiscoveries;
  }
  void readValue(const std::shared_ptr<CBCharacteristic>&) override {}
  void writeValue(const CBData&, const std::shared_ptr<CBCharacteristic>&,
                  CBCharacteristicWriteType) override {}
  size_t maximumWriteValueLength(CBCharacteristicWriteType) const override { return 182; }
  void setNotifyValue(bool, const std::shared_ptr<CBCharacteristic>&) override {}
  std::string description() const override { return "<FakePeripheral " + identifier() + ">"; }

  std::atomic<int> serviceDiscoveries{0};
  std::atomic<int> characteristicDiscoveries{0};
};

class FakeCentralManager : public CBCentralManager {
 public:
  // What a connect request gets: a connection or no answer at all.
  enum class Answer { accept, ignore };

  FakeCentralManager(CBCentralManagerDelegate& delegate, DispatchQueue& queue)
      : delegate_(delegate), queue_(queue) {}

  // A factory for CentralDelegate that keeps the made manager in `made`.
  static auto factory(std::shared_ptr<FakeCentralManager>& made) {
    return [&made](CBCentralManagerDelegate& delegate, DispatchQueue& queue) {
      made = std::make_shared<FakeCentralManager>(delegate, queue);
      return std::static_pointer_cast<CBCentralManager>(made);
    };
  }

  CBManagerState state() const override { return state_; }
  // Changes the state and reports it on the queue.
  void setState(CBManagerState state) {
    state_ = state;
    queue_.async([this] { delegate_.centralManagerDidUpdateState(*this); });
  }

  // Recorded as "scan SERVICES" ("scan any" without a filter; " duplicates" when allowed).
  void scanForPeripherals(const std::optional<std::vector<CBUUID>>& services,
                          const CBScanOptions& options) override {
    std::string call = "scan";
    for (const auto& uuid : services.value_or(std::vector<CBUUID>{}))
      call += " " + uuid.UUIDString();
    if (!services) call += " any";
    calls.add(call + (options.allowDuplicates ? " duplicates" : ""));
    std::lock_guard lock(mutex_);
    scanning_ = true;
  }
  void stopScan() override {
    calls.add("stop");
    std::lock_guard lock(mutex_);
    scanning_ = false;
  }
  bool isScanning() const override {
    std::lock_guard lock(mutex_);
    return scanning_;
  }
  void connect(const std::shared_ptr<CBPeripheral>& peripheral) override {
    calls.add("connect " + peripheral->identifier());
    std::lock_guard lock(mutex_);
    if (answer_ == Answer::accept) {
      queue_.async(
          [this, peripheral] { delegate_.centralManagerDidConnectPeripheral(*this, peripheral); });
    }
  }
  void cancelPeripheralConnection(const std::shared_ptr<CBPeripheral>& peripheral) override {
    std::lock_guard lock(mutex_);
    cancels_.push_back(peripheral);
  }

  // The scans, stops and connections asked for, in order.
  sim::testing::EventLog calls;

  void setAnswer(Answer answer) {
    std::lock_guard lock(mutex_);
    answer_ = answer;
  }
  // The peripherals whose connections were cancelled, in order.
  std::vector<std::shared_ptr<CBPeripheral>> cancels() const {
    std::lock_guard lock(mutex_);
    return cancels_;
  }

 private:
  CBCentralManagerDelegate& delegate_;
  DispatchQueue& queue_;
  std::atomic<CBManagerState> state_{CBManagerState::unknown};
  mutable std::mutex mutex_;
  bool scanning_ = false;
  Answer answer_ = Answer::accept;
  std::vector<std::shared_ptr<CBPeripheral>> cancels_;
};
