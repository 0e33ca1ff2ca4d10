// Advertisements through the central role's discovery callback: 10,000 distinct devices seen
// over and over (duplicates allowed), as a scan with makeUpdates delivers them. Target: at
// least 200,000 advertisements per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "central/central_delegate.h"
#include "tests/fake_central.h"

namespace {

constexpr int kDevices = 10000;
constexpr int kBatch = 1000;  // advertisements handed over per queue task

struct Advertiser {
  std::shared_ptr<CBPeripheral> peripheral;
  CBAdvertisementData advertisement;
};

std::vector<Advertiser> makeAdvertisers() {
  std::vector<Advertiser> list;
  list.reserve(kDevices);
  for (int i = 0; i < kDevices; ++i) {
    char id[37];
    std::snprintf(id, sizeof id, "D0000000-0000-0000-0000-%012d", i);
    Advertiser a{std::make_shared<FakePeripheral>(id, std::nullopt), {}};
    a.advertisement.localName = "Sensor " + std::to_string(i);
    a.advertisement.manufacturerData = CBData{0x4C, 0x00, static_cast<uint8_t>(i)};
    a.advertisement.serviceUUIDs = std::vector<CBUUID>{CBUUID::from16(0x180D)};
    a.advertisement.isConnectable = 1;
    list.push_back(std::move(a));
  }
  return list;
}

struct Scanning {
  std::shared_ptr<FakeCentralManager> manager;
  CentralDelegate central{FakeCentralManager::factory(manager)};
  Scanning() {
    manager->setState(CBManagerState::poweredOn);
    central.queue().sync([] {});
    central.startScan("minrssi=-90");
  }
};

// The callback itself, on its queue, in batches.
void DiscoveryCallback(benchmark::State& state) {
  auto advertisers = makeAdvertisers();
  Scanning scan;
  size_t next = 0;
  for (auto _ : state) {
    scan.central.queue().sync([&] {
      for (int i = 0; i < kBatch; ++i) {
        const Advertiser& a = advertisers[next];
        scan.central.centralManagerDidDiscoverPeripheral(*scan.manager, a.peripheral,
                                                         a.advertisement, -40 - (i % 40));
        next = next + 1 == advertisers.size() ? 0 : next + 1;
      }
    });
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["devices"] = static_cast<double>(scan.central.getDiscoveries().size());
}
BENCHMARK(DiscoveryCallback)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// The same with one queue task per advertisement, as a backend that posts each callback does.
void DiscoveryCallbackOneTaskEach(benchmark::State& state) {
  auto advertisers = makeAdvertisers();
  Scanning scan;
  size_t next = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      const Advertiser& a = advertisers[next];
      scan.central.queue().async([&scan, &a, i] {
        scan.central.centralManagerDidDiscoverPeripheral(*scan.manager, a.peripheral,
                                                         a.advertisement, -40 - (i % 40));
      });
      next = next + 1 == advertisers.size() ? 0 : next + 1;
    }
    scan.central.queue().sync([] {});
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["devices"] = static_cast<double>(scan.central.getDiscoveries().size());
}
BENCHMARK(DiscoveryCallbackOneTaskEach)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
