// Advertising load across processes: 1,000 emulated devices in a velnor-sim process, each
// advertising every 100 ms, into one scanning central manager in this process. Prints the
// share of advertisements delivered and the CPU this process used. Target: at least 99% at no
// more than 25% of one core.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "bench/bench_support.h"
#include "bluetooth/sim/air.h"
#include "bluetooth/sim/sim_central_manager.h"
#include "child_process.h"
#include "platform/dispatch_queue.h"

namespace {

constexpr int kDevices = 1000;
constexpr int kIntervalMs = 100;
constexpr double kWindowSeconds = 10.0;

class Counter : public CBCentralManagerDelegate {
 public:
  std::atomic<uint64_t> advertisements{0};
  std::mutex mutex;
  std::unordered_map<std::string, int> perDevice;
  void centralManagerDidUpdateState(CBCentralManager&) override {}
  void centralManagerDidDiscoverPeripheral(CBCentralManager&,
                                           const std::shared_ptr<CBPeripheral>& p,
                                           const CBAdvertisementData&, int) override {
    ++advertisements;
    if (perDevice.size() < kDevices) {
      std::lock_guard lock(mutex);
      ++perDevice[p->identifier()];
    }
  }
  size_t devicesSeen() {
    std::lock_guard lock(mutex);
    return perDevice.size();
  }
};

std::string writeDeviceFile(const std::string& dir) {
  std::string path = dir + "/devices.json";
  std::ofstream out(path);
  out << "{\"devices\":[";
  for (int i = 0; i < kDevices; ++i) {
    out << (i ? "," : "") << "{\"name\":\"D" << i << "\",\"rssi\":[-90,-40],\"advertising\":{"
        << "\"localName\":\"Device " << i << "\",\"intervalMs\":" << kIntervalMs
        << ",\"manufacturerData\":\"4C000215\",\"serviceUUIDs\":[\"180D\"]}}";
  }
  out << "]}";
  return path;
}

// CPU time (user and system) this process has used, in seconds.
double processCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main() {
  std::string dir = bench::makeTempDirWithAir();
  std::string air = dir + "/air";
  auto emulator = bench::startEmulator(air, writeDeviceFile(dir));
  if (!emulator) return 1;

  auto socketAir = sim::makeSocketAir(air);
  DispatchQueue queue("central.queue");
  Counter counter;
  auto central = sim::makeCentralManager(socketAir, counter, queue);
  central->scanForPeripherals(std::nullopt, CBScanOptions{true});

  // Warm up until every device has been heard, then measure a window.
  auto start = std::chrono::steady_clock::now();
  while (counter.devicesSeen() < kDevices &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  uint64_t before = counter.advertisements.load();
  double cpuBefore = processCpuSeconds();
  auto windowStart = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(kWindowSeconds));
  uint64_t received = counter.advertisements.load() - before;
  double cpu = processCpuSeconds() - cpuBefore;
  double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - windowStart).count();
  double expected = kDevices * wall * 1000.0 / kIntervalMs;

  std::printf("devices heard: %zu of %d\n", counter.devicesSeen(), kDevices);
  std::printf("advertisements: %llu received of %.0f sent in %.2f s (%.0f/s)\n",
              static_cast<unsigned long long>(received), expected, wall, received / wall);
  std::printf("delivered: %.2f%% (target >= 99%%)\n", 100.0 * received / expected);
  std::printf("receiver CPU: %.1f%% of one core (target <= 25%%)\n", 100.0 * cpu / wall);
  central.reset();
  std::filesystem::remove_all(dir);
  return 0;
}
