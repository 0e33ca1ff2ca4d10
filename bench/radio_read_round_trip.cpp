// A read round trip between processes: the central manager here asks, an emulated device in a
// velnor-sim process answers, the callback runs on the central's queue. Prints the median and
// the spread. Target: median at most 0.5 ms.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

#include "bench/bench_support.h"
#include "bluetooth/sim/air.h"
#include "bluetooth/sim/sim_central_manager.h"
#include "child_process.h"
#include "platform/dispatch_queue.h"
#include "platform/dispatch_semaphore.h"

namespace {

class Reader : public CBCentralManagerDelegate, public CBPeripheralDelegate {
 public:
  DispatchSemaphore event;
  std::shared_ptr<CBPeripheral> peripheral;
  std::shared_ptr<CBCharacteristic> characteristic;
  void centralManagerDidUpdateState(CBCentralManager&) override {}
  void centralManagerDidDiscoverPeripheral(CBCentralManager& m,
                                           const std::shared_ptr<CBPeripheral>& p,
                                           const CBAdvertisementData&, int) override {
    if (peripheral) return;
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
};

}  // namespace

int main() {
  std::string dir = bench::makeTempDirWithAir();
  std::string air = dir + "/air";
  {
    std::ofstream out(dir + "/device.json");
    out << R"({"devices":[{"name":"Thermo","advertising":{"localName":"Thermo","intervalMs":20},
      "services":[{"uuid":"180D","characteristics":[{"uuid":"2A37","properties":"read","value":"0648"}]}]}]})";
  }
  auto emulator = bench::startEmulator(air, dir + "/device.json");
  if (!emulator) return 1;
  auto socketAir = sim::makeSocketAir(air);
  DispatchQueue queue("central.queue");
  Reader reader;
  auto central = sim::makeCentralManager(socketAir, reader, queue);
  central->scanForPeripherals(std::nullopt, {});
  if (reader.event.wait(DispatchSemaphore::deadlineAfter(10)) != DispatchWaitResult::success) {
    std::printf("no connection to the emulated device\n");
    return 1;
  }
  constexpr int kReads = 5000;
  std::vector<double> micros;
  micros.reserve(kReads);
  for (int i = 0; i < kReads + 100; ++i) {
    auto start = std::chrono::steady_clock::now();
    reader.peripheral->readValue(reader.characteristic);
    if (reader.event.wait(DispatchSemaphore::deadlineAfter(5)) != DispatchWaitResult::success) {
      std::printf("read %d was not answered\n", i);
      return 1;
    }
    if (i >= 100) {  // the first ones warm up
      micros.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count());
    }
  }
  std::sort(micros.begin(), micros.end());
  std::printf("read round trips: %d\n", kReads);
  std::printf("median %.1f us (target <= 500 us), p90 %.1f us, p99 %.1f us, max %.1f us\n",
              micros[kReads / 2], micros[kReads * 9 / 10], micros[kReads * 99 / 100],
              micros.back());
  central.reset();
  std::filesystem::remove_all(dir);
  return 0;
}
