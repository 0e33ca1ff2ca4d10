// Test support: the Objective-C layer played by the test. The platform calls that tests look at
// are written as lines to `calls`; the test reports CoreBluetooth's callbacks through `events`,
// from its own thread, as CoreBluetooth does from the manager's dispatch queue.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "bluetooth/corebluetooth/objc_bridge.h"
#include "bluetooth/sim/test_recorder.h"

namespace macos::testing {

using sim::testing::EventLog;
using sim::testing::hex;

class FakeCentralPlatform : public CentralPlatform {
 public:
  explicit FakeCentralPlatform(EventLog& calls) : calls_(calls) {}
  // The tests look at connections and their cancels; the other requests are only taken.
  void connect(const std::string& p) override { calls_.add("connect " + p); }
  void cancelConnection(const std::string& p) override { calls_.add("cancel " + p); }
  void scan(const std::optional<std::vector<std::string>>&, bool) override {}
  void stopScan() override {}
  void discoverServices(const std::string&) override {}
  void discoverCharacteristics(const std::string&, ObjectID) override {}
  void readValue(const std::string&, ObjectID) override {}
  void writeValue(const std::string&, ObjectID, const Bytes&, bool) override {}
  void setNotifyValue(const std::string&, ObjectID, bool) override {}
  size_t maximumWriteValueLength(const std::string&, bool) override { return 182; }

 private:
  EventLog& calls_;
};

class FakePeripheralPlatform : public PeripheralPlatform {
 public:
  FakePeripheralPlatform(EventLog& calls, std::atomic<bool>& full) : calls_(calls), full_(full) {}
  // The tests look at what is published, answered and sent; the other requests are only taken.
  void removeAllServices() override {}
  void addService(const ServiceToPublish& s) override {
    std::string line = "addService " + s.uuid;
    for (const auto& c : s.characteristics) line += " " + c.uuid + "=" + std::to_string(c.id);
    calls_.add(line);
  }
  void startAdvertising(const std::optional<std::string>&,
                        const std::vector<std::string>&) override {}
  void stopAdvertising() override {}
  void respond(ObjectID request, uint8_t result, const std::optional<Bytes>& value) override {
    calls_.add("respond " + std::to_string(request) + " " +
               std::to_string(static_cast<int>(result)) + " " + hex(value));
  }
  bool updateValue(ObjectID c, const CBData& value,
                   const std::optional<std::vector<std::string>>&) override {
    if (full_) return false;
    calls_.add("update " + std::to_string(c) + " " + hex(value));
    return true;
  }

 private:
  EventLog& calls_;
  std::atomic<bool>& full_;
};

// A factory that makes the fake and hands its events to the test.
struct FakeObjCLayer {
  EventLog calls;
  std::atomic<bool> full{false};
  std::atomic<CentralEvents*> central{nullptr};
  std::atomic<PeripheralEvents*> peripheral{nullptr};

  CentralPlatformFactory centralFactory() {
    return [this](CentralEvents& events, const std::string&) {
      central = &events;
      return std::make_unique<FakeCentralPlatform>(calls);
    };
  }
  PeripheralPlatformFactory peripheralFactory() {
    return [this](PeripheralEvents& events, const std::string&) {
      peripheral = &events;
      return std::make_unique<FakePeripheralPlatform>(calls, full);
    };
  }
};

}  // namespace macos::testing
