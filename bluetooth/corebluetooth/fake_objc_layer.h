// Test support: the Objective-C layer played by the test. Each platform call is written as a
// line to `calls`; the test reports CoreBluetooth's callbacks through `events`, from its own
// thread, as CoreBluetooth does from the manager's dispatch queue.
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
  void scan(const std::optional<std::vector<std::string>>&, bool) override { calls_.add("scan"); }
  void stopScan() override { calls_.add("stopScan"); }
  void connect(const std::string& p) override { calls_.add("connect " + p); }
  void cancelConnection(const std::string& p) override { calls_.add("cancel " + p); }
  void discoverServices(const std::string& p) override { calls_.add("discoverServices " + p); }
  void discoverCharacteristics(const std::string& p, ObjectID s) override {
    calls_.add("discoverCharacteristics " + p + " " + std::to_string(s));
  }
  void readValue(const std::string& p, ObjectID c) override {
    calls_.add("read " + p + " " + std::to_string(c));
  }
  void writeValue(const std::string& p, ObjectID c, const Bytes& v, bool) override {
    calls_.add("write " + p + " " + std::to_string(c) + " " + hex(v));
  }
  void setNotifyValue(const std::string& p, ObjectID c, bool on) override {
    calls_.add("notify " + p + " " + std::to_string(c) + (on ? " on" : " off"));
  }
  size_t maximumWriteValueLength(const std::string&, bool) override { return 182; }

 private:
  EventLog& calls_;
};

class FakePeripheralPlatform : public PeripheralPlatform {
 public:
  FakePeripheralPlatform(EventLog& calls, std::atomic<bool>& full) : calls_(calls), full_(full) {}
  void removeAllServices() override { calls_.add("removeAllServices"); }
  void addService(const ServiceToPublish& s) override {
    std::string line = "addService " + s.uuid;
    for (const auto& c : s.characteristics) line += " " + c.uuid + "=" + std::to_string(c.id);
    calls_.add(line);
  }
  void startAdvertising(const std::optional<std::string>& name,
                        const std::vector<std::string>&) override {
    calls_.add("advertise " + name.value_or("-"));
  }
  void stopAdvertising() override { calls_.add("stopAdvertising"); }
  void respond(ObjectID request, uint8_t result, const std::optional<Bytes>& value) override {
    calls_.add("respond " + std::to_string(request) + " " +
               std::to_string(static_cast<int>(result)) + " " + hex(value));
  }
  bool updateValue(ObjectID c, const CBData& value,
                   const std::optional<std::vector<std::string>>&) override {
    if (full_) {
      calls_.add("refused " + std::to_string(c) + " " + hex(value));
      return false;
    }
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
