// In-process air: advertisements delivered per second to a central manager's delegate. A
// sender thread pushes advertisements of 1,000 devices through the air as fast as it can; the
// figure counts only those that reached the delegate. Target: at least 200,000 per second.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "bluetooth/sim/air.h"
#include "bluetooth/sim/sim_central_manager.h"
#include "platform/dispatch_queue.h"

namespace {

class Counter : public CBCentralManagerDelegate {
 public:
  std::atomic<uint64_t> advertisements{0};
  void centralManagerDidUpdateState(CBCentralManager&) override {}
  void centralManagerDidDiscoverPeripheral(CBCentralManager&, const std::shared_ptr<CBPeripheral>&,
                                           const CBAdvertisementData& data, int) override {
    if (data.localName) advertisements.fetch_add(1, std::memory_order_relaxed);
  }
};

}  // namespace

int main() {
  constexpr int kDevices = 1000;
  constexpr uint64_t kTotal = 2'000'000;
  auto air = sim::makeInProcessAir();
  DispatchQueue queue("central.queue");
  Counter counter;
  auto central = sim::makeCentralManager(air, counter, queue);
  central->scanForPeripherals(std::nullopt, CBScanOptions{true});

  std::vector<sim::Message> ads(kDevices);
  for (int i = 0; i < kDevices; ++i) {
    auto a = std::make_shared<sim::Advertisement>();
    a->localName = "Device " + std::to_string(i);
    a->manufacturerData = std::vector<uint8_t>{0x4C, 0x00, 0x02, 0x15};
    a->serviceUUIDs = std::vector<CBUUID>{CBUUID::from16(0x180D)};
    ads[i].type = sim::MessageType::advertisement;
    ads[i].src = sim::randomNodeId();
    ads[i].rssi = -60;
    ads[i].advertisement = a;
  }

  auto start = std::chrono::steady_clock::now();
  std::thread sender([&] {
    for (uint64_t n = 0; n < kTotal; ++n) {
      air->advertise(ads[n % kDevices]);
      // Keep the backlog bounded, as a radio would: the sender waits for the receiver.
      while (n + 1 > counter.advertisements.load(std::memory_order_relaxed) + 50'000) {
        std::this_thread::yield();
      }
    }
  });
  sender.join();
  while (counter.advertisements.load() < kTotal &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  uint64_t delivered = counter.advertisements.load();
  std::printf("delivered %llu of %llu advertisements in %.3f s\n",
              static_cast<unsigned long long>(delivered), static_cast<unsigned long long>(kTotal),
              seconds);
  std::printf("throughput: %.0f advertisements/s to the delegate (target >= 200000)\n",
              delivered / seconds);
  central.reset();
  return 0;
}
