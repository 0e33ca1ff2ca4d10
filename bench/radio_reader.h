// The simulated radio's own read round trip between processes: a central manager in this
// process asks, an emulated device in a velnor-sim process answers, the callback runs on the
// central's queue. Shared by the benchmarks that print it beside their own figures.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bluetooth/sim/air.h"
#include "bluetooth/sim/sim_central_manager.h"
#include "platform/dispatch_queue.h"
#include "platform/dispatch_semaphore.h"

namespace bench {

// A central that connects to the first device it discovers (or the first that advertises
// `name`) and discovers its first service's first characteristic; `event` is signalled then and
// on every value. Callbacks run on its manager's queue; a subclass may answer more of them.
class Reader : public CBCentralManagerDelegate, public CBPeripheralDelegate {
 public:
  explicit Reader(std::optional<std::string> name = std::nullopt) : name_(std::move(name)) {}

  DispatchSemaphore event;
  std::shared_ptr<CBPeripheral> peripheral;
  std::shared_ptr<CBCharacteristic> characteristic;
  void centralManagerDidUpdateState(CBCentralManager&) override {}
  void centralManagerDidDiscoverPeripheral(CBCentralManager& m,
                                           const std::shared_ptr<CBPeripheral>& p,
                                           const CBAdvertisementData& ad, int) override {
    if (peripheral || (name_ && ad.localName != name_)) return;
    peripheral = p;
    m.stopScan();
    m.connect(p);
  }
  void centralManagerDidConnectPeripheral(CBCentralManager&,
                                          const std::shared_ptr<CBPeripheral>& p) override {
    p->setDelegate(this);
    p->discoverServices();
  }
  void peripheralDidDiscoverServices(const std::shared_ptr<CBPeripheral>& p,
                                     const std::optional<CBError>&) override {
    p->discoverCharacteristics(p->services()->front());
  }
  void peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<CBPeripheral>&,
                                                      const std::shared_ptr<CBService>& s,
                                                      const std::optional<CBError>&) override {
    characteristic = s->characteristics()->front();
    event.signal();
  }
  void peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<CBPeripheral>&,
                                                 const std::shared_ptr<CBCharacteristic>&,
                                                 const std::optional<CBError>&) override {
    event.signal();
  }

 private:
  const std::optional<std::string> name_;
};

// Scans until `reader` has connected to the first device it finds and discovered its first
// characteristic; false (said on standard output) when that takes more than 10 s.
inline bool connectFirstDevice(CBCentralManager& central, Reader& reader) {
  central.scanForPeripherals(std::nullopt, {});
  if (reader.event.wait(DispatchSemaphore::deadlineAfter(10)) != DispatchWaitResult::success) {
    std::printf("no connection to the emulated device\n");
    return false;
  }
  return true;
}

// Round trips in microseconds, sorted, of `reads` reads after 100 that warm up; empty when the
// emulated device cannot be reached. Starts its own emulator in `air`.
inline std::vector<double> radioReadRoundTrips(const std::string& dir, const std::string& air,
                                               int reads) {
  {
    std::ofstream out(dir + "/radio-device.json");
    out << R"({"devices":[{"name":"Thermo","advertising":{"localName":"Thermo","intervalMs":20},
      "services":[{"uuid":"180D","characteristics":[{"uuid":"2A37","properties":"read","value":"0648"}]}]}]})";
  }
  std::vector<double> micros;
  auto emulator = startEmulator(air, dir + "/radio-device.json");
  if (!emulator) return micros;
  auto socketAir = sim::makeSocketAir(air);
  DispatchQueue queue("central.queue");
  Reader reader;
  auto central = sim::makeCentralManager(socketAir, reader, queue);
  if (!connectFirstDevice(*central, reader)) return micros;
  micros.reserve(reads);
  for (int i = 0; i < reads + 100; ++i) {
    auto start = std::chrono::steady_clock::now();
    reader.peripheral->readValue(reader.characteristic);
    if (reader.event.wait(DispatchSemaphore::deadlineAfter(5)) != DispatchWaitResult::success) {
      std::printf("read %d was not answered\n", i);
      micros.clear();
      break;
    }
    if (i >= 100) {
      micros.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count());
    }
  }
  central.reset();
  queue.sync([] {});
  std::sort(micros.begin(), micros.end());
  return micros;
}

}  // namespace bench
